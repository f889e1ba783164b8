#include "terminal/tcp/tcp_line.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace terminal::tcp {
namespace {

using line::Clock;
using line::ErrorText;
using line::LineError;
using line::LineFailure;
using line::PollUntil;

// Keep-alive: a connection the server (or the network) lost silently is noticed within about
// half a minute even while the host only listens.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;

// A name lookup that ends by a deadline. The lookup runs on the resolver's own thread
// (getaddrinfo_a); one that cannot be cancelled in time keeps its request block, which is then
// left to it rather than freed under it.
struct Lookup {
  std::string host, service;
  addrinfo hints{};
  gaicb request{};
  ~Lookup() {
    if (request.ar_result) ::freeaddrinfo(request.ar_result);
  }
};

std::unique_ptr<Lookup> Resolve(const TcpAddress& address, Clock::time_point deadline, std::string& why) {
  auto lookup = std::make_unique<Lookup>();
  lookup->host = address.host;
  lookup->service = std::to_string(address.port);
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_flags = AI_NUMERICSERV;  // not AI_ADDRCONFIG: a host with loopback only finds "localhost"
  // A numeric address needs no resolver.
  addrinfo numeric = lookup->hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  if (::getaddrinfo(lookup->host.c_str(), lookup->service.c_str(), &numeric, &lookup->request.ar_result) == 0)
    return lookup;
  lookup->request.ar_result = nullptr;
  lookup->request.ar_name = lookup->host.c_str();
  lookup->request.ar_service = lookup->service.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[] = {&lookup->request};
  if (const int started = ::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr); started != 0) {
    why = std::string("name lookup failed: ") + ::gai_strerror(started);
    return nullptr;
  }
  for (;;) {
    const int state = ::gai_error(&lookup->request);
    if (state == 0) return lookup;
    if (state != EAI_INPROGRESS) {
      why = std::string("name lookup failed: ") + (state == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(state));
      return nullptr;
    }
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec wait{static_cast<time_t>(nanos / 1'000'000'000), static_cast<long>(nanos % 1'000'000'000)};
    const gaicb* waiting[] = {&lookup->request};
    ::gai_suspend(waiting, 1, &wait);
  }
  why = "name lookup timed out";
  if (::gai_cancel(&lookup->request) != EAI_CANCELED && ::gai_error(&lookup->request) == EAI_INPROGRESS)
    (void)lookup.release();  // still in the resolver's hands: not ours to free
  return nullptr;
}

// Connects a non-blocking socket to `target` by `deadline`; returns the socket or -1 with errno.
int ConnectOne(const addrinfo& target, Clock::time_point deadline) {
  const int fd = ::socket(target.ai_family, target.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, target.ai_protocol);
  if (fd < 0) return -1;
  int error = 0;
  if (::connect(fd, target.ai_addr, target.ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      error = 0;
      for (;;) {
        pollfd waiter{fd, POLLOUT, 0};
        const int ready = PollUntil(waiter, deadline);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
          error = errno;
        } else if (ready == 0) {
          if (Clock::now() < deadline) continue;
          error = ETIMEDOUT;
        } else {
          socklen_t length = sizeof error;
          if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        }
        break;
      }
    }
  }
  if (error != 0) {
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

TcpLine::TcpLine(std::string device, std::chrono::milliseconds connectTimeout)
    : device_(std::move(device)), connectTimeout_(connectTimeout) {}

TcpLine::~TcpLine() { Close(); }

void TcpLine::Close() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

void TcpLine::Fail(LineFailure failure, const std::string& what, int error) {
  if (failure != LineFailure::kTimeout) Close();
  throw LineError(failure, device_ + ": " + what + ErrorText(error));
}

void TcpLine::Open() {
  if (fd_ >= 0) return;
  std::string why;
  const auto address = ParseTcpAddress(device_, why);
  if (!address) throw LineError(LineFailure::kOpen, device_ + ": " + why);
  const auto deadline = Clock::now() + connectTimeout_;
  const std::unique_ptr<Lookup> lookup = Resolve(*address, deadline, why);
  if (!lookup) throw LineError(LineFailure::kOpen, device_ + ": " + why);
  int lastError = EHOSTUNREACH;
  for (const addrinfo* target = lookup->request.ar_result; target && fd_ < 0; target = target->ai_next) {
    fd_ = ConnectOne(*target, deadline);
    if (fd_ < 0) lastError = errno;
  }
  if (fd_ < 0) {
    const std::string cause = lastError == ETIMEDOUT
                                  ? "connection timed out after " + std::to_string(connectTimeout_.count()) + " ms"
                                  : std::string("cannot connect: ") + std::strerror(lastError);
    throw LineError(LineFailure::kOpen, device_ + ": " + cause);
  }
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
  ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
  ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
}

void TcpLine::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  if (fd_ < 0) Open();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
      continue;
    }
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN || errno == ETIMEDOUT))
      Fail(LineFailure::kHangUp, "connection dropped", errno);
    if (wrote < 0 && errno != EAGAIN) Fail(LineFailure::kIo, "send failed", errno);
    pollfd waiter{fd_, POLLOUT, 0};
    const int ready = PollUntil(waiter, deadline);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) Fail(LineFailure::kIo, "poll failed", errno);
    if (waiter.revents & (POLLHUP | POLLERR | POLLNVAL)) Fail(LineFailure::kHangUp, "connection dropped", 0);
    if (ready == 0 && Clock::now() >= deadline) Fail(LineFailure::kTimeout, "send timed out", 0);
  }
}

std::size_t TcpLine::ReadSome(std::span<std::uint8_t> buffer, Clock::time_point deadline) {
  if (fd_ < 0) Open();
  for (;;) {
    pollfd waiter{fd_, POLLIN, 0};
    const int ready = PollUntil(waiter, deadline);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) Fail(LineFailure::kIo, "poll failed", errno);
    if (ready == 0) {
      if (Clock::now() >= deadline) return 0;
      continue;
    }
    const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (got > 0) return static_cast<std::size_t>(got);
    if (got == 0) Fail(LineFailure::kHangUp, "connection closed by the server", 0);
    if (errno == EINTR || errno == EAGAIN) continue;
    if (errno == ECONNRESET || errno == ETIMEDOUT || errno == EPIPE || errno == EHOSTUNREACH)
      Fail(LineFailure::kHangUp, "connection dropped", errno);
    Fail(LineFailure::kIo, "receive failed", errno);
  }
}

// A connection the server closed while the line was idle is closed here without a word: the
// request that follows connects again.
void TcpLine::FlushInput() {
  if (fd_ < 0) return;
  std::uint8_t scratch[512];
  for (;;) {
    const ssize_t got = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return;
    Close();
    return;
  }
}

}  // namespace terminal::tcp
