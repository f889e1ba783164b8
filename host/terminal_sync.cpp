#include "host/terminal_sync.h"

#include "host/report/dates.h"
#include "host/text/messages.h"

#include <chrono>

namespace vanto::host {
namespace {

// Where a read of this terminal starts, and why it reads everything when it does.
std::uint32_t ChooseStart(const store::RecordStore& store, const TerminalInfo& info, bool all, std::string* why) {
  if (!info.Identified()) {
    *why = Tr("the terminal tells no identity (protocol version 1)");
    return 0;
  }
  if (all) {
    *why = "--all";
    return 0;
  }
  const store::LogCoverage held = store.Coverage({info.identity, info.generation});
  if (held.count == 0) {
    *why = Tr("the database holds no record of this terminal's log yet");
    return 0;
  }
  if (!held.Contiguous()) {
    *why = TrNFill("the database misses {0} of the first {1} record of this log",
                   "the database misses {0} of the first {1} records of this log", static_cast<unsigned long>(held.next),
                  {std::to_string(held.next - held.count), std::to_string(held.next)});
    return 0;
  }
  if (held.next > info.held) {
    *why = TrNFill("the terminal holds {0} record, fewer than the {1} stored",
                   "the terminal holds {0} records, fewer than the {1} stored", static_cast<unsigned long>(info.held),
                  {std::to_string(info.held), std::to_string(held.next)});
    return 0;
  }
  return static_cast<std::uint32_t>(held.next);
}

}  // namespace

std::string Where(int port, int terminal) {
  return TrFill("terminal {0} on port {1}", {std::to_string(terminal), std::to_string(port)});
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

std::optional<std::string> CapacityWarning(int port, int terminal, const TerminalInfo& info) {
  if (info.capacity == 0) return std::nullopt;
  const double share = static_cast<double>(info.held) / static_cast<double>(info.capacity);
  if (share <= 0.8) return std::nullopt;
  return TrNFill("{0} holds {1} of {2} record ({3} %): clear it after a complete sync",
                 "{0} holds {1} of {2} records ({3} %): clear it after a complete sync",
                 static_cast<unsigned long>(info.capacity),
                {Where(port, terminal), std::to_string(info.held), std::to_string(info.capacity),
                 std::to_string(static_cast<int>(share * 100))});
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
    result.start = ChooseStart(store, result.info, options.all, &result.read_all_because);
  } catch (const TerminalError& e) {
    result.info_error = e.what();
    result.info = TerminalInfo{};
    result.read_all_because = Tr("the terminal did not tell its log");
  }

  DownloadSession session(store, port, terminal, options.progress);
  session.cursor_codes = options.cursor_codes;
  session.batch_records = options.batch_records;
  session.batch_interval = options.batch_interval;
  session.on_progress = options.on_progress;
  session.on_stored = options.on_stored;
  session.cancel = options.cancel;
  std::uint32_t reads_before = 0;
  // Records are keyed by the read the control actually began: its log and start, which differ
  // from what was asked when the terminal changed in between.
  session.SetPositioner([&] {
    const auto read = control.Progress(terminal);
    if (!read || read->reads == reads_before) throw HostError(Where(port, terminal) + ": " + Tr("no record read under way"));
    DownloadSession::Origin origin;
    if (read->identity != 0) origin.log = store::LogKey{read->identity, read->generation};
    origin.index = read->start;
    return origin;
  });

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
      result.outcome = session.Run(machine);
      if (scope.set) {
        scope.set = false;
        control.SetReadStart(terminal, std::nullopt);  // a start the read did not take goes
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
      result.terminal_error = e.what();
      break;
    }
    if (!raw) break;
    store::RejectedRecord rejected;
    rejected.port = port;
    rejected.terminal = terminal;
    if (read->identity) rejected.log = store::LogKey{read->identity, read->generation};
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
  result.delivered = session.stored();
  result.added = session.added();
  result.store_error = session.store_error();
  return result;
}

}  // namespace vanto::host
