#include "host/clock.h"

#include <sys/timex.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "host/machine.h"

namespace vanto::host {
namespace {

// How the control words a clock answer that is no valid date and time (its documented text).
constexpr char kInvalidClockText[] = "的时钟读数不是有效的日期和时间";

std::chrono::system_clock::time_point Now(const ClockOptions& options) {
  return options.now ? options.now() : std::chrono::system_clock::now();
}

std::string Details(const TerminalClock& row, const ClockOptions& options) {
  std::string text = "port " + std::to_string(row.port) + " terminal " + std::to_string(row.terminal) + ": clock " +
                     (row.state == ClockState::kRead ? site::WallText(row.clock) : std::string("invalid")) + ", set to " + site::WallText(row.set_to) + " (" + options.zone.name() +
                     ")";
  if (!options.host_clock.synchronised) text += "; the host's clock is not synchronised (" + options.host_clock.reason + ")";
  return text;
}

// How the last exchange on `port` failed, as the control's port status words it.
std::string LastFailure(int port) {
  try {
    return ControlStatus::Create().Status(port).failure;
  } catch (const std::exception&) {
    return {};
  }
}

double SecondsBetween(std::chrono::system_clock::time_point from, std::chrono::system_clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A set that failed without a refusal: its answers may have been lost after the terminal set its
// clock. The clock is read back: a reading at the time set (moved on by the time since, within the
// slack and the time the set took) means it was set.
void SettleByReadBack(HostControl& control, TerminalClock& row, const ClockOptions& options,
                      std::chrono::system_clock::time_point asked, std::chrono::system_clock::time_point answered) {
  std::optional<site::WallTime> back;
  std::chrono::system_clock::time_point read_at;
  try {
    back = control.ReadClock(row.terminal);
    read_at = Now(options);
  } catch (const TerminalError& e) {
    row.message = Message::Join({row.message, "; ", MessageOf(e)});
    // A reading that is no valid date and time is not the time set; no reading tells nothing.
    row.set = LastFailure(row.port) == "bad-clock" ? ClockSet::kFailed : ClockSet::kUnknown;
    return;
  }
  if (!back) {  // it no longer knows the clock commands: nothing was set
    row.set = ClockSet::kFailed;
    return;
  }
  row.read_back = back;
  // Where the clock stands if the terminal set it at the moment it was asked: the time set, moved
  // on by what passed since. Set any later during the exchange, it shows up to its length less.
  const double expected = static_cast<double>(site::WallSeconds(row.set_to)) + SecondsBetween(asked, read_at);
  const double off = static_cast<double>(site::WallSeconds(*back)) - expected;
  const double took = SecondsBetween(asked, answered);
  row.set = off >= -(static_cast<double>(kSetReadBackSlack) + took) && off <= static_cast<double>(kSetReadBackSlack)
                ? ClockSet::kSet
                : ClockSet::kFailed;
}

void Set(HostControl& control, TerminalClock& row, const ClockOptions& options) {
  if (!options.host_clock.synchronised && !options.even_if_unsynchronised) {
    row.set = ClockSet::kUnsynchronised;
    return;
  }
  if (!options.audit) {
    row.set = ClockSet::kNotAudited;
    row.message = Message("no audit trail");
    return;
  }
  row.set_to = options.zone.WallAt(Now(options));
  try {
    options.audit({ClockAudit::Stage::kIntent, row.port, row.terminal, "clock.set", Details(row, options)});
  } catch (const std::exception& e) {
    row.set = ClockSet::kNotAudited;
    row.message = MessageOf(e);
    return;
  }
  // The time is taken again at the last moment: the audit row may have waited for the database.
  const auto asked = Now(options);
  row.set_to = options.zone.WallAt(asked);
  bool unanswered = false;
  try {
    row.refusal = control.SetClock(row.terminal, row.set_to);
    row.set = row.refusal == 0 ? ClockSet::kSet : ClockSet::kRefused;
  } catch (const TerminalError& e) {
    row.message = MessageOf(e);
    row.fault = LastFailure(row.port);
    row.set = ClockSet::kFailed;
    // A terminal that refused, or a line that broke, set nothing it told of; silence, damaged
    // answers and busy may hide a set that was done.
    unanswered = row.fault == "silent" || row.fault == "damaged" || row.fault == "busy";
    if (unanswered) SettleByReadBack(control, row, options, asked, Now(options));
  }
  const char* outcome = row.set == ClockSet::kSet       ? "clock.set.done"
                        : row.set == ClockSet::kRefused ? "clock.set.refused"
                        : row.set == ClockSet::kUnknown ? "clock.set.unknown"
                                                        : "clock.set.failed";
  std::string details = Details(row, options);
  if (row.set == ClockSet::kRefused) details += "; refusal " + std::to_string(row.refusal);
  if (unanswered) {
    details += "; the set went unanswered (" + row.fault + ")";
    if (row.read_back)
      details += ", the clock read back shows " + site::WallText(*row.read_back) +
                 (row.set == ClockSet::kSet ? ": set" : ": not set");
    else if (row.set == ClockSet::kUnknown)
      details += ", the clock could not be read back: not known whether it was set";
  }
  if (row.set == ClockSet::kFailed || row.set == ClockSet::kUnknown) details += "; " + row.message.English();
  // The outcome's row failing leaves the intent's row standing: the set is not undone for it.
  try {
    options.audit({ClockAudit::Stage::kOutcome, row.port, row.terminal, outcome, details});
  } catch (const std::exception&) {
  }
}

}  // namespace

HostClockState ReadHostClockState() {
  timex state{};
  state.modes = 0;  // read only
  errno = 0;
  const int answer = ::adjtimex(&state);
  if (answer == -1) return {false, std::string("adjtimex: ") + std::strerror(errno)};
  if (answer == TIME_ERROR) return {false, "TIME_ERROR"};
  if (state.status & STA_UNSYNC) return {false, "STA_UNSYNC"};
  return {true, ""};
}

TerminalClock ClockOfTerminal(HostControl& control, int port, int terminal, const ClockOptions& options,
                              std::optional<int> version) {
  TerminalClock row;
  row.port = port, row.terminal = terminal;
  try {
    row.version = version ? *version : control.Info(terminal).version;
  } catch (const TerminalError& e) {
    row.state = ClockState::kSilent;
    row.message = MessageOf(e);
    row.fault = LastFailure(port);
    return row;
  }
  if (row.version < 3) {
    row.state = ClockState::kNoClock;
    return row;
  }
  try {
    const std::optional<site::WallTime> clock = control.ReadClock(terminal);
    row.host = options.zone.WallAt(Now(options));
    if (!clock) {
      row.state = ClockState::kNoClock;
      return row;
    }
    row.clock = *clock;
    row.state = ClockState::kRead;
    row.drift = site::WallSeconds(row.clock) - site::WallSeconds(row.host);
  } catch (const TerminalError& e) {
    row.message = MessageOf(e);
    row.fault = LastFailure(port);
    row.state = row.fault == "bad-clock" || row.message.English().find(kInvalidClockText) != std::string::npos
                    ? ClockState::kInvalid
                    : ClockState::kSilent;
  }
  // A clock that shows no valid time is set too: that is what mends it.
  const bool readable = row.state == ClockState::kRead || row.state == ClockState::kInvalid;
  const bool wanted =
      options.set || (options.set_when_drift_above &&
                      (row.state == ClockState::kInvalid ||
                       (row.drift > *options.set_when_drift_above || -row.drift > *options.set_when_drift_above)));
  if (readable && wanted) Set(control, row, options);
  return row;
}

std::vector<TerminalClock> SiteClocks(const site::Site& site, const ClockOptions& options) {
  std::vector<TerminalClock> rows;
  HostControl control = HostControl::Create();
  ControlStatus status = ControlStatus::Create();
  std::optional<Machine> machine;
  for (const site::SitePort& port : site.ports) {
    PortRelease release(control, port.number);
    auto port_failed = [&](int terminal, const PortCause& cause) {
      TerminalClock row;
      row.port = port.number, row.terminal = terminal, row.state = ClockState::kPortFailed;
      if (cause.PortUnusable()) row.port_cause = cause;
      else row.none_answered = {port.terminals.front(), port.terminals.back()};
      rows.push_back(row);
    };
    std::vector<int> terminals = port.terminals;
    if (port.scan) {
      if (!machine) machine.emplace(Machine::Create());
      std::vector<FoundTerminal> found;
      machine->Scan({port.number, port.number}, {terminals.front(), terminals.back()}, &found);
      terminals.clear();
      for (const FoundTerminal& f : found) terminals.push_back(f.terminal);
      if (terminals.empty()) {
        port_failed(0, status.Status(port.number));
        continue;
      }
    }
    control.SelectPort(port.number);
    for (std::size_t i = 0; i < terminals.size(); ++i) {
      TerminalClock row = ClockOfTerminal(control, port.number, terminals[i], options);
      if (row.state == ClockState::kSilent) {
        const PortCause cause = status.Status(port.number);
        if (cause.PortUnusable()) {  // the port itself: none of its terminals can be reached
          for (std::size_t j = i; j < terminals.size(); ++j) port_failed(terminals[j], cause);
          break;
        }
      }
      rows.push_back(row);
    }
  }
  return rows;
}

site::WallTime WallOfDate(double date) {
  // 1899-12-30 is 25569 days before 1970-01-01; the fraction rounded to the second.
  const auto seconds = static_cast<std::int64_t>(std::llround((date - 25569.0) * 86400.0));
  return site::WallFromSeconds(seconds);
}

PlausibilityCount::PlausibilityCount(const site::ClockRules& rules, site::WallTime host_now)
    : ahead_limit_(site::WallSeconds(host_now) + rules.records_ahead), back_(rules.records_back) {}

void PlausibilityCount::Add(const site::WallTime& record) {
  const std::int64_t at = site::WallSeconds(record);
  if (at > ahead_limit_) {  // a time from the future: the next record is compared with the one before it
    ++implausible_;
    return;
  }
  if (previous_ && at < *previous_ - back_) ++implausible_;
  previous_ = at;
}

}  // namespace vanto::host
