// The last thing that happened on each port in this process, whichever control instance used
// it: what a host shows beside an operation's fixed failure message (the port, its device and
// the cause), read through the control's PortStatus member.
#pragma once

#include <string>

#include "terminal/control/port_lock.h"

namespace terminal::control {

struct PortStatus {
  PortFault fault = PortFault::kNone;
  std::string device;
  std::string detail;  // what failed, in words (English: the host words the cause from it)
  // kLine: how the exchange with the terminal failed, as a stable word: "silent" (no answer),
  // "damaged" (only damaged answers), "busy" (busy every time), "refused", "hangup" (the line
  // broke), "bad-clock" (a clock reading that is no valid date and time), "short-read",
  // "no-read", "bad-terminal"; empty otherwise.
  std::string failure;
  LockHolder holder;   // for kBusy
  int terminal = 0;    // the terminal concerned, 0 when the port itself failed
  bool used = false;   // whether this process has used the port at all
};

void RecordPortStatus(int port, PortStatus status);
PortStatus LastPortStatus(int port);
// The status as "key=value" lines (fault, device, detail, failure, holder_pid, holder_name,
// terminal).
std::string PortStatusText(const PortStatus& status);

}  // namespace terminal::control
