// Raw TCP to a serial device server, the network backend of the line interface: the server puts
// the bytes on its serial bus as they are and sends back what the bus says. Connects with a
// bounded time-out (name lookup included), TCP_NODELAY and keep-alive; a refused or dropped
// connection is a LineError naming the address and the cause, and the next Open reconnects.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "terminal/line/line.h"

namespace terminal::tcp {

inline constexpr char kScheme[] = "tcp://";

struct TcpAddress {
  std::string host;  // a name, an IPv4 address, or an IPv6 address (without brackets)
  unsigned short port = 0;
};

// Whether `device` names a network address ("scheme://..."), as opposed to a device path.
bool IsNetworkAddress(const std::string& device);
// Parses "tcp://HOST:PORT" ("tcp://[v6]:PORT" for IPv6). Returns the reason it cannot be used
// in `why` and empty when it is not one: another scheme, no host, no port, a port out of 1..65535.
std::optional<TcpAddress> ParseTcpAddress(const std::string& device, std::string& why);

class TcpLine final : public line::Line {
 public:
  // `device` is "tcp://HOST:PORT"; a malformed one is refused by Open (LineError kOpen).
  TcpLine(std::string device, std::chrono::milliseconds connectTimeout);
  ~TcpLine() override;

  const std::string& Address() const override { return device_; }
#ifdef _WIN32
  bool IsOpen() const override { return socket_ != kNoSocket; }
#else
  bool IsOpen() const override { return fd_ >= 0; }
#endif
  void Open() override;
  void Close() override;
  void Write(std::span<const std::uint8_t> bytes, line::Clock::time_point deadline) override;
  std::size_t ReadSome(std::span<std::uint8_t> buffer, line::Clock::time_point deadline) override;
  void FlushInput() override;

 private:
  [[noreturn]] void Fail(line::LineFailure failure, const std::string& what, int error);

  std::string device_;
  std::chrono::milliseconds connectTimeout_;
#ifdef _WIN32
  static constexpr std::uintptr_t kNoSocket = ~std::uintptr_t{0};  // INVALID_SOCKET
  std::uintptr_t socket_ = kNoSocket;
#else
  int fd_ = -1;
#endif
};

}  // namespace terminal::tcp
