#include "web/guarded_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace vanto::web {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Threads that grow with the work waiting, up to `max`, and end after a minute without work
// (a few stay).
class ElasticPool final : public httplib::TaskQueue {
 public:
  explicit ElasticPool(std::size_t max) : max_(std::max<std::size_t>(max, 2)) {}
  ~ElasticPool() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    std::unique_lock lock(mutex_);
    jobs_.push_back(std::move(fn));
    if (jobs_.size() > idle_ && live_ < max_) {
      try {
        std::thread([this] { Work(); }).detach();
        ++live_;
      } catch (const std::system_error&) {
        // No thread now: the job waits for one that is.
      }
    }
    work_.notify_one();
  }

  void shutdown() override {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    work_.notify_all();
    ended_.wait(lock, [this] { return live_ == 0; });
  }

 private:
  static constexpr std::size_t kKept = 8;
  static constexpr std::chrono::seconds kLinger{60};

  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      const bool woken = work_.wait_for(lock, kLinger, [this] { return stopping_ || !jobs_.empty(); });
      --idle_;
      if (!jobs_.empty()) {
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
        continue;
      }
      if (stopping_ || (!woken && live_ > kKept)) break;
    }
    --live_;
    ended_.notify_all();
  }

  const std::size_t max_;
  std::mutex mutex_;
  std::condition_variable work_, ended_;
  std::deque<std::function<void()>> jobs_;
  std::size_t live_ = 0, idle_ = 0;
  bool stopping_ = false;
};

std::string AddressOf(const sockaddr_storage& address, int* port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    if (port) *port = ntohs(a->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    if (port) *port = ntohs(a->sin6_port);
  }
  return text;
}

