// The far end of a TCP line for tests: a loopback listener standing in for a serial device server,
// with the connection it accepted under the test's control.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vanto::testing {

class TcpPeer {
 public:
  TcpPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;
  ~TcpPeer() {
    CloseConnection();
    if (listener_ >= 0) ::close(listener_);
  }

  std::string Address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  unsigned short Port() const { return port_; }
  int Connection() const { return connection_; }

  // Takes the next connection (bounded wait); false when none came.
  bool Accept(std::chrono::milliseconds bound = std::chrono::milliseconds(5000)) {
    pollfd waiter{listener_, POLLIN, 0};
    if (::poll(&waiter, 1, static_cast<int>(bound.count())) != 1) return false;
    CloseConnection();
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
  }
  void Send(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // Up to `want` bytes, waiting at most `bound` in all.
  std::vector<std::uint8_t> Receive(std::size_t want, std::chrono::milliseconds bound = std::chrono::milliseconds(2000)) {
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
      pollfd waiter{connection_, POLLIN, 0};
      if (::poll(&waiter, 1, 50) <= 0) continue;
      std::uint8_t buffer[512];
      const ssize_t n = ::recv(connection_, buffer, std::min(sizeof buffer, want - got.size()), 0);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  // Closes the connection; `reset` makes it a reset (RST) rather than an orderly close.
  void CloseConnection(bool reset = false) {
    if (connection_ < 0) return;
    if (reset) {
      const linger abort{1, 0};
      ::setsockopt(connection_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(std::exchange(connection_, -1));
  }

 private:
  int listener_ = -1;
  int connection_ = -1;
  unsigned short port_ = 0;
};

// A loopback port nobody listens on (bound, then released): connecting is refused.
inline std::string RefusingAddress() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

}  // namespace vanto::testing
