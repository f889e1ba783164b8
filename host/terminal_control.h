// The host's own terminal control object: what a terminal tells about its record log, where the
// driver's next record read of a terminal starts, how far a read got, one record's raw fields,
// and clearing. It shares the process-wide read starts with the driver's control object.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "host/site/zone.h"
#include "platform/automation/owners.h"

namespace vanto::host {

// The terminal or its line failed (exit 1, like an operation that answered False).
class TerminalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TerminalInfo {
  int version = 1;
  std::uint32_t identity = 0;  // 0: a version 1 terminal, which has none
  std::uint32_t capacity = 0;  // records it can hold (0: not told)
  std::uint32_t held = 0;
  std::uint32_t generation = 0;
  bool Identified() const { return version >= 2 && identity != 0; }
};

struct ReadProgress {
  std::uint32_t reads = 0;  // record reads of the terminal begun in this process
  std::uint32_t held = 0;
  std::uint32_t generation = 0;
  std::uint32_t identity = 0;
  std::uint32_t start = 0;
  std::uint32_t next = 0;
  int state = 0;  // 0 running (or left unfinished), 1 complete, 2 failed in the control
};

struct RawRecord {
  std::int32_t person = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0;
};

class HostControl {
 public:
  // Creates FK303IDLib.FK303ID through the component runtime; throws HostError.
  static HostControl Create();
  // Without handing the host's pending settings over first (PushControlSettings uses it).
  static HostControl CreateUnconfigured();

  void SelectPort(int port);
  // Throws TerminalError with the control's description.
  TerminalInfo Info(int terminal);
  // The next record read of (selected port, terminal) starts at `index` of that log; nullopt
  // removes a start that was not taken.
  void SetReadStart(int terminal, std::optional<std::uint32_t> index, std::uint32_t identity = 0,
                    std::uint32_t generation = 0);
  std::optional<ReadProgress> Progress(int terminal);
  // The record at `index`, or nullopt when the terminal holds exactly `index` records.
  std::optional<RawRecord> RecordAt(int terminal, std::uint32_t generation, std::uint32_t index);
  // The new generation, or nullopt when the terminal refused (its generation or count differ).
  std::optional<std::uint32_t> Clear(int terminal, std::uint32_t generation, std::uint32_t count);
  // The terminal's clock; nullopt when it has no clock commands (protocol version 1 or 2).
  // Throws TerminalError when it does not answer, or answers no valid date and time.
  std::optional<site::WallTime> ReadClock(int terminal);
  // Sets the terminal's clock: 0 when set, else the refusal (1 no clock commands, 9 a time it
  // cannot keep, 10 its clock is locked). Throws TerminalError when it does not answer.
  int SetClock(int terminal, const site::WallTime& time);
  // SetSetting: `name` (a control setting's name) takes `value` for every control of this
  // process created from now on; empty removes what the host set. False: the control refused it.
  bool SetSetting(const std::string& name, const std::string& value);
  // ReleasePort: closes `port` on this control, when selected, and releases its lock.
  void ReleasePort(int port);

 private:
  explicit HostControl(ComPtr<IDispatch> control) : control_(std::move(control)) {}
  bool Call(DISPID member, const char* name, VARIANT* args, unsigned count);
  ComPtr<IDispatch> control_;
};

// Releases `port` on `control` when the scope that used it ends, whichever way it ends, so a
// long-running process does not pin the port. A control already gone holds no port: a failure
// to release is not one.
class PortRelease {
 public:
  PortRelease(HostControl& control, int port) : control_(control), port_(port) {}
  ~PortRelease() {
    try {
      control_.ReleasePort(port_);
    } catch (...) {
    }
  }
  PortRelease(const PortRelease&) = delete;
  PortRelease& operator=(const PortRelease&) = delete;

 private:
  HostControl& control_;
  int port_;
};

}  // namespace vanto::host
