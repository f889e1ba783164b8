#include "host/db/sync_runs.h"

#include <sqlite3.h>

#include <algorithm>

#include "host/db/record_store.h"
#include "host/db/sqlite_store.h"
#include "host/db/pg_engines.h"
#include "host/db/postgres_store.h"
#include "host/db/pg_connection.h"
#include "host/db/sqlite_connection.h"
#include "host/db/statements.h"
#include "host/db/store_failure.h"
#include "host/db/openers.h"

namespace vanto::store {
namespace {

constexpr int kEndedAtColumn = sql::kRunTerminalEndedAt;

// A terminal's row of sql::kRunTerminals or sql::kLastRunTerminals, whatever reads them.
template <typename Read>
RunTerminal TerminalOf(const Read& text) {
  RunTerminal t;
  t.port = std::stoi(text(1));
  t.terminal = std::stoi(text(2));
  t.outcome = text(3);
  t.cause_code = text(4);
  t.cause = text(5);
  t.delivered = std::stoll(text(6));
  t.added = std::stoll(text(7));
  t.quarantined = std::stoll(text(8));
  t.held = std::stoll(text(9));
  t.capacity = std::stoll(text(10));
  t.clock = text(11);
  if (const std::string drift = text(12); !drift.empty()) t.clock_drift = std::stoll(drift);
  t.cause_values = ParseCauseValues(text(13));
  return t;
}

[[noreturn]] void NoSuchRun(const std::string& location, std::int64_t run) {
  throw StoreError(StoreFailure::Invalid, "database " + location + ": recording a sync's end: there is no run " +
                                              std::to_string(run));
}

RunStarter StarterOf(const std::string& text) { return ParseRunStarter(text).value_or(RunStarter::Command); }

// Puts the terminals (ordered by run) into their runs.
void Attach(std::vector<SyncRun>& runs, std::vector<std::pair<std::int64_t, RunTerminal>> terminals) {
  for (auto& [run, terminal] : terminals)
    for (SyncRun& r : runs)
      if (r.id == run) r.terminals.push_back(std::move(terminal));
}

// ---- SQLite ----------------------------------------------------------------------------------

class SqliteRuns final : public SyncRunStore, public SqliteBacked {
 public:
  sqlite3* sqlite_connection() const override { return db_.get(); }
  SqliteRuns(const std::string& path, std::chrono::milliseconds lock_timeout, bool read_only)
      : db_(path, lock_timeout, "opening the sync runs", "preparing a statement on the sync runs",
            read_only ? SqliteConnection::Mode::ReadOnly : SqliteConnection::Mode::ReadWrite, HostSqliteMessage) {}

  const std::string& location() const override { return db_.path(); }

  std::int64_t Begin(const std::string& started_at, RunStarter by, const std::string& who,
                     const std::string& ports, const std::string& site) override {
    auto q = db_.Prepare(sql::kBeginRun.sqlite());
    SqliteConnection::Bind(q.get(), 1, started_at);
    SqliteConnection::Bind(q.get(), 2, RunStarterName(by));
    SqliteConnection::Bind(q.get(), 3, who);
    SqliteConnection::Bind(q.get(), 4, ports);
    SqliteConnection::Bind(q.get(), 5, site);
    std::int64_t id = 0;
    while (db_.Step(q.get(), "recording a sync's start") == SQLITE_ROW) id = sqlite3_column_int64(q.get(), 0);
    return id;
  }