// One connection: plain or TLS, non-blocking, every wait bounded by the request's deadline (while
// a request is read) or the write bound (while an answer is written).
class GuardedStream final : public httplib::Stream {
 public:
  GuardedStream(int fd, SSL* ssl, const ConnectionLimits& limits, const std::atomic<socket_t>& listening)
      : fd_(fd), ssl_(ssl), limits_(limits), listening_(listening) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) peer_ = AddressOf(address, &peer_port_);
    length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) local_ = AddressOf(address, &local_port_);
  }

  // A new request begins: its line and headers must be in by the header deadline.
  void BeginRequest() {
    deadline_ = Clock::now() + limits_.header;
    in_headers_ = true;
    line_ends_ = 0;
  }

  // The TLS handshake, within the first request's header deadline.
  bool Handshake() {
    for (;;) {
      ERR_clear_error();
      const int r = SSL_accept(ssl_);
      if (r == 1) return true;
      if (!WaitFor(SSL_get_error(ssl_, r))) return false;
    }
  }

  // Waits (at most the keep-alive bound) for the next request to begin; false when none comes,
  // the client left or the server stops.
  bool NextRequest() {
    if (failed_) return false;  // what follows a request cut short is no request
    const auto until = Clock::now() + limits_.keep_alive;
    while (listening_ != INVALID_SOCKET) {
      if (at_ < end_ || (ssl_ && SSL_pending(ssl_) > 0)) return true;
      const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      // A slice at a time, so that a stopping server is seen.
      const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 200)));
      if (r < 0 && errno != EINTR) return false;
      if (r > 0) return (p.revents & POLLIN) != 0;
    }
    return false;
  }

  bool is_readable() const override {
    if (at_ < end_ || (ssl_ && SSL_pending(ssl_) > 0)) return true;
    return WaitUntil(POLLIN, deadline_);
  }

  bool is_writable() const override {
    if (listening_ == INVALID_SOCKET) return false;  // the server stops: streams end
    if (Poll(POLLOUT, limits_.io) <= 0) return false;
    // Still there: a peer that closed its end reads as an end of file.
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
      if (p.revents & (POLLERR | POLLHUP)) return false;
      char byte;
      if (recv(fd_, &byte, 1, MSG_PEEK) == 0) return false;
    }
    return true;
  }

  ssize_t read(char* ptr, std::size_t size) override {
    if (at_ == end_) {
      const ssize_t n = Fill();
      if (n <= 0) {
        failed_ = true;
        return n;
      }
    }
    const std::size_t n = std::min(size, end_ - at_);
    std::memcpy(ptr, buffer_ + at_, n);
    at_ += n;
    if (in_headers_) Watch(ptr, n);
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, std::size_t size) override {
    const auto until = Clock::now() + limits_.io;
    for (;;) {
      if (ssl_) {
        ERR_clear_error();
        const int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
        if (n > 0) return n;
        if (!WaitFor(SSL_get_error(ssl_, n), until)) return -1;
      } else {
        const ssize_t n = send(fd_, ptr, size, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        if (!WaitUntil(POLLOUT, until)) return -1;
      }
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = peer_;
    port = peer_port_;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = local_;
    port = local_port_;
  }
  socket_t socket() const override { return fd_; }

 private:
  int Poll(short events, milliseconds bound) const {
    pollfd p{fd_, events, 0};
    int r;
    do r = poll(&p, 1, static_cast<int>(bound.count()));
    while (r < 0 && errno == EINTR);
    return r;
  }

  // A slice at a time, so that a stopping server is seen (and its threads end).
  bool WaitUntil(short events, Clock::time_point until) const {
    while (listening_ != INVALID_SOCKET) {
      const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
      if (left.count() <= 0) return false;
      const int r = Poll(events, std::min(left, milliseconds(200)));
      if (r != 0) return r > 0;
    }
    return false;
  }

  // After a TLS call that could not go on: waits for what it wants, until `until`.
  bool WaitFor(int error, std::optional<Clock::time_point> until = {}) const {
    const Clock::time_point bound = until ? *until : deadline_;
    if (error == SSL_ERROR_WANT_READ) return WaitUntil(POLLIN, bound);
    if (error == SSL_ERROR_WANT_WRITE) return WaitUntil(POLLOUT, bound);
    return false;
  }

  // Reads what has come into the buffer, waiting until the request's deadline: the count, 0 at
  // the end, -1 when the deadline passed or the connection failed.
  ssize_t Fill() {
    at_ = end_ = 0;
    for (;;) {
      if (ssl_) {
        ERR_clear_error();
        const int n = SSL_read(ssl_, buffer_, sizeof buffer_);
        if (n > 0) return static_cast<ssize_t>(end_ = static_cast<std::size_t>(n));
        const int error = SSL_get_error(ssl_, n);
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        if (!WaitFor(error)) return -1;
      } else {
        const ssize_t n = recv(fd_, buffer_, sizeof buffer_, 0);
        if (n >= 0) return static_cast<ssize_t>(end_ = static_cast<std::size_t>(n));
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        if (!WaitUntil(POLLIN, deadline_)) return -1;
      }
    }
  }

  // Follows the bytes handed out for the blank line that ends the headers; then the body has
  // its own deadline.
  void Watch(const char* ptr, std::size_t n) {
    for (std::size_t i = 0; i < n && in_headers_; ++i) {
      if (ptr[i] == '\n') {
        if (++line_ends_ == 2) {
          in_headers_ = false;
          deadline_ = Clock::now() + limits_.body;
        }
      } else if (ptr[i] != '\r') {
        line_ends_ = 0;
      }
    }
  }

  int fd_;
  SSL* ssl_;
  const ConnectionLimits& limits_;
  const std::atomic<socket_t>& listening_;
  std::string peer_, local_;
  int peer_port_ = 0, local_port_ = 0;
  Clock::time_point deadline_ = Clock::now();
  bool in_headers_ = false;
  int line_ends_ = 0;
  bool failed_ = false;  // a read ended (the client's end, its deadline, a failure)
  char buffer_[16384];
  std::size_t at_ = 0, end_ = 0;
};

class GuardedServer final : public httplib::Server {
 public:
  GuardedServer(const ConnectionLimits& limits, SSL_CTX* tls, std::vector<std::string> exempt,
                std::function<void(const std::string&)> log)
      : limits_(limits), tls_(tls), exempt_(std::move(exempt)), log_(std::move(log)) {
    const std::size_t threads = limits_.threads;
    // Made when serving begins, on the bound socket: its queue of connections not yet accepted
    // widened from the library's 5, so that a burst of connections is not made to retry (the
    // kernel's first retry comes after a second).
    new_task_queue = [this, threads] {
      ::listen(svr_sock_, static_cast<int>(std::min<std::size_t>(threads, SOMAXCONN)));
      return new ElasticPool(threads);
    };
    keep_alive_timeout_sec_ = limits_.keep_alive.count();
    // The library's default closes a kept-alive connection after 5 requests: a client then pays
    // a new connection (and a TLS handshake) every few pages.
    keep_alive_max_count_ = std::max<std::size_t>(limits_.keep_alive_requests, 1);
  }
  ~GuardedServer() override {
    if (tls_) SSL_CTX_free(tls_);
  }

 private:
  // Counts a connection of `address` while it is open; refused (false) beyond the cap.
  class Admission {
   public:
    Admission(GuardedServer& server, std::string address) : server_(server), address_(std::move(address)) {
      if (std::find(server_.exempt_.begin(), server_.exempt_.end(), address_) != server_.exempt_.end()) {
        admitted_ = true;
        address_.clear();
        return;
      }
      std::lock_guard lock(server_.mutex_);
      Count& count = server_.open_[address_];
      admitted_ = count.open < server_.limits_.per_address;
      if (admitted_) {
        ++count.open;
      } else if (!count.told) {
        count.told = true;
        told_ = true;
      }
    }
    ~Admission() {
      if (!admitted_ || address_.empty()) return;
      std::lock_guard lock(server_.mutex_);
      auto found = server_.open_.find(address_);
      if (found != server_.open_.end() && --found->second.open == 0) server_.open_.erase(found);
    }
    bool admitted() const { return admitted_; }
    bool told() const { return told_; }

   private:
    GuardedServer& server_;
    std::string address_;
    bool admitted_ = false, told_ = false;
  };

  bool process_and_close_socket(socket_t sock) override {
    const int flags = fcntl(sock, F_GETFL);
    if (flags >= 0) fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    SSL* ssl = nullptr;
    bool ok = false;
    {
      sockaddr_storage peer{};
      socklen_t length = sizeof peer;
      const std::string address =
          getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &length) == 0 ? AddressOf(peer, nullptr) : "";
      Admission admission(*this, address);
      if (!admission.admitted()) {
        if (admission.told() && log_)
          log_("connections from " + address + " refused: " + std::to_string(limits_.per_address) +
               " are open from that address");
        if (!tls_) {
          static const char kBusy[] =
              "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 5\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
          [[maybe_unused]] ssize_t sent = send(sock, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL);
        }
      } else {
        if (tls_) {
          ssl = SSL_new(tls_);
          if (ssl) SSL_set_fd(ssl, sock);
        }
        if (!tls_ || ssl) ok = Serve(sock, ssl);
      }
    }
    if (ssl) {
      if (ok) SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return ok;
  }

  bool Serve(int sock, SSL* ssl) {
    GuardedStream stream(sock, ssl, limits_, svr_sock_);
    stream.BeginRequest();
    if (ssl) {
      SSL_set_mode(ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
      if (!stream.Handshake()) return false;
    }
    // The first request's headers are due from the connection's start.
    bool first = true;
    for (std::size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
      if (!first) {
        if (!stream.NextRequest()) return true;
        stream.BeginRequest();
      }
      first = false;
      bool closed = false;
      if (!process_request(stream, left == 1, closed, nullptr)) return false;
      if (closed) return true;
    }
    return true;
  }

  struct Count {
    std::size_t open = 0;
    bool told = false;  // the log said this address reached its cap
  };

  const ConnectionLimits limits_;
  SSL_CTX* tls_;
  const std::vector<std::string> exempt_;
  std::function<void(const std::string&)> log_;
  std::mutex mutex_;
  std::map<std::string, Count> open_;
};

SSL_CTX* TlsContext(const std::string& cert, const std::string& key) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) throw std::runtime_error("cannot make a TLS context");
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
  if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    SSL_CTX_free(ctx);
    ERR_clear_error();
    throw std::runtime_error("cannot use TLS certificate " + cert + " with key " + key +
                             " (missing, unreadable, or not a matching PEM pair)");
  }
  return ctx;
}

}  // namespace

std::unique_ptr<httplib::Server> MakeGuardedServer(const ConnectionLimits& limits, const std::string& tls_cert,
                                                   const std::string& tls_key, std::vector<std::string> exempt,
                                                   std::function<void(const std::string&)> log) {
  SSL_CTX* tls = tls_cert.empty() ? nullptr : TlsContext(tls_cert, tls_key);
  try {
    return std::make_unique<GuardedServer>(limits, tls, std::move(exempt), std::move(log));
  } catch (...) {
    if (tls) SSL_CTX_free(tls);
    throw;
  }
}

}  // namespace vanto::web
