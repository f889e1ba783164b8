#include "host/facade.h"

#include <algorithm>
#include <filesystem>

#include "host/control_settings.h"
#include "host/errors.h"
#include "host/said_values.h"
#include "host/db/record_store.h"
#include "terminal/control/settings.h"

namespace vanto::host {

namespace {
std::optional<std::string> Given(const site::Environment& env, const char* name) {
  if (!env) return std::nullopt;
  std::optional<std::string> value = env(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}
}  // namespace

std::optional<std::string> SiteDatabaseLocation(const site::Site& site) {
  if (!site.database || site.database->empty()) return std::nullopt;
  const std::string& text = *site.database;
  if (text.find("://") != std::string::npos || store::IsDatabaseUrl(text) || text.front() == '/') return text;
  return (std::filesystem::path(site.path).parent_path() / text).lexically_normal().string();
}

std::optional<ResolvedDatabase> ResolveDatabase(const std::optional<std::string>& option, const site::Site* site,
                                                const site::Environment& env) {
  if (option) return ResolvedDatabase{*option, DatabaseOrigin::kOption};
  if (auto db = Given(env, site::kDatabaseVariable)) return ResolvedDatabase{*db, DatabaseOrigin::kEnvironment};
  if (site)
    if (auto db = SiteDatabaseLocation(*site)) return ResolvedDatabase{*db, DatabaseOrigin::kSite};
  std::string home;
  if (auto data = Given(env, "XDG_DATA_HOME"))
    home = *data;
  else if (auto user = Given(env, "HOME"))
    home = *user + "/.local/share";
  else
    return std::nullopt;
  return ResolvedDatabase{home + "/vanto/vanto.db", DatabaseOrigin::kDefault};
}

void PrepareDatabaseFolder(const ResolvedDatabase& database) {
  if (database.origin != DatabaseOrigin::kDefault) return;
  std::error_code ec;  // the open that follows names the folder it cannot use
  std::filesystem::create_directories(std::filesystem::path(database.location).parent_path(), ec);
}

const char* DatabaseOriginName(DatabaseOrigin origin) {
  switch (origin) {
    case DatabaseOrigin::kOption: return "--db";
    case DatabaseOrigin::kEnvironment: return "$VANTO_DB";
    case DatabaseOrigin::kSite: return "site file";
    case DatabaseOrigin::kDefault: return "default";
  }
  return "default";
}

void PreferLargeRecordBatches(const site::Environment& env) {
  // The largest batch the protocol allows, unless the user set the control's batch himself.
  if (Given(env, terminal::control::kBatchVariable))
    PreferControlSettings({});
  else
    PreferControlSettings({{terminal::control::kBatchVariable, std::to_string(kLargestRecordBatch)}});
}

namespace {

// The report's counts, from its rows: one rule for a live sync and a recorded one.
void CountRows(SyncReport& report) {
  for (const SyncReportRow& row : report.terminals) {
    ++report.counts.terminals;
    report.counts.synced += row.outcome == "synced";
    report.counts.failed += row.outcome == "failed";
    report.counts.cancelled += row.outcome == "cancelled";
    report.counts.delivered += row.delivered;
    report.counts.added += row.added;
    report.counts.quarantined += row.quarantined;
  }
}

}  // namespace

SyncReport ReportOf(const std::vector<TerminalSync>& rows) {
  SyncReport report;
  for (const TerminalSync& r : rows) {
    SyncReportRow row;
    row.port = r.port;
    row.terminal = r.terminal;
    row.outcome = r.ok ? "synced" : r.cancelled ? "cancelled" : "failed";
    row.cause_code = r.ok ? std::string() : r.cause_code;
    row.cause_values = r.cause_values;
    row.delivered = static_cast<std::int64_t>(r.delivered);
    row.added = static_cast<std::int64_t>(r.added);
    row.quarantined = static_cast<std::int64_t>(r.quarantined);
    row.held = r.held;
    row.capacity = r.capacity;
    report.host_failed |= r.host_failed;
    report.terminals.push_back(std::move(row));
  }
  CountRows(report);
  return report;
}

SyncReport ReportOf(const store::SyncRun& run) {
  SyncReport report;
  report.run = run.id;
  for (const store::RunTerminal& t : run.terminals) {
    SyncReportRow row;
    row.port = t.port;
    row.terminal = t.terminal;
    row.outcome = t.outcome;
    row.cause_code = t.cause_code;
    row.cause_values = t.cause_values;
    row.delivered = t.delivered;
    row.added = t.added;
    row.quarantined = t.quarantined;
    row.held = t.held;
    row.capacity = t.capacity;
    report.host_failed |= t.cause_code == "host";
    report.terminals.push_back(std::move(row));
  }
  CountRows(report);
  return report;
}

nlohmann::ordered_json SyncRowJson(const SyncReportRow& row) {
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  for (const auto& [name, value] : row.cause_values)
    if (!IsSaidValue(name)) values[name] = value;
  return {{"port", row.port},
          {"terminal", row.terminal ? nlohmann::ordered_json(row.terminal) : nlohmann::ordered_json(nullptr)},
          {"outcome", row.outcome},
          {"cause_code", row.cause_code.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(row.cause_code)},
          {"cause_values", values},
          {"delivered", row.delivered},
          {"added", row.added},
          {"new", row.added},
          {"quarantined", row.quarantined},
          {"held", row.held},
          {"capacity", row.capacity}};
}

nlohmann::ordered_json SyncCountsJson(const SyncCounts& c) {
  return {{"terminals", c.terminals}, {"synced", c.synced},       {"failed", c.failed},
          {"cancelled", c.cancelled}, {"delivered", c.delivered}, {"added", c.added},
          {"new", c.added},           {"quarantined", c.quarantined}};
}

std::string SyncScope(std::optional<int> port) { return port ? "port " + std::to_string(*port) : "site"; }

std::string SyncDoneDetails(const std::string& what, const std::vector<TerminalSync>& rows) {
  std::size_t synced = 0, added = 0;
  for (const TerminalSync& r : rows) synced += r.ok, added += r.added;
  return what + ": " + std::to_string(synced) + "/" + std::to_string(rows.size()) + " terminals synced, " +
         std::to_string(added) + " new records";
}

namespace {
// The outcome's row; a failure to write it is told, the sync having happened.
void AuditDone(const AuditWriter& audit, const ProblemSink& audit_failed, const std::string& what,
               const std::vector<TerminalSync>& rows) {
  if (!audit) return;
  try {
    audit("sync.done", SyncDoneDetails(what, rows));
  } catch (const std::exception& e) {
    if (audit_failed) audit_failed(e.what());
  }
}
}  // namespace

std::vector<TerminalSync> RunSyncNow(const site::Site& site, const SyncSettings& settings, const AuditWriter& audit,
                                     const ProblemSink& audit_failed) {
  const std::string what = SyncScope(std::nullopt);
  if (audit) audit("sync.start", what);
  std::vector<TerminalSync> rows = SyncSite(site, settings);
  AuditDone(audit, audit_failed, what, rows);
  return rows;
}

SyncJobs::Start StartSync(SyncJobs& jobs, store::RunStarter by, const std::string& who, std::optional<int> port,
                          const AuditWriter& audit, const ProblemSink& audit_failed, SyncJobs::Done done,
                          SyncJobs::Begun begun) {
  const std::string what = SyncScope(port);
  if (port && !jobs.site().Port(*port)) return SyncJobs::Start::NoSuchPort;
  if (audit) audit("sync.start", what);
  SyncJobs::Start started =
      jobs.Begin(by, who, port,
                 [audit, audit_failed, what, done = std::move(done)](const std::vector<TerminalSync>& rows) {
                   AuditDone(audit, audit_failed, what, rows);
                   if (done) done(rows);
                 },
                 std::move(begun));
  if (started != SyncJobs::Start::Started && audit) {
    // Busy with no sync running: an action on terminals holds a port of it.
    const char* why = started == SyncJobs::Start::Busy     ? (jobs.Snapshot().running ? ": a sync is running"
                                                                                      : ": a port is busy")
                      : started == SyncJobs::Start::Stopping ? ": stopping"
                                                             : ": no such port";
    try {
      audit("sync.refused", what + why);
    } catch (const std::exception& e) {
      if (audit_failed) audit_failed(e.what());
    }
  }
  return started;
}

std::string TerminalsText(const std::vector<TerminalAt>& at) {
  std::string where;
  for (const TerminalAt& t : at)
    where += (where.empty() ? "" : ", ") + std::string("port ") + std::to_string(t.port) + " terminal " +
             std::to_string(t.terminal);
  return where;
}

TerminalActionResult RunTerminalAction(SyncJobs& jobs, const std::string& action, const std::vector<TerminalAt>& at,
                                       std::chrono::steady_clock::time_point until, const AuditWriter& audit,
                                       const std::function<void(const EnrolmentAuditHook& audit)>& work,
                                       const ProblemSink& problem) {
  std::vector<int> ports;
  for (const TerminalAt& t : at)
    if (std::find(ports.begin(), ports.end(), t.port) == ports.end()) ports.push_back(t.port);
  std::unique_lock hold = jobs.HoldPorts(ports, until);
  if (!hold.owns_lock()) {
    if (audit) audit(action + ".refused", TerminalsText(at) + ": the port is busy");
    return {TerminalActionResult::Status::kBusy, {}};
  }
  const EnrolmentAuditHook hook = [&audit](const EnrolmentAudit& a) {
    if (audit) audit(a.action, a.details);
  };
  TerminalActionResult result;
  try {
    RunReleasingPorts(at, [&] { work(hook); }, problem);
  } catch (const std::exception& e) {
    result = {TerminalActionResult::Status::kFailed, MessageOf(e)};
  } catch (...) {
    result = {TerminalActionResult::Status::kFailed, Message("an unexpected failure")};
  }
  return result;  // the hold ends here, after the driver's ports are released
}

}  // namespace vanto::host