  void Finish(std::int64_t run, const std::string& ended_at, const std::vector<RunTerminal>& terminals) override {
    SqliteTransaction transaction(db_, "recording a sync's end");
    auto end = db_.Prepare(sql::kEndRun.sqlite());
    sqlite3_bind_int64(end.get(), 1, run);
    SqliteConnection::Bind(end.get(), 2, ended_at);
    if (db_.Rows(end.get(), "recording a sync's end") == 0) NoSuchRun(db_.path(), run);
    auto row = db_.Prepare(sql::kRunTerminal.sqlite());
    for (const RunTerminal& t : terminals) {
      sqlite3_reset(row.get());
      sqlite3_bind_int64(row.get(), 1, run);
      sqlite3_bind_int(row.get(), 2, t.port);
      sqlite3_bind_int(row.get(), 3, t.terminal);
      SqliteConnection::Bind(row.get(), 4, t.outcome);
      SqliteConnection::Bind(row.get(), 5, t.cause_code);
      SqliteConnection::Bind(row.get(), 6, t.cause);
      sqlite3_bind_int64(row.get(), 7, t.delivered);
      sqlite3_bind_int64(row.get(), 8, t.added);
      sqlite3_bind_int64(row.get(), 9, t.quarantined);
      sqlite3_bind_int64(row.get(), 10, t.held);
      sqlite3_bind_int64(row.get(), 11, t.capacity);
      SqliteConnection::Bind(row.get(), 12, t.clock);
      if (t.clock_drift)
        sqlite3_bind_int64(row.get(), 13, *t.clock_drift);
      else
        sqlite3_bind_null(row.get(), 13);
      SqliteConnection::Bind(row.get(), 14, CauseValuesText(t.cause_values));
      db_.Step(row.get(), "recording a sync's terminals");
    }
    transaction.Commit();
  }

  std::vector<SyncRun> Runs(std::size_t limit, std::int64_t newest, const std::optional<std::string>& site) override {
    auto q = db_.Prepare(sql::kRunsUpto.sqlite());
    sqlite3_bind_int64(q.get(), 1, static_cast<sqlite3_int64>(std::min<std::size_t>(limit, 1 << 20)));
    sqlite3_bind_int64(q.get(), 2, newest);
    SqliteConnection::Bind(q.get(), 3, site ? "0" : "1");
    SqliteConnection::Bind(q.get(), 4, site.value_or(""));
    std::vector<SyncRun> runs;
    while (db_.Step(q.get(), "listing the sync runs") == SQLITE_ROW) {
      SyncRun r;
      r.id = sqlite3_column_int64(q.get(), 0);
      r.started_at = SqliteConnection::Text(q.get(), 1);
      if (sqlite3_column_type(q.get(), 2) != SQLITE_NULL) r.ended_at = SqliteConnection::Text(q.get(), 2);
      r.started_by = StarterOf(SqliteConnection::Text(q.get(), 3));
      r.who = SqliteConnection::Text(q.get(), 4);
      r.ports = SqliteConnection::Text(q.get(), 5);
      r.site = SqliteConnection::Text(q.get(), 6);
      runs.push_back(std::move(r));
    }
    if (runs.empty()) return runs;
    auto t = db_.Prepare(sql::kRunTerminals.sqlite());
    sqlite3_bind_int64(t.get(), 1, runs.back().id);
    sqlite3_bind_int64(t.get(), 2, runs.front().id);
    std::vector<std::pair<std::int64_t, RunTerminal>> terminals;
    while (db_.Step(t.get(), "listing the sync runs") == SQLITE_ROW)
      terminals.emplace_back(sqlite3_column_int64(t.get(), 0), TerminalOf([&](int c) { return SqliteConnection::Text(t.get(), c); }));
    Attach(runs, std::move(terminals));
    return runs;
  }

  std::map<std::pair<int, int>, LastSync> LastByTerminal(const std::string& site) override {
    auto q = db_.Prepare(sql::kLastRunTerminals.sqlite());
    SqliteConnection::Bind(q.get(), 1, site);
    std::map<std::pair<int, int>, LastSync> last;
    while (db_.Step(q.get(), "reading the last syncs") == SQLITE_ROW) {
      RunTerminal t = TerminalOf([&](int c) { return SqliteConnection::Text(q.get(), c); });
      last[{t.port, t.terminal}] = {sqlite3_column_int64(q.get(), 0), SqliteConnection::Text(q.get(), kEndedAtColumn), t};
    }
    return last;
  }

  std::map<std::pair<int, int>, std::string> LastCompleteSyncs(const std::string& site) override {
    auto q = db_.Prepare(sql::kLastCompleteSyncs.sqlite());
    SqliteConnection::Bind(q.get(), 1, site);
    std::map<std::pair<int, int>, std::string> last;
    while (db_.Step(q.get(), "reading the terminals' last complete syncs") == SQLITE_ROW)
      if (sqlite3_column_type(q.get(), 3) != SQLITE_NULL)  // else no run of the site reached it
        last[{sqlite3_column_int(q.get(), 0), sqlite3_column_int(q.get(), 1)}] = SqliteConnection::Text(q.get(), 2);
    return last;
  }

