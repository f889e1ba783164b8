#include "terminal/control/line_factory.h"

#include "terminal/serial/serial_port.h"
#include "terminal/tcp/tcp_line.h"

namespace terminal::control {

std::unique_ptr<line::Line> MakeLine(const std::string& device, const ControlSettings& settings, int port) {
  if (tcp::IsNetworkAddress(device)) return std::make_unique<tcp::TcpLine>(device, settings.connectTimeout);
  return std::make_unique<serial::SerialPort>(device, settings.BaudOf(port));
}

}  // namespace terminal::control
