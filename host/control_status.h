// The host's own view of the terminal control, beyond what the driver asks of it: a control
// instance of this thread (created by ProgID through the component runtime) whose members tell
// the last status of a port in this process (what failed, on which device, who holds it) and
// open a port to check it. The driver's messages stay as they are; the host words the cause.
#pragma once

#include <optional>
#include <string>

#include "platform/automation/owners.h"

namespace vanto::host {

struct PortCause {
  std::string fault;  // "none", "unused", "missing", "permission", "busy", "not-serial", "setting", "open", "line"
  std::string device;
  std::string detail;
  // How the last exchange with a terminal failed ("silent", "damaged", "busy", "refused",
  // "hangup", "bad-clock", ...), when the fault is "line"; empty otherwise.
  std::string failure;
  int terminal = 0;
  int holder_pid = 0;
  std::string holder_name;

  // Whether the port itself could not be used (as opposed to a terminal on it).
  bool PortUnusable() const;
  bool Failed() const { return fault != "none" && fault != "unused"; }
};

// Parses the control's status text ("key=value" lines).
PortCause ParsePortStatus(const std::string& text);

class ControlStatus {
 public:
  // Creates this thread's control instance. Throws HostError.
  static ControlStatus Create();

  PortCause Status(int port);
  // Opens the port (taking its lock, waiting up to the control's bound), then releases it.
  // The cause when it could not be opened, nullopt when it opened.
  std::optional<PortCause> CheckOpens(int port);

 private:
  explicit ControlStatus(ComPtr<IDispatch> control) : control_(std::move(control)) {}
  ComPtr<IDispatch> control_;
};

}  // namespace vanto::host
