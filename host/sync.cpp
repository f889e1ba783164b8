#include "host/sync.h"

#include "host/terminal_sync.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "host/control_status.h"
#include "host/download.h"
#include "host/machine.h"
#include "host/text/messages.h"
#include "host/store/record_store.h"

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

void SyncPort(const site::SitePort& port, const SyncSettings& options,
              std::vector<TerminalSync>& rows) {
  auto fail_all = [&](const std::vector<int>& terminals, const std::string& cause, bool host) {
    for (int t : terminals) {
      TerminalSync row;
      row.port = port.number, row.terminal = t, row.cause = cause, row.host_failed = host;
      rows.push_back(row);
    }
  };
  std::vector<int> terminals = port.terminals;
  auto mark_cancelled = [&](const std::vector<int>& rest) {
    for (int t : rest) {
      TerminalSync row;
      row.port = port.number, row.terminal = t, row.cancelled = true;
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
    struct Release {
      HostControl& control;
      int port;
      ~Release() {
        try {
          control.ReleasePort(port);
        } catch (...) {  // the control is gone: so is its hold on the port
        }
      }
    } release{control, port.number};
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
        row.cause = cause.PortUnusable() ? DescribeCause(port.number, cause)
                                         : TrFill("no terminal answered ({0}-{1})", {std::to_string(port.terminals.front()),
                                                                                      std::to_string(port.terminals.back())});
        rows.push_back(row);
        return;
      }
    }
    store::OpenOptions open;
    open.create = true;
    open.lock_timeout = std::chrono::milliseconds(static_cast<long long>(options.lock_timeout * 1000));
    store::RecordStore store = store::RecordStore::Open(options.database, open);
    for (std::size_t i = 0; i < terminals.size(); ++i) {
      const int terminal = terminals[i];
      if (options.cancel.Cancelled()) {  // between terminals: the rest are not reached
        mark_cancelled({terminals.begin() + static_cast<long>(i), terminals.end()});
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
      sync_options.on_progress = [&](long count, double rate) {
        PortProgress reading = step;
        reading.stage = PortProgress::Stage::kReading;
        reading.records = count, reading.rate = rate;
        show(reading);
      };
      SyncResult sync = SyncTerminal(store, machine, control, port.number, terminal, sync_options);
      row.seconds = std::chrono::duration<double>(Clock::now() - started).count();
      row.delivered = sync.delivered;
      row.added = sync.added;
      row.quarantined = sync.quarantined.size();
      row.message = sync.outcome.message;
      if (auto warning = CapacityWarning(port.number, terminal, sync.info)) row.warning = *warning;
      row.cancelled = sync.cancelled;
      if (sync.store_error) {
        row.host_failed = true;
        row.cause = TrFill("{0}; {1} new stored", {*sync.store_error, std::to_string(row.added)});
      } else if (sync.terminal_error) {
        row.cause = *sync.terminal_error;
      } else if (sync.cancelled) {
        // Not a failure of the terminal: what it delivered is stored, the next sync reads on.
      } else if (!sync.outcome.ok) {
        PortCause cause = CauseOf(&*status, port.number);
        row.cause = TrNFill("{0}; {1} record delivered, {2} new stored", "{0}; {1} records delivered, {2} new stored",
                            static_cast<unsigned long>(row.delivered),
                           {cause.Failed() ? DescribeCause(port.number, cause) : Tr("the download failed"),
                            std::to_string(row.delivered), std::to_string(row.added)});
        if (cause.PortUnusable()) {  // the other terminals of this port cannot be reached either
          rows.push_back(row);
          fail_all({terminals.begin() + static_cast<long>(i) + 1, terminals.end()}, DescribeCause(port.number, cause),
                   false);
          return;
        }
      } else if (sync.newly_quarantined > 0 || !sync.quarantined.empty()) {
        row.cause = TrNFill("{0} record quarantined ('vanto rejected' lists it)",
                            "{0} records quarantined ('vanto rejected' lists them)",
                            static_cast<unsigned long>(row.quarantined), {std::to_string(row.quarantined)});
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
    fail_all(rest, e.what(), true);
  }
}

}  // namespace

std::vector<TerminalSync> SyncSite(const site::Site& site, const SyncSettings& options) {
  std::vector<std::vector<TerminalSync>> per_port(site.ports.size());
  std::vector<std::thread> threads;
  threads.reserve(site.ports.size());
  for (std::size_t i = 0; i < site.ports.size(); ++i)
    threads.emplace_back([&, i] {
      // The thread's edge: nothing escapes it (an escape would end the process).
      try {
        SyncPort(site.ports[i], options, per_port[i]);
      } catch (...) {
        TerminalSync row;
        row.port = site.ports[i].number;
        row.host_failed = true;
        row.cause = Tr("the host failed on this port's thread");
        per_port[i].push_back(row);
      }
    });
  for (std::thread& t : threads) t.join();
  std::vector<TerminalSync> rows;
  for (auto& port_rows : per_port) rows.insert(rows.end(), port_rows.begin(), port_rows.end());
  std::stable_sort(rows.begin(), rows.end(), [](const TerminalSync& a, const TerminalSync& b) {
    return a.port != b.port ? a.port < b.port : a.terminal < b.terminal;
  });
  return rows;
}

}  // namespace vanto::host
