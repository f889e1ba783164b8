#include "host/terminal_sync.h"

#include "host/report/dates.h"
#include "host/message.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vanto::host {
namespace {

// Where a read of this terminal starts, and why it reads everything when it does. An incremental
// read starts at the last record the log holds as a swipe, so that record is compared with the
// terminal's: a terminal whose log is not the stored one (a factory reset to a generation seen
// before, a cloned identity) shows it at the read's first record, even when it holds exactly as
// many records as were stored.
std::uint32_t ChooseStart(const store::RecordStore& store, const TerminalInfo& info, const store::LogKey& log, bool all,
                          SyncNote* why) {
  if (!info.Identified()) {
    *why = {"no-identity", {{"version", std::to_string(info.version)}, {"identity", std::to_string(info.identity)}}};
    return 0;
  }
  if (all) {
    *why = {"asked-all", {}};
    return 0;
  }
  const store::LogCoverage held = store.Coverage(log);
  if (held.count == 0) {
    *why = {"none-stored", {}};
    return 0;
  }
  if (!held.Contiguous()) {
    *why = {"gaps", {{"missing", std::to_string(held.next - held.first - held.count)},
                     {"first", std::to_string(held.next - held.first)}}};
    return 0;
  }
  if (held.next > info.held) {
    *why = {"fewer-held", {{"held", std::to_string(info.held)}, {"stored", std::to_string(held.next)}}};
    return 0;
  }
  const auto last = static_cast<std::uint32_t>(held.next - 1);
  // A record kept apart as rejected would only be rejected again: the read then starts after it.
  for (const store::RejectedRecord& r : store.Rejected())
    if (r.log && r.log->identity == log.identity && r.log->generation == log.generation && r.index == last)
      return last + 1;
  return last;
}

}  // namespace

store::LogKey CurrentLogAt(const store::SwipeStore& store, std::uint32_t identity, std::uint32_t generation, int port,
                           int terminal) {
  const std::vector<store::LogEpoch> epochs = store.Epochs(identity, generation);
  for (auto e = epochs.rbegin(); e != epochs.rend(); ++e)
    if (e->port == port && e->terminal == terminal) return e->log;
  return {identity, generation, 0};
}

namespace {
// True when the terminal holds the records `log` holds, as far as three of them tell: the
// epoch's first record, its last stored one and the one midway (fewer when they coincide).
bool TerminalHolds(const store::SwipeStore& store, HostControl& control, int terminal, const TerminalInfo& info,
                   const store::LogKey& log) {
  const store::LogCoverage held = store.Coverage(log);
  // A log only grows within a generation: a terminal holding fewer records than the epoch
  // reaches holds another log.
  if (held.count == 0 || held.next > static_cast<std::int64_t>(info.held)) return false;
  const auto first = static_cast<std::uint32_t>(held.first), last = static_cast<std::uint32_t>(held.next - 1);
  std::vector<std::uint32_t> indexes{first, first + (last - first) / 2, last};
  indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
  int compared = 0;
  for (std::uint32_t index : indexes) {
    const auto stored = store.SwipeAt(log, index);
    if (!stored) continue;  // a rejected record there: nothing to compare with
    const std::optional<RawRecord> raw = control.RecordAt(terminal, info.generation, index);
    if (!raw) return false;
    char minute[64];
    std::snprintf(minute, sizeof minute, "%04d-%02d-%02d %02d:%02d", raw->year, raw->month, raw->day, raw->hour,
                  raw->minute);
    if (raw->person != stored->first || stored->second.compare(0, 16, minute) != 0) return false;
    ++compared;
  }
  return compared > 0;
}
}  // namespace

