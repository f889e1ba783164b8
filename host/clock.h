// Terminal clocks: every terminal's clock against the host's time in the site's time zone (the
// drift), and setting them from the host's clock. Setting is refused while the host's own clock
// is not synchronised (unless the caller overrides it) and is audited: an intent before and an
// outcome after each set, through the caller's audit hook. Setting a clock changes no record.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/control_status.h"
#include "host/message.h"
#include "host/site/site.h"
#include "host/site/zone.h"
#include "host/terminal_control.h"

namespace vanto::host {

// What the kernel says of the host's clock (adjtimex): synchronised to a time source or not.
struct HostClockState {
  bool synchronised = false;
  std::string reason;  // when not: "TIME_ERROR", "STA_UNSYNC" or the failed call's error
};
HostClockState ReadHostClockState();

enum class ClockState {
  kRead,        // `clock` and `drift` hold
  kNoClock,     // a terminal of protocol version 1 or 2: it has no clock commands
  kSilent,      // it could not be asked: `fault` says how the exchange failed
  kInvalid,     // it answered a clock that is no valid date and time (`message` tells it)
  kPortFailed,  // the port could not be used (`port_cause`); terminal 0 when no terminal was reached
};

enum class ClockSet {
  kNotAsked,
  kSet,             // set to `set_to`
  kRefused,         // the terminal refused (`refusal`: 9 a time it cannot keep, 10 locked)
  kFailed,          // the set failed (`fault`, `message`); when its answers were lost, the clock
                    // read back (`read_back`) shows it was not set
  kUnknown,         // the set's answers were lost and the clock could not be read back
  kUnsynchronised,  // not tried: the host's clock is not synchronised
  kNotAudited,      // not tried: the intent could not be written to the audit trail (`message`)
};

struct TerminalClock {
  int port = 0, terminal = 0;
  int version = 0;  // the terminal's protocol version (0: not told)
  ClockState state = ClockState::kSilent;
  site::WallTime clock;  // kRead: what the terminal's clock showed
  site::WallTime host;   // the host's wall time in the site's zone when it was read
  std::int64_t drift = 0;  // seconds the terminal's clock is ahead of the host's (negative: behind)
  ClockSet set = ClockSet::kNotAsked;
  int refusal = 0;
  site::WallTime set_to;
  // kSilent, or a set that failed: how the exchange failed, as the control's port status words it
  // ("silent", "damaged", "busy", "refused", "hangup", ...; empty when it did not say).
  std::string fault;
  // A set whose answers were lost: what the clock showed when read back (kSet: the time set).
  std::optional<site::WallTime> read_back;
  // The control's words, as it gave them (kNotAudited: why the audit trail refused the intent).
  Message message;
  // kPortFailed: the port's fault when the port itself could not be used, else the range of
  // terminals a scan asked when none answered (terminal 0).
  std::optional<PortCause> port_cause;
  std::optional<std::pair<int, int>> none_answered;
};

// One row of the audit trail for a set: the intent before it, the outcome after it.
struct ClockAudit {
  enum class Stage { kIntent, kOutcome };
  Stage stage = Stage::kIntent;
  int port = 0, terminal = 0;
  // "clock.set" (intent), "clock.set.done", ".refused", ".failed" or ".unknown" (outcome)
  std::string action;
  std::string details;  // language-neutral: the terminal, the times and zone, the refusal
};

struct ClockOptions {
  site::TimeZone zone = site::TimeZone::Host();
  // The host's time; empty: the system clock (tests pin it).
  std::function<std::chrono::system_clock::time_point()> now;
  // Set the clocks read: all of them (`set`), or only those whose drift exceeds
  // `set_when_drift_above` seconds either way.
  bool set = false;
  std::optional<std::int64_t> set_when_drift_above;
  HostClockState host_clock;            // the caller reads it (ReadHostClockState) or pins it
  bool even_if_unsynchronised = false;  // set although the host's clock is not synchronised
  // Called before (a throw stops that set) and after each set; without it nothing is set.
  std::function<void(const ClockAudit&)> audit;

  bool SetWanted() const { return set || set_when_drift_above.has_value(); }
};

// One terminal's clock over `control` (its port selected), set when the options ask for it. The
// terminal's protocol version is asked first, unless the caller knows it already (`version`).
// A set whose answers were lost (no answer, damaged answers, busy) is settled by reading the
// clock back: a reading within kSetReadBackSlack seconds (plus the time the set took) of the time
// set, moved on by the time since, means it was set; the audit's outcome says what the read
// showed.
TerminalClock ClockOfTerminal(HostControl& control, int port, int terminal, const ClockOptions& options,
                              std::optional<int> version = std::nullopt);

inline constexpr std::int64_t kSetReadBackSlack = 2;

// Every terminal of the site (a port's range scanned first), by port, then terminal.
std::vector<TerminalClock> SiteClocks(const site::Site& site, const ClockOptions& options);

// The wall time of a stored swipe's time (days since 1899-12-30 and their fraction), to the second.
site::WallTime WallOfDate(double date);

// Counts the records of one terminal's read whose times are implausible: more than the site's
// `records_ahead` after the host's time, or more than `records_back` before the previous record.
class PlausibilityCount {
 public:
  PlausibilityCount(const site::ClockRules& rules, site::WallTime host_now);
  // One record's wall time, in the order of the log.
  void Add(const site::WallTime& record);
  std::size_t implausible() const { return implausible_; }

 private:
  std::int64_t ahead_limit_;
  std::int64_t back_;
  std::optional<std::int64_t> previous_;
  std::size_t implausible_ = 0;
};

}  // namespace vanto::host
