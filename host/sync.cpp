#include "host/sync.h"
#include "host/said_values.h"

#include "host/terminal_sync.h"
#include "host/sync_run_record.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "host/control_status.h"
#include "host/download.h"
#include "host/machine.h"
#include "host/sync_note.h"
#include "host/db/record_store.h"
#include "host/db/sites.h"

#include <nlohmann/json.hpp>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vanto::host {
namespace {

using Clock = std::chrono::steady_clock;

// The cause of a failure on `port`, from the control's status of that port in this process.
PortCause CauseOf(ControlStatus* status, int port) {
  if (!status) return {};
  try {
    return status->Status(port);
  } catch (const HostError&) {
    return {};
  }
}

// The terminals of a scanned port's range that an earlier sync reached but this scan did not find.
std::vector<int> SilentSinceBefore(const site::SitePort& port, const std::vector<int>& found,
                                   const std::map<std::pair<int, int>, store::LastSync>& previous) {
  std::vector<int> silent;
  for (const auto& [where, last] : previous) {
    const auto [number, terminal] = where;
    if (number != port.number || terminal < port.terminals.front() || terminal > port.terminals.back()) continue;
    if (std::find(found.begin(), found.end(), terminal) == found.end()) silent.push_back(terminal);
  }
  return silent;
}

void SyncPort(const site::Site& site, const site::SitePort& port, const SyncSettings& options,
              const std::map<std::pair<int, int>, store::LastSync>& previous, std::atomic<bool>& store_failed,
              std::vector<TerminalSync>& rows) {
  auto fail_all = [&](const std::vector<int>& terminals, const store::CauseValues& cause, bool host, const std::string& code) {
    for (int t : terminals) {
      TerminalSync row;
      row.port = port.number, row.terminal = t, row.cause_values = cause, row.host_failed = host, row.cause_code = code;
      rows.push_back(row);
    }
  };
  std::vector<int> terminals = port.terminals;
  auto mark_cancelled = [&](const std::vector<int>& rest) {
    for (int t : rest) {
      TerminalSync row;
      row.port = port.number, row.terminal = t, row.cancelled = true, row.cause_code = "cancelled";
      rows.push_back(row);
    }
  };
  auto show = [&](const PortProgress& progress) {
    if (options.on_progress) options.on_progress(port.number, progress);
  };
  try {
    Machine machine = Machine::Create();  // this thread's apartment and driver object
    std::optional<ControlStatus> status;
    status.emplace(ControlStatus::Create());
    HostControl control = HostControl::Create();  // identity, log and read start of each terminal
    // The port is released when the port's work ends, not when the thread does.
    PortRelease release(control, port.number);
    if (port.scan) {
      PortProgress scanning;
      scanning.stage = PortProgress::Stage::kScanning;
      scanning.first = terminals.front(), scanning.last = terminals.back();
      show(scanning);
      std::vector<FoundTerminal> found;
      Outcome outcome{true, ""};
      if (options.cancel.Cancelled()) {  // no terminal looked for yet
        mark_cancelled({0});
        return;
      }
      // Without a token that can be cancelled, one scan of the range; with one, a terminal at a
      // time, so a cancellation waits for one terminal's answer (or time-out) at most.
      if (!options.cancel.Cancellable()) {
        outcome = machine.Scan({port.number, port.number}, {terminals.front(), terminals.back()}, &found);
      } else {
        for (int t = terminals.front(); t <= terminals.back(); ++t) {
          if (options.cancel.Cancelled()) {
            std::vector<int> rest;
            for (const FoundTerminal& f : found) rest.push_back(f.terminal);
            mark_cancelled(rest.empty() ? std::vector<int>{0} : rest);
            return;
          }
          outcome = machine.Scan({port.number, port.number}, {t, t}, &found);
          if (!outcome.ok) break;
        }
      }
      terminals.clear();
      for (const FoundTerminal& f : found) terminals.push_back(f.terminal);
      if (terminals.empty()) {
        PortCause cause = CauseOf(&*status, port.number);
        TerminalSync row;
        row.port = port.number;
        row.message = outcome.message;
        row.cause_code = cause.PortUnusable() ? cause.fault : "no-terminal";
        row.cause_values = cause.PortUnusable() ? PortFaultValues(port.number, cause)
                                                : store::CauseValues{{"first", std::to_string(port.terminals.front())},
                                                                     {"last", std::to_string(port.terminals.back())}};
        rows.push_back(row);
        return;
      }
      // A terminal that answered an earlier sync and is silent now is a failure, as it would be
      // in a list of terminals: dropping it from the table would hide it.
      for (int t : SilentSinceBefore(port, terminals, previous)) {
        TerminalSync row;
        row.port = port.number, row.terminal = t, row.cause_code = "terminal";
        row.cause_values = {{"reason", "silent"}};
        rows.push_back(row);
      }
    }
    store::RecordStore store(options.db->Swipes(), options.site_name);
    for (std::size_t i = 0; i < terminals.size(); ++i) {
      const int terminal = terminals[i];
      if (options.cancel.Cancelled()) {  // between terminals: the rest are not reached
        mark_cancelled({terminals.begin() + static_cast<long>(i), terminals.end()});
        return;
      }
      if (store_failed) {  // nothing read could be stored: the rest are not read
        fail_all({terminals.begin() + static_cast<long>(i), terminals.end()},
                 {{"reason", "other-terminal"}}, true, "store");
        return;
      }
      PortProgress step;
      step.stage = PortProgress::Stage::kStarting;
      step.terminal = terminal, step.index = i + 1, step.count = terminals.size();
      show(step);
      TerminalSync row;
      row.port = port.number, row.terminal = terminal;
      const Clock::time_point started = Clock::now();
      TerminalSyncOptions sync_options;
      sync_options.all = options.all;
      sync_options.batch_records = options.batch_records;
      sync_options.cancel = options.cancel;
      PlausibilityCount plausibility(
          site.clock, options.clock.zone.WallAt(options.clock.now ? options.clock.now() : std::chrono::system_clock::now()));
      sync_options.on_stored = [&plausibility](const std::vector<store::Delivery::Keyed>& batch) {
        for (const store::Delivery::Keyed& k : batch) plausibility.Add(WallOfDate(k.swipe.time));
      };
      sync_options.on_progress = [&](const DownloadProgress& p) {
        if (p.done) return;  // the port's next stage follows
        PortProgress reading = step;
        reading.stage = PortProgress::Stage::kReading;
        reading.records = p.records, reading.rate = p.rate;
        show(reading);
      };
      SyncResult sync = SyncTerminal(store, machine, control, port.number, terminal, sync_options);
      row.seconds = std::chrono::duration<double>(Clock::now() - started).count();
      row.delivered = sync.delivered;
      row.added = sync.added;
      row.quarantined = sync.quarantined.size();
      row.implausible = plausibility.implausible();
      // Every sync reads the clock of a terminal that has one (its drift is recorded with the run
      // and shown on the console's dashboard), and sets it where the site says so.
      if (!sync.cancelled && sync.outcome.ok) {
        ClockOptions clock = options.clock;
        clock.set = false;
        clock.set_when_drift_above = site.clock.set_when_drift_above;
        std::optional<int> version;
        if (!sync.info_error) version = sync.info.version;
        row.clock = ClockOfTerminal(control, port.number, terminal, clock, version);
      }
      row.message = sync.outcome.message;
      row.log = sync.log;
      row.conflicts = sync.conflicts;
      for (const store::RecordConflict& c : sync.conflicts)
        row.details.push_back({"conflict", ConflictValues(c, ConflictEpoch(sync.log, c))});
      if (auto full = CapacityValues(port.number, terminal, sync.info)) row.warnings.push_back({"nearly-full", *full});
      row.held = sync.info.held, row.capacity = sync.info.capacity;
      row.cancelled = sync.cancelled;
      if (sync.store_error) {
        row.host_failed = true;
        row.cause_code = "store";
        store_failed = true;
        AddErrorValue(row.cause_values, "error", sync.store_said ? *sync.store_said : Message::Verbatim(*sync.store_error));
        row.cause_values.emplace_back("read", std::to_string(sync.read));
        row.cause_values.emplace_back("delivered", std::to_string(sync.delivered));
      } else if (sync.terminal_error) {
        row.cause_code = "terminal";
        AddErrorValue(row.cause_values, "error", *sync.terminal_error);
      } else if (sync.cancelled) {
        row.cause_code = "cancelled";
        // Not a failure of the terminal: what it delivered is stored, the next sync reads on.
      } else if (!sync.outcome.ok) {
        PortCause cause = CauseOf(&*status, port.number);
        row.cause_code = cause.Failed() ? cause.fault : "download";
        if (cause.Failed()) row.cause_values = PortFaultValues(port.number, cause);
        row.cause_values.emplace_back("delivered", std::to_string(row.delivered));
        row.cause_values.emplace_back("added", std::to_string(row.added));
        if (cause.PortUnusable()) {  // the other terminals of this port cannot be reached either
          rows.push_back(row);
          fail_all({terminals.begin() + static_cast<long>(i) + 1, terminals.end()}, PortFaultValues(port.number, cause),
                   false, cause.fault);
          return;
        }
      } else if (!sync.conflicts.empty()) {
        row.cause_code = "conflict";
        row.cause_values = {{"epoch", std::to_string(sync.log ? sync.log->epoch : 0)}};
      } else if (sync.newly_quarantined > 0 || !sync.quarantined.empty()) {
        row.cause_code = "quarantined";
        row.cause_values = {{"count", std::to_string(row.quarantined)}};
      } else {
        row.ok = true;
      }
      rows.push_back(row);
    }
    PortProgress done;
    done.stage = PortProgress::Stage::kDone;
    show(done);
  } catch (const std::exception& e) {
    // The host's part failed on this thread (components, database): the rest of the port's
    // terminals are named with the cause.
    std::vector<int> rest;
    for (int t : terminals) {
      bool done = false;
      for (const TerminalSync& r : rows) done |= r.terminal == t;
      if (!done) rest.push_back(t);
    }
    if (rest.empty()) rest.push_back(0);
    fail_all(rest, WithError({}, e), true, "host");
  }
}

// One identity answering at two places in one sync: a cloned identity. Where that sync found
// conflicts the rows say so (exit 1); otherwise each log is in its own epoch already and it is a
// warning.
void MarkClones(std::vector<TerminalSync>& rows) {
  for (TerminalSync& row : rows) {
    if (!row.log || row.host_failed || row.cancelled) continue;
    std::vector<const TerminalSync*> others;
    for (const TerminalSync& other : rows)
      if (&other != &row && other.log && other.log->identity == row.log->identity &&
          (other.port != row.port || other.terminal != row.terminal))
        others.push_back(&other);
    if (others.empty()) continue;
    bool conflicts = !row.conflicts.empty();
    std::string elsewhere;  // "port/terminal" each, as a program reads them
    for (const TerminalSync* other : others) {
      conflicts |= !other->conflicts.empty();
      elsewhere += (elsewhere.empty() ? "" : ",") + std::to_string(other->port) + "/" + std::to_string(other->terminal);
    }
    if (conflicts) {
      row.clone = true;
      row.ok = false;
      if (row.cause_code.empty()) row.cause_code = "clone";
      row.cause_values.emplace_back("clone_serial", std::to_string(row.log->identity));
      row.cause_values.emplace_back("clone_elsewhere", elsewhere);
    } else {
      row.warnings.push_back({"clone-elsewhere", {{"serial", std::to_string(row.log->identity)}, {"elsewhere", elsewhere}}});
    }
  }
}


// This host's name, as the site's row records who synced it last.
std::string ThisHostName() {
#ifdef _WIN32
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "";
  return std::string(name, size);
#else
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
#endif
}

// The site's row: when it synced, and the settings it synced with (for a view over every site
// and other hosts). A failure to record them loses no swipe: it is told like the run's record.
void RecordSiteSettings(const site::Site& site, const SyncSettings& options) {
  if (options.site_name.empty()) return;
  nlohmann::ordered_json settings;
  nlohmann::ordered_json ports = nlohmann::ordered_json::array();
  for (const site::SitePort& port : site.ports)
    ports.push_back(nlohmann::ordered_json{{"number", port.number},
                                           {"device", port.device},
                                           {"terminals", port.terminals},
                                           {"scan", port.scan},
                                           {"in", port.in_terminals},
                                           {"out", port.out_terminals},
                                           {"not_collected", port.not_collected}});
  settings["ports"] = std::move(ports);
  settings["timezone"] = site.timezone.value_or("");
  settings["day_starts"] = site.day_starts;
  settings["late_after"] = site.late_after.value_or("");
  settings["stale_after"] = site.stale_after;
  settings["pending_limit"] = site.pending_limit;
  try {
    auto tables = options.db->Tables(false);
    store::RecordSiteSync(*tables, options.site_name, site.timezone.value_or(""), settings.dump(), store::UtcNowText(),
                          ThisHostName());
  } catch (const std::exception& e) {
    if (!options.on_record_failure) return;
    try {
      options.on_record_failure({"record-end", WithError({}, e)});
    } catch (...) {
    }
  }
}

}  // namespace