 private:
  SqliteConnection db_;
};

// ---- PostgreSQL ------------------------------------------------------------------------------

class PostgresRuns final : public SyncRunStore {
 public:
  explicit PostgresRuns(PgLease lease) : lease_(std::move(lease)), location_(c_.server()) {}

  const std::string& location() const override { return location_; }

  std::int64_t Begin(const std::string& started_at, RunStarter by, const std::string& who,
                     const std::string& ports, const std::string& site) override {
    std::int64_t id = 0;
    c_.Transaction("recording a sync's start", [&] {
      PgResult r = c_.Exec(sql::kBeginRun.postgres(),
                           {started_at.c_str(), RunStarterName(by), who.c_str(), ports.c_str(), site.c_str()},
                           "recording a sync's start");
      id = std::stoll(r.text(0, 0));
    });
    return id;
  }

  void Finish(std::int64_t run, const std::string& ended_at, const std::vector<RunTerminal>& terminals) override {
    const std::string id = std::to_string(run);
    c_.Transaction("recording a sync's end", [&] {
      if (c_.Exec(sql::kEndRun.postgres(), {id.c_str(), ended_at.c_str()},
                  "recording a sync's end")
              .rows() == 0)
        NoSuchRun(location_, run);
      for (const RunTerminal& t : terminals) {
        const std::string port = std::to_string(t.port), terminal = std::to_string(t.terminal),
                          delivered = std::to_string(t.delivered), added = std::to_string(t.added),
                          quarantined = std::to_string(t.quarantined), held = std::to_string(t.held),
                          capacity = std::to_string(t.capacity),
                          drift = t.clock_drift ? std::to_string(*t.clock_drift) : std::string(),
                          values = CauseValuesText(t.cause_values);
        c_.Exec(
            sql::kRunTerminal.postgres(),
            {id.c_str(), port.c_str(), terminal.c_str(), t.outcome.c_str(), t.cause_code.c_str(), t.cause.c_str(),
             delivered.c_str(), added.c_str(), quarantined.c_str(), held.c_str(), capacity.c_str(), t.clock.c_str(),
             t.clock_drift ? drift.c_str() : nullptr, values.c_str()},
            "recording a sync's terminals");
      }
    });
  }

  std::vector<SyncRun> Runs(std::size_t limit, std::int64_t newest, const std::optional<std::string>& site) override {
    std::vector<SyncRun> runs;
    const std::string count = std::to_string(std::min<std::size_t>(limit, 1 << 20));
    const std::string upto = std::to_string(newest);
    const std::string only = site.value_or("");
    c_.Retry("listing the sync runs", [&] {
      runs.clear();
      PgResult r = c_.Exec(sql::kRunsUpto.postgres(), {count.c_str(), upto.c_str(), site ? "0" : "1", only.c_str()},
                           "listing the sync runs");
      for (int i = 0; i < r.rows(); ++i) {
        SyncRun run;
        run.id = std::stoll(r.text(i, 0));
        run.started_at = r.text(i, 1);
        if (!r.null(i, 2)) run.ended_at = r.text(i, 2);
        run.started_by = StarterOf(r.text(i, 3));
        run.who = r.text(i, 4);
        run.ports = r.text(i, 5);
        run.site = r.text(i, 6);
        runs.push_back(std::move(run));
      }
      if (runs.empty()) return;
      const std::string oldest = std::to_string(runs.back().id), newest_listed = std::to_string(runs.front().id);
      PgResult t = c_.Exec(sql::kRunTerminals.postgres(),
                           {oldest.c_str(), newest_listed.c_str()}, "listing the sync runs");
      std::vector<std::pair<std::int64_t, RunTerminal>> terminals;
      for (int i = 0; i < t.rows(); ++i)
        terminals.emplace_back(std::stoll(t.text(i, 0)), TerminalOf([&](int c) { return std::string(t.text(i, c)); }));
      Attach(runs, std::move(terminals));
    });
    return runs;
  }

