#include "host/sync_run_record.h"
#include "host/said_values.h"

#include "host/db/civil_time.h"
#include "host/db/store_failure.h"

namespace vanto::host {

store::RunTerminal RunTerminalOf(const TerminalSync& row, const std::function<std::string(const TerminalSync&)>& cause_words) {
  store::RunTerminal t;
  t.port = row.port;
  t.terminal = row.terminal;
  t.outcome = row.ok ? "synced" : row.cause_code == "cancelled" ? "cancelled" : "failed";
  t.cause_code = row.ok ? "" : row.cause_code.empty() ? "host" : row.cause_code;
  // The values, worded by whoever reads the row; English words beside them for a reader of the
  // table itself (and a program of an earlier version).
  if (!row.ok) {
    t.cause_values = row.cause_values;
    if (cause_words) t.cause = cause_words(row);
  }
  t.delivered = static_cast<std::int64_t>(row.delivered);
  t.added = static_cast<std::int64_t>(row.added);
  t.quarantined = static_cast<std::int64_t>(row.quarantined);
  t.held = row.held;
  t.capacity = row.capacity;
  if (row.clock) {
    switch (row.clock->state) {
      case ClockState::kRead:
        t.clock = row.clock->set == ClockSet::kSet ? "set" : "read";
        t.clock_drift = row.clock->drift;
        break;
      case ClockState::kNoClock: t.clock = "none"; break;
      case ClockState::kInvalid: t.clock = row.clock->set == ClockSet::kSet ? "set" : "invalid"; break;
      case ClockState::kSilent:
      case ClockState::kPortFailed: break;  // not read
    }
  }
  return t;
}

SyncRunRecord::SyncRunRecord(const site::Site& site, const SyncSettings& settings) : settings_(settings) {
  std::string ports;
  for (const site::SitePort& port : site.ports) ports += (ports.empty() ? "" : ",") + std::to_string(port.number);
  try {
    store_ = settings.db->SyncRuns();
    // The run is its site's (a database that holds no site: a run of no site, as before), and
    // compares with its own site's last runs.
    previous_ = store_->LastByTerminal(settings.site_name);
    id_ = store_->Begin(store::UtcNowText(), settings.started_by, settings.who, ports, settings.site_name);
  } catch (const std::exception& e) {
    store_.reset();
    if (settings_.on_record_failure)
      settings_.on_record_failure({"record-start", WithError({}, e)});
  }
  try {
    if (settings_.on_run_begun) settings_.on_run_begun(id_);
  } catch (...) {  // the watcher's part: the sync goes on
  }
}

SyncRunRecord::~SyncRunRecord() = default;

void SyncRunRecord::Finish(const std::vector<TerminalSync>& rows) {
  if (!store_ || !id_) return;
  std::vector<store::RunTerminal> terminals;
  terminals.reserve(rows.size());
  for (const TerminalSync& row : rows) terminals.push_back(RunTerminalOf(row, settings_.recorded_cause));
  try {
    store_->Finish(*id_, store::UtcNowText(), terminals);
  } catch (const std::exception& e) {
    if (settings_.on_record_failure)
      settings_.on_record_failure({"record-end", WithError({}, e)});
  }
}

}  // namespace vanto::host