std::vector<TerminalSync> SyncSite(const site::Site& site, const SyncSettings& options) {
  if (!options.db) throw std::invalid_argument("SyncSite: no database handle");
  SyncRunRecord record(site, options);
  std::vector<std::vector<TerminalSync>> per_port(site.ports.size());
  std::atomic<bool> store_failed{false};
  std::vector<std::thread> threads;
  threads.reserve(site.ports.size());
  for (std::size_t i = 0; i < site.ports.size(); ++i)
    threads.emplace_back([&, i] {
      // The thread's edge: nothing escapes it (an escape would end the process).
      try {
        SyncPort(site, site.ports[i], options, record.previous(), store_failed, per_port[i]);
      } catch (...) {
        TerminalSync row;
        row.port = site.ports[i].number;
        row.host_failed = true;
        row.cause_code = "host";
        row.cause_values = {{"reason", "port-thread"}};
        per_port[i].push_back(row);
      }
    });
  for (std::thread& t : threads) t.join();
  std::vector<TerminalSync> rows;
  for (auto& port_rows : per_port) rows.insert(rows.end(), port_rows.begin(), port_rows.end());
  std::stable_sort(rows.begin(), rows.end(), [](const TerminalSync& a, const TerminalSync& b) {
    return a.port != b.port ? a.port < b.port : a.terminal < b.terminal;
  });
  MarkClones(rows);
  record.Finish(rows);
  RecordSiteSettings(site, options);
  return rows;
}

}  // namespace vanto::host
