// Network addresses of serial device servers: shared by the line backends of every platform.
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "terminal/tcp/tcp_line.h"

namespace terminal::tcp {

bool IsNetworkAddress(const std::string& device) { return device.find("://") != std::string::npos; }

std::optional<TcpAddress> ParseTcpAddress(const std::string& device, std::string& why) {
  const std::string_view scheme(kScheme);
  if (device.compare(0, scheme.size(), scheme) != 0) {
    const auto colon = device.find("://");
    why = colon == std::string::npos ? "not a network address"
                                     : "unknown scheme '" + device.substr(0, colon) + "' (only tcp:// is known)";
    return std::nullopt;
  }
  std::string rest = device.substr(scheme.size());
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  TcpAddress address;
  std::string portText;
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) {
      why = "unclosed '[' in the host";
      return std::nullopt;
    }
    address.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size() && rest[close + 1] == ':') portText = rest.substr(close + 2);
    else if (close + 1 != rest.size()) {
      why = "unexpected text after the host";
      return std::nullopt;
    }
  } else {
    const auto colon = rest.rfind(':');
    address.host = rest.substr(0, colon);
    if (colon != std::string::npos) portText = rest.substr(colon + 1);
    if (address.host.find(':') != std::string::npos) {
      why = "an IPv6 host goes in brackets: tcp://[ADDRESS]:PORT";
      return std::nullopt;
    }
  }
  if (address.host.empty()) {
    why = "no host (tcp://HOST:PORT)";
    return std::nullopt;
  }
  if (portText.empty()) {
    why = "no port (tcp://HOST:PORT)";
    return std::nullopt;
  }
  char* end = nullptr;
  errno = 0;
  const long port = std::strtol(portText.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || port < 1 || port > 65535 || portText.front() == '+' || portText.front() == '-') {
    why = "port '" + portText + "' is not 1..65535";
    return std::nullopt;
  }
  address.port = static_cast<unsigned short>(port);
  return address;
}

}  // namespace terminal::tcp
