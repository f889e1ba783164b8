// A terminal clock's outcome in words where the host gives it as a code with values: why a port's
// clocks could not be read (the port's fault, or no terminal answering the scan).
#pragma once

#include <string>

#include "host/clock.h"
#include "host/text/messages.h"

namespace vanto::host {

// A row of state kPortFailed in `language`: the port's fault, naming the port and the device, or
// the range of terminals a scan asked when none answered; empty for any other row.
std::string ClockPortFailedText(Language language, const TerminalClock& row);

}  // namespace vanto::host