  std::map<std::pair<int, int>, LastSync> LastByTerminal(const std::string& site) override {
    std::map<std::pair<int, int>, LastSync> last;
    c_.Retry("reading the last syncs", [&] {
      last.clear();
      PgResult r = c_.Exec(sql::kLastRunTerminals.postgres(), {site.c_str()}, "reading the last syncs");
      for (int i = 0; i < r.rows(); ++i) {
        RunTerminal t = TerminalOf([&](int c) { return std::string(r.text(i, c)); });
        last[{t.port, t.terminal}] = {std::stoll(r.text(i, 0)), r.null(i, kEndedAtColumn) ? "" : r.text(i, kEndedAtColumn), t};
      }
    });
    return last;
  }

  std::map<std::pair<int, int>, std::string> LastCompleteSyncs(const std::string& site) override {
    std::map<std::pair<int, int>, std::string> last;
    c_.Retry("reading the terminals' last complete syncs", [&] {
      last.clear();
      PgResult r = c_.Exec(sql::kLastCompleteSyncs.postgres(), {site.c_str()}, "reading the terminals' last complete syncs");
      for (int i = 0; i < r.rows(); ++i)
        if (!r.null(i, 3))  // else no run of the site reached it
          last[{std::stoi(r.text(i, 0)), std::stoi(r.text(i, 1))}] = r.null(i, 2) ? "" : r.text(i, 2);
    });
    return last;
  }

 private:
  PgLease lease_;
  PgConnection& c_ = *lease_;
  std::string location_;
};

}  // namespace

std::optional<SyncRun> SyncRunStore::Find(std::int64_t id) {
  std::vector<SyncRun> runs = Upto(1, id);  // every site's: a run's number is the database's
  if (runs.empty() || runs.front().id != id) return std::nullopt;
  return std::move(runs.front());
}

std::string CauseValuesText(const CauseValues& values) {
  std::string text;
  for (const auto& [name, value] : values) {
    text += name + '=';
    for (const char c : value) {
      if (c == '%') text += "%25";
      else if (c == '\n') text += "%0A";
      else if (c == '\r') text += "%0D";
      else text += c;
    }
    text += '\n';
  }
  return text;
}

CauseValues ParseCauseValues(const std::string& text) {
  CauseValues values;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string value;
    for (std::size_t i = equals + 1; i < line.size(); ++i) {
      if (line[i] == '%' && line.compare(i, 3, "%25") == 0) value += '%', i += 2;
      else if (line[i] == '%' && line.compare(i, 3, "%0A") == 0) value += '\n', i += 2;
      else if (line[i] == '%' && line.compare(i, 3, "%0D") == 0) value += '\r', i += 2;
      else value += line[i];
    }
    values.emplace_back(line.substr(0, equals), std::move(value));
  }
  return values;
}

const char* RunStarterName(RunStarter starter) {
  switch (starter) {
    case RunStarter::Command: return "command";
    case RunStarter::Timer: return "timer";
    case RunStarter::Console: return "console";
    case RunStarter::Schedule: return "schedule";
  }
  return "command";
}

std::optional<RunStarter> ParseRunStarter(std::string_view text) {
  for (RunStarter s : {RunStarter::Command, RunStarter::Timer, RunStarter::Console, RunStarter::Schedule})
    if (text == RunStarterName(s)) return s;
  return std::nullopt;
}

std::unique_ptr<SyncRunStore> OpenSyncRunStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                               bool migrate, bool read_only) {
  if (migrate) {
    // Opening the record store takes the schema steps the database is missing.
    OpenOptions options;
    options.lock_timeout = lock_timeout;
    OpenRecordStore(location, options);
  }
  if (IsDatabaseUrl(location)) return std::make_unique<PostgresRuns>(ConnectOwn(location, lock_timeout));
  return std::make_unique<SqliteRuns>(location, lock_timeout, read_only);
}

std::unique_ptr<SyncRunStore> PostgresRunsOver(PgLease lease) { return std::make_unique<PostgresRuns>(std::move(lease)); }

}  // namespace vanto::store
