// A client that speaks to the console as slowly or as little as a test wants: one plain TCP
// connection from a loopback address of the test's choice (127.0.0.0/8 is all this machine's).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace vanto::web::testing {

class RawClient {
 public:
  explicit RawClient(int port, const std::string& from = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
    }
  }
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }

  bool Send(const std::string& bytes) {
    return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  // What the server sent until `until` appears in it (`times` times), the server closes, or
  // `bound` passes.
  std::string ReadUntil(const std::string& until, std::chrono::seconds bound = std::chrono::seconds(30),
                        std::size_t times = 1) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (fd_ >= 0 && Count(until) < times && !closed_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) break;
      char buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) closed_ = true;
      else received_.append(buffer, static_cast<std::size_t>(n));
    }
    return received_;
  }

  // How often `what` appears in what the server sent.
  std::size_t Count(const std::string& what) const {
    std::size_t n = 0;
    for (std::size_t at = received_.find(what); at != std::string::npos; at = received_.find(what, at + 1)) ++n;
    return n;
  }

  // Whether the server closed the connection (an end of file or a reset) within `bound`; what it
  // sent before is kept.
  bool ClosedWithin(std::chrono::seconds bound) {
    ReadUntil(std::string(1, '\0') + "never sent", bound);
    return closed_;
  }

  // Closed already, without waiting.
  bool ClosedNow() {
    return fd_ < 0 || ClosedWithin(std::chrono::seconds(0));
  }

 private:
  int fd_ = -1;
  std::string received_;
  bool closed_ = false;
};

}  // namespace vanto::web::testing