store::LogKey ChooseLog(const store::SwipeStore& store, HostControl& control, const TerminalInfo& info, int port,
                        int terminal) {
  const store::LogKey here = CurrentLogAt(store, info.identity, info.generation, port, terminal);
  const std::vector<store::LogEpoch> epochs = store.Epochs(info.identity, info.generation);
  if (epochs.empty()) return here;  // one log of that identity and generation: nothing to choose
  std::vector<std::uint32_t> candidates{here.epoch};
  if (here.epoch != 0) candidates.push_back(0);
  for (const store::LogEpoch& e : epochs)
    if (e.log.epoch != here.epoch) candidates.push_back(e.log.epoch);
  try {
    for (std::uint32_t epoch : candidates) {
      const store::LogKey log{info.identity, info.generation, epoch};
      if (TerminalHolds(store, control, terminal, info, log)) return log;
    }
  } catch (const TerminalError&) {
    // The terminal could not be asked for a record: the read's first record is still compared.
  }
  return here;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> MissingOfLog(const store::SwipeStore& store,
                                                                  const store::LogKey& log, std::uint32_t held,
                                                                  std::size_t limit) {
  const std::vector<store::LogEpoch> epochs =
      log.epoch > 0 ? store.Epochs(log.identity, log.generation) : std::vector<store::LogEpoch>{};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> missing;
  store::LogKey at = log;
  std::uint32_t below = held;
  // From the epoch down through the epochs it was opened from: each holds its part of the log,
  // from its first index up to where the one opened from it begins.
  for (std::size_t step = 0; step <= epochs.size(); ++step) {
    const store::LogEpoch* epoch = nullptr;
    for (const store::LogEpoch& e : epochs)
      if (e.log.epoch == at.epoch) epoch = &e;
    const std::uint32_t first = epoch ? std::min(epoch->first, below) : 0;
    for (auto range : store.Missing(at, below, limit))
      if (range.second >= first && missing.size() < limit) missing.emplace_back(std::max(range.first, first), range.second);
    if (!epoch || first == 0 || epoch->parent >= at.epoch) break;
    below = first;
    at.epoch = epoch->parent;
  }
  std::sort(missing.begin(), missing.end());
  return missing;
}

Message Where(int port, int terminal) {
  return Message("terminal {0} on port {1}", {std::to_string(terminal), std::to_string(port)});
}

std::string RejectionReason(const RawRecord& r) {
  if (r.year < 100 || r.year > 9999) return "year " + std::to_string(r.year);
  if (r.month < 1 || r.month > 12) return "month " + std::to_string(r.month);
  const int days = report::DaysInMonth(r.year, r.month);  // the one calendar
  if (r.day < 1 || r.day > days)
    return "day " + std::to_string(r.day) + " in month " + std::to_string(r.month) + " of " + std::to_string(r.year);
  if (r.hour < 0 || r.hour > 23) return "hour " + std::to_string(r.hour);
  if (r.minute < 0 || r.minute > 59) return "minute " + std::to_string(r.minute);
  return "the driver could not convert it";
}

store::CauseValues ConflictValues(const store::RecordConflict& c, std::uint32_t epoch) {
  return {{"port", std::to_string(c.port)},
          {"terminal", std::to_string(c.terminal)},
          {"serial", std::to_string(c.log.identity)},
          {"generation", std::to_string(c.log.generation)},
          {"index", std::to_string(c.index)},
          {"stored_person", std::to_string(c.stored_person)},
          {"stored_time", c.stored_time},
          {"person", std::to_string(c.person)},
          {"time", c.time},
          {"epoch", std::to_string(epoch)}};
}

std::uint32_t ConflictEpoch(const std::optional<store::LogKey>& log, const store::RecordConflict& c) {
  return log ? log->epoch : c.log.epoch + 1;
}

std::optional<store::CauseValues> CapacityValues(int port, int terminal, const TerminalInfo& info) {
  if (info.capacity == 0) return std::nullopt;
  const double share = static_cast<double>(info.held) / static_cast<double>(info.capacity);
  if (share <= 0.8) return std::nullopt;
  return store::CauseValues{{"port", std::to_string(port)},
                            {"terminal", std::to_string(terminal)},
                            {"held", std::to_string(info.held)},
                            {"capacity", std::to_string(info.capacity)},
                            {"percent", std::to_string(static_cast<int>(share * 100))}};
}

SyncResult SyncTerminal(store::RecordStore& store, Machine& machine, HostControl& control, int port, int terminal,
                        const TerminalSyncOptions& options) {
  SyncResult result;
  result.port = port;
  result.terminal = terminal;
  if (options.cancel.Cancelled()) {
    result.cancelled = true;
    return result;
  }
  control.SelectPort(port);
  // What the terminal tells of its log only chooses where the read starts: when it cannot be
  // asked, the driver's download reads everything (and fails with its own message when the
  // terminal cannot be read either). What arrives is keyed by the read the control began.
  try {
    result.info = control.Info(terminal);
    if (result.info.Identified())
      result.log = ChooseLog(store.swipes(), control, result.info, port, terminal);
    result.start = ChooseStart(store, result.info, result.log.value_or(store::LogKey{}), options.all,
                               &result.read_all_because);
  } catch (const TerminalError& e) {
    result.info_error = MessageOf(e);
    result.info = TerminalInfo{};
    result.read_all_because = {"log-not-told", {}};
  }

  DownloadSession session(store, port, terminal);
  session.batch_records = options.batch_records;
  session.batch_interval = options.batch_interval;
  session.lock_attempts = options.lock_attempts;
  session.on_progress = options.on_progress;
  session.on_stored = options.on_stored;
  session.cancel = options.cancel;
  std::uint32_t reads_before = 0;
  std::optional<DownloadSession::Origin> began;  // the read this pass began
  std::uint32_t began_held = 0;                  // records held when it began
  // Records are keyed by the read the control actually began: its log and start, which differ
  // from what was asked when the terminal changed in between.
  session.SetPositioner([&] {
    const auto read = control.Progress(terminal);
    if (!read || read->reads == reads_before)
      throw HostError(Message::Join({Where(port, terminal), ": ", Message("no record read under way")}));
    DownloadSession::Origin origin;
    if (read->identity != 0) {
      // Where this session stores that log now, else the terminal's current epoch of it.
      const auto& now = session.log() ? session.log() : result.log;
      origin.log = now && now->identity == read->identity && now->generation == read->generation
                       ? *now
                       : CurrentLogAt(store.swipes(), read->identity, read->generation, port, terminal);
    }
    origin.index = read->start;
    began = origin;
    began_held = read->held;
    return origin;
  });
  bool first_read = true, lowered = false;

  std::uint32_t start = result.start;
  std::uint32_t identity = result.info.identity, generation = result.info.generation;
  // Each pass goes past one record more at least, so the passes are bounded by the records held.
  for (std::uint64_t pass = 0;; ++pass) {
    if (options.cancel.Cancelled()) {
      result.cancelled = true;
      break;
    }
    const auto before = control.Progress(terminal);
    reads_before = before ? before->reads : 0;
    {
      // The start holds for this one read and goes on every way out of it (a throw included),
      // so no later read of the terminal in this process starts there by mistake.
      struct ReadStart {
        HostControl& control;
        int terminal;
        bool set = false;
        ~ReadStart() {
          if (!set) return;
          try {
            control.SetReadStart(terminal, std::nullopt);
          } catch (...) {  // the control is gone: so is its start
          }
        }
      } scope{control, terminal};
      if (start > 0 || result.info.Identified()) {
        scope.set = true;
        control.SetReadStart(terminal, start, identity, generation);
      }
      began.reset();
      const std::size_t conflicts_before = session.conflicts().size();
      result.outcome = session.Run(machine);
      if (scope.set) {
        scope.set = false;
        control.SetReadStart(terminal, std::nullopt);  // a start the read did not take goes
      }
      if (first_read && began) {
        result.start = began->index;
        result.read_log = began->log;
        result.read_held = began_held;
        first_read = false;
      }
      // A conflict at the very first record of a read from k > 0: the terminal's log below k is
      // not the stored one either. The new epoch then begins at 0 and the log is read again from
      // there, so none of its records is taken for one stored before.
      if (!lowered && !session.store_error() && began && began->log && began->index > 0 &&
          session.conflicts().size() > conflicts_before && session.conflicts()[conflicts_before].index == began->index &&
          session.log() && session.log()->epoch != began->log->epoch) {
        lowered = true;
        store.swipes().LowerEpochStart(*session.log(), 0);
        result.log = session.log();
        start = 0;
        identity = session.log()->identity;
        generation = session.log()->generation;
        continue;
      }
    }
    if (session.store_error()) break;
    if (result.outcome.ok) break;
    // Stopped on purpose: the record the control had handed out was refused, not unconvertible.
    if (session.cancelled() || options.cancel.Cancelled()) {
      result.cancelled = true;
      break;
    }
    // Did the driver stop at a record the control had handed out (one it could not convert)?
    const auto read = control.Progress(terminal);
    if (!read || read->reads == reads_before || read->state != 0) break;
    if (read->next != read->start + session.last_run_records() + 1) break;
    const std::uint32_t index = read->next - 1;
    std::optional<RawRecord> raw;
    try {
      raw = control.RecordAt(terminal, read->identity ? read->generation : 0, index);
    } catch (const TerminalError& e) {
      result.terminal_error = MessageOf(e);
      break;
    }
    if (!raw) break;
    store::RejectedRecord rejected;
    rejected.port = port;
    rejected.terminal = terminal;
    if (read->identity)
      rejected.log = session.log() && session.log()->identity == read->identity &&
                             session.log()->generation == read->generation
                         ? *session.log()
                         : store::LogKey{read->identity, read->generation};
    rejected.index = index;
    rejected.person = raw->person;
    rejected.year = raw->year;
    rejected.month = raw->month;
    rejected.day = raw->day;
    rejected.hour = raw->hour;
    rejected.minute = raw->minute;
    rejected.reason = RejectionReason(*raw);
    rejected.first_seen = store::UtcNowText();
    if (store.AddRejected(rejected)) ++result.newly_quarantined;
    result.quarantined.push_back(std::move(rejected));
    start = index + 1;
    // The next pass reads on after it, in the same log (a version 1 terminal: identity 0).
    identity = read->identity;
    generation = read->identity ? read->generation : 0;
    if (pass > read->held + 1) break;
  }
  if (session.log()) result.log = session.log();
  result.conflicts = session.conflicts();
  result.read = session.read();
  result.delivered = session.stored();
  result.added = session.added();
  result.store_error = session.store_error();
  result.store_said = session.store_said();
  return result;
}

}  // namespace vanto::host
