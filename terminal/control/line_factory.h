// Which backend carries a port: "tcp://HOST:PORT" a serial device server (terminal/tcp), any
// other "scheme://..." is refused when opened, anything else is a serial device (terminal/serial).
// The protocol core asks here and knows only the line interface.
#pragma once

#include <memory>
#include <string>

#include "terminal/control/settings.h"
#include "terminal/line/line.h"

namespace terminal::control {

// The line of port `port` on `device`, at the port's own speed.
std::unique_ptr<line::Line> MakeLine(const std::string& device, const ControlSettings& settings, int port);

}  // namespace terminal::control
