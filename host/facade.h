// The host's facade: what every front end (the command line, the console, the API) does the same
// way, written once. A front end parses, calls these and presents what they return; it repeats
// none of their policy:
//
//   - where the database is (ResolveDatabase): one order for every command and the server;
//   - the record batch a download asks for (PreferLargeRecordBatches), applied once per process;
//   - a sync started now (RunSyncNow on this thread, StartSync in the background): its audit
//     (the intent before it, the outcome after it, a refusal), its summary, and one result shape
//     (SyncReport) that `vanto sync --json` and the API both serialise (SyncReportJson);
//   - an action on terminals (RunTerminalAction): hold their ports against syncs and other
//     actions, audit a refusal, run on a thread of its own that releases the driver's ports,
//     release the hold.
//
// The facade speaks no words: refusals and failures come back as codes and values, and each
// front end puts them into its user's language.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/enrolment.h"
#include "host/site/site.h"
#include "host/sync.h"
#include "host/sync_jobs.h"
#include "host/db/sync_runs.h"

namespace vanto::host {

// ---- Where the database is ----

// Which rule named the database.
enum class DatabaseOrigin { kOption, kEnvironment, kSite, kDefault };

struct ResolvedDatabase {
  std::string location;  // a file's path or a PostgreSQL location, as the user gave it
  DatabaseOrigin origin = DatabaseOrigin::kDefault;
};

// The database of a command or a server, in the one order: `option` (--db), else $VANTO_DB in
// `env` when not empty, else the database `site` names (a file relative to the site file's
// folder, a URL or an absolute path as it is), else $XDG_DATA_HOME/vanto/vanto.db, else
// $HOME/.local/share/vanto/vanto.db. nullopt when no rule gives one (no HOME): the front end
// says so.
std::optional<ResolvedDatabase> ResolveDatabase(const std::optional<std::string>& option, const site::Site* site,
                                                const site::Environment& env);

// The database `site` names, resolved against the site file's folder; nullopt when it names none.
std::optional<std::string> SiteDatabaseLocation(const site::Site& site);

// Creates the folder of a default database (never one the user named); a failure is left for
// the database's own open to report.
void PrepareDatabaseFolder(const ResolvedDatabase& database);

// Where the database name comes from, as `vanto site show` names its rule ("--db", "$VANTO_DB",
// "site file", "default").
const char* DatabaseOriginName(DatabaseOrigin origin);

// ---- Record batches ----

// The record batch a download asks for: the largest one a request can name.
inline constexpr int kLargestRecordBatch = 255;
// Downloads and syncs read in the largest batches (fewest exchanges) unless the user set the
// batch in `env` (the control's own override) or the site set it. A front end calls it once,
// when it starts; settings of a site used later stay above it.
void PreferLargeRecordBatches(const site::Environment& env);

// ---- The audit trail ----

// Writes one row of the audit trail under the name of whoever asks (a signed-in user, an API
// token, the operating-system user), with its origin: `action` ("sync.start", ...) and its
// details. Throws when the row cannot be written.
using AuditWriter = std::function<void(const std::string& action, const std::string& details)>;
// Where a failure the caller need not stop for is told (a log line, a warning); may be empty.
using ProblemSink = std::function<void(const std::string& problem)>;

// ---- A sync's result, in one shape ----

struct SyncCounts {
  std::int64_t terminals = 0, synced = 0, failed = 0, cancelled = 0, delivered = 0, added = 0, quarantined = 0;
};

struct SyncReportRow {
  int port = 0;
  int terminal = 0;       // 0: the port itself failed before any terminal was reached
  std::string outcome;    // "synced", "failed", "cancelled"
  std::string cause_code; // empty when synced (host/sync.h names the codes)
  store::CauseValues cause_values;
  std::int64_t delivered = 0, added = 0, quarantined = 0;
  std::int64_t held = 0, capacity = 0;  // records on the terminal and its capacity (0: not told)
};

// One sync, finished or running: its record's id (when recorded), its terminals and its counts.
struct SyncReport {
  std::optional<std::int64_t> run;
  std::vector<SyncReportRow> terminals;
  SyncCounts counts;
  bool host_failed = false;  // the host could not do its part (database, components)
};

SyncReport ReportOf(const std::vector<TerminalSync>& rows);
SyncReport ReportOf(const store::SyncRun& run);

// The fields every front end writes for a terminal of a sync. The number of new records is
// written twice, as "added" (the name to use) and as "new" (the name `vanto sync --json` has
// always had); both stay. "cause_code" is null when synced; "cause_values" are its values.
nlohmann::ordered_json SyncRowJson(const SyncReportRow& row);
// The counts: terminals, synced, failed, cancelled, delivered, added (also as "new"), quarantined.
nlohmann::ordered_json SyncCountsJson(const SyncCounts& counts);

// The audit's details of a sync's end: "<what>: S/T terminals synced, N new records".
std::string SyncDoneDetails(const std::string& what, const std::vector<TerminalSync>& rows);
// What a sync covers, as its audit rows name it: "site" or "port N".
std::string SyncScope(std::optional<int> port);

// ---- A sync started now ----

// A sync run on the caller's thread (the command line): the intent audited before it (when
// `audit` is given: the timer's runs are only recorded), the outcome after it. A failure to
// write the outcome is told to `audit_failed` (the sync has happened); a failure to write the
// intent throws, and nothing is synced.
std::vector<TerminalSync> RunSyncNow(const site::Site& site, const SyncSettings& settings, const AuditWriter& audit,
                                     const ProblemSink& audit_failed);

// A sync started in the background (the console, the API): audited as RunSyncNow's, and its
// refusal (a sync running, a port an action holds, the server stopping) as "sync.refused".
// `done` and `begun` are SyncJobs::Begin's. Throws when the intent cannot be audited.
SyncJobs::Start StartSync(SyncJobs& jobs, store::RunStarter by, const std::string& who, std::optional<int> port,
                          const AuditWriter& audit, const ProblemSink& audit_failed, SyncJobs::Done done = {},
                          SyncJobs::Begun begun = {});

// ---- An action on terminals ----

struct TerminalActionResult {
  enum class Status {
    kDone,    // the action ran to its end (its own results say what it did on each terminal)
    kBusy,    // a sync or another action held a port until the wait ended: nothing was done
    kFailed,  // the action threw: `failure` says what failed
  };
  Status status = Status::kDone;
  Message failure;
};

// Runs `work` on the terminals `at` for a long-running front end: holds their ports
// (SyncJobs::HoldPorts, so no sync starts on them meanwhile) until `until`, audits a refusal as
// "<action>.refused", runs `work` on a thread of its own with an enrolment audit hook that writes
// through `audit` (the intent and outcome of each step), releases the driver's ports
// (RunReleasingPorts; a failure to release is told to `problem`), then releases the hold.
TerminalActionResult RunTerminalAction(SyncJobs& jobs, const std::string& action, const std::vector<TerminalAt>& at,
                                       std::chrono::steady_clock::time_point until, const AuditWriter& audit,
                                       const std::function<void(const EnrolmentAuditHook& audit)>& work,
                                       const ProblemSink& problem = {});

// "port P terminal T, ..." as the audit trail names the terminals of an action.
std::string TerminalsText(const std::vector<TerminalAt>& at);

}  // namespace vanto::host
