#include "host/db/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>

#include "host/db/sqlite_connection.h"
#include "host/db/sqlite_readonly.h"
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <thread>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "host/db/audit_writer.h"
#include "host/db/civil_time.h"
#include "host/db/record_store.h"
#include "host/db/schema.h"
#include "host/db/statements.h"
#include "host/message.h"

namespace vanto::store {
namespace {

using host::Message;

}  // namespace

host::Message HostSqliteMessage(const SqliteFailure& f, const std::string& path, const std::string& step,
                                std::chrono::milliseconds lock_wait) {
  Message text;
  switch (f.cause) {
    case SqliteCause::Locked: {
      char wait[32];
      std::snprintf(wait, sizeof wait, "%.1f s", static_cast<double>(lock_wait.count()) / 1000.0);
      text = Message("database {0} is locked by another process (gave up after {1} while {2})", {path, wait, step});
      break;
    }
    case SqliteCause::ReadOnly: text = Message("database {0} is read-only ({1}: {2})", {path, step, f.detail}); break;
    case SqliteCause::NoAccess:
      text = Message("database {0} is not accessible (no permission) ({1}: {2})", {path, step, f.detail});
      break;
    case SqliteCause::NotADatabase: text = Message("database {0} is not a usable database ({1})", {path, f.detail}); break;
    case SqliteCause::Corrupt: text = Message("database {0} is not a usable database (damaged) ({1})", {path, f.detail}); break;
    case SqliteCause::CantOpen:
      text = Message("database {0} cannot be opened (missing or no access) ({1})", {path, f.detail});
      break;
    default: text = Message("database {0}: {1} failed: {2}", {path, step, f.detail}); break;
  }
  return text;
}

namespace {

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, Finalize>;

// How long a connection waited for another connection's lock: SQLite calls Busy while a lock is
// held elsewhere (count 0 at the start of each wait); it waits up to `limit` in all.
struct BusyWait {
  using Clock = std::chrono::steady_clock;
  std::chrono::milliseconds limit{0};
  Clock::time_point started{};
  std::chrono::milliseconds waited{0};  // of the last wait

  static int Busy(void* self, int count) {
    auto* w = static_cast<BusyWait*>(self);
    const Clock::time_point now = Clock::now();
    if (count == 0) w->started = now;
    w->waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - w->started);
    if (w->waited >= w->limit) return 0;
    static constexpr int kSteps[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    const auto step = std::chrono::milliseconds(kSteps[std::min<std::size_t>(count, std::size(kSteps) - 1)]);
    std::this_thread::sleep_for(std::min(step, w->limit - w->waited));
    w->waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - w->started);
    return 1;
  }
};

// The connection with the path every message names, and its lock waits.
struct Connection {
  Database db;
  std::string path;
  std::unique_ptr<BusyWait> busy = std::make_unique<BusyWait>();

  // A lock failure names the time actually waited for it (not the limit: SQLite gives up at
  // once where waiting could not help).
  [[noreturn]] void Fail(int rc, const std::string& step) const { ThrowSqlite(db.get(), rc, path, step, busy->waited, HostSqliteMessage); }
  // Each statement's wait is its own.
  void NewWait() const { busy->waited = std::chrono::milliseconds(0); }
  StatementPtr Prepare(const std::string& sql) const {
    NewWait();
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db.get(), sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
    StatementPtr stmt(raw);
    if (rc != SQLITE_OK) Fail(rc, "preparing a query");
    return stmt;
  }
  // SQLITE_ROW or SQLITE_DONE; anything else throws.
  int Step(sqlite3_stmt* stmt, const std::string& step) const {
    NewWait();
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(rc, step);
    return rc;
  }
  void Exec(const char* sql, const std::string& step) const {
    NewWait();
    int rc = sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc, step);
  }
};

// One write transaction, taken at once (BEGIN IMMEDIATE) and rolled back unless committed.
class WriteTransaction {
 public:
  WriteTransaction(const Connection& c, const std::string& step) : c_(c), step_(step) {
    c_.Exec("BEGIN IMMEDIATE", step_);
  }
  void Commit() {
    c_.Exec("COMMIT", step_);
    open_ = false;
  }
  ~WriteTransaction() {
    if (open_) sqlite3_exec(c_.db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }

 private:
  const Connection& c_;
  std::string step_;
  bool open_ = true;
};

void CheckFile(const std::string& path, bool create) {
  if (path.empty()) throw StoreError(StoreFailure::Invalid, Message("database path is empty"));
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) throw StoreError(StoreFailure::Other, Message("database {0}: {1}", {path, std::strerror(errno)}));
    if (!create) throw StoreError(StoreFailure::Missing, Message("database {0} does not exist", {path}));
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
      throw StoreError(StoreFailure::Missing,
                       Message("cannot create database {0}: folder {1} does not exist", {path, folder.string()}));
    return;
  }
  if (S_ISDIR(info.st_mode)) throw StoreError(StoreFailure::Invalid, Message("database {0} is a folder, not a file", {path}));
  // A file without any write permission is read-only here even for a user whom the system
  // would let write it (root): its owner made it so on purpose.
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path.c_str(), W_OK) != 0)
    throw StoreError(StoreFailure::ReadOnly, Message("database {0} is read-only", {path}));
}

Connection OpenConnection(const std::string& path, int flags, std::chrono::milliseconds lock_timeout,
                          bool for_reading = false) {
  sqlite3* raw = nullptr;
  // Reading only also works on a WAL database in a folder this process cannot write.
  int rc = for_reading ? vanto::sqlite::OpenForReading(path, &raw) : sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Connection c{Database(raw), path};
  if (rc != SQLITE_OK) {
    std::string detail = raw ? sqlite3_errmsg(raw) : "out of memory";
    throw StoreError(StoreFailure::Other, Message("cannot open database {0}: {1}", {path, detail}));
  }
  sqlite3_extended_result_codes(raw, 1);
  c.busy->limit = std::max(lock_timeout, std::chrono::milliseconds(0));
  sqlite3_busy_handler(raw, &BusyWait::Busy, c.busy.get());
  return c;
}

std::string Text(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

}  // namespace

StoredSwipe SqliteStoredSwipe(sqlite3_stmt* s, int first, bool with_site) {
  StoredSwipe swipe{sqlite3_column_int(s, first),     sqlite3_column_int(s, first + 1), sqlite3_column_int(s, first + 2),
                    Text(s, first + 3),               sqlite3_column_int(s, first + 4), Text(s, first + 5),
                    Text(s, first + 6)};
  for (int at = first + 7; at < first + 10; ++at) {
    if (sqlite3_column_type(s, at) == SQLITE_NULL) continue;
    const auto value = static_cast<std::uint32_t>(sqlite3_column_int64(s, at));
    (at == first + 7 ? swipe.identity : at == first + 8 ? swipe.generation : swipe.index) = value;
  }
  swipe.epoch = static_cast<std::uint32_t>(sqlite3_column_int64(s, first + 10));
  if (with_site) swipe.site = Text(s, first + 11);
  return swipe;
}

namespace {

void Bind(sqlite3_stmt* stmt, const SqlFilter& filter) {
  for (std::size_t i = 0; i < filter.values.size(); ++i) {
    int index = static_cast<int>(i + 1);
    if (const auto* number = std::get_if<std::int64_t>(&filter.values[i]))
      sqlite3_bind_int64(stmt, index, *number);
    else
      sqlite3_bind_text(stmt, index, std::get<std::string>(filter.values[i]).c_str(), -1, SQLITE_TRANSIENT);
  }
}

class SqliteSwipeStore final : public SwipeStore, public SqliteBacked {
 public:
  sqlite3* sqlite_connection() const override { return c_.db.get(); }
  explicit SqliteSwipeStore(Connection c) : c_(std::move(c)) {}

  const std::string& location() const override { return c_.path; }
  int schema_version() const override { return version_; }
  void SetVersion(int version) { version_ = version; }

  // Reads the schema version without writing: 0 for a database from before recorded versions.
  void ReadVersionOnly() {
    auto has = [&](const char* table) {
      StatementPtr query = c_.Prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1");
      sqlite3_bind_text(query.get(), 1, table, -1, SQLITE_STATIC);
      c_.Step(query.get(), "reading the list of tables");
      return sqlite3_column_int64(query.get(), 0) > 0;
    };
    if (!has("swipes"))
      throw StoreError(StoreFailure::Invalid, Message("database {0} holds no swipes (not a vanto database?)", {c_.path}));
    version_ = 0;
    if (has("schema_version")) {
      StatementPtr read = c_.Prepare(sql::kSchemaVersion.sqlite());
      c_.Step(read.get(), "reading the schema version");
      version_ = sqlite3_column_int(read.get(), 0);
    }
    CheckReadableSchema(c_.path, version_);
  }

  // Takes the schema steps the database lacks, in one write transaction.
  void Migrate() {
    WriteTransaction transaction(c_, "bringing the schema up to date");
    c_.Exec(SchemaVersionTableSql(Engine::Sqlite), "bringing the schema up to date");
    StatementPtr read = c_.Prepare(sql::kSchemaVersion.sqlite());
    c_.Step(read.get(), "reading the schema version");
    version_ = sqlite3_column_int(read.get(), 0);
    read.reset();
    if (version_ > LatestSchemaVersion()) throw StoreError(StoreFailure::NewerSchema, NewerSchemaMessage(c_.path, version_));
    for (const SchemaStep& step : SchemaSteps()) {
      if (step.version <= version_) continue;
      c_.Exec(SchemaStepSql(step, Engine::Sqlite), "bringing the schema to version " + std::to_string(step.version));
      StatementPtr record = c_.Prepare(sql::kRecordSchemaVersion.sqlite());
      sqlite3_bind_int(record.get(), 1, step.version);
      sqlite3_bind_text(record.get(), 2, step.what, -1, SQLITE_STATIC);
      std::string now = UtcNowText();
      sqlite3_bind_text(record.get(), 3, now.c_str(), -1, SQLITE_TRANSIENT);
      c_.Step(record.get(), "recording the schema version");
      version_ = step.version;
    }
    transaction.Commit();
  }

  InsertResult InsertChecked(std::span<const StoredSwipe> rows, OnConflict on_conflict) override {
    InsertResult result;
    if (rows.empty()) return result;
    RefuseWhenReading("storing swipes");
    WriteTransaction transaction(c_, "storing swipes");
    result = InsertRows(rows, on_conflict);
    transaction.Commit();
    return result;
  }

  LogKey CurrentLog(std::uint32_t identity, std::uint32_t generation) const override {
    StatementPtr stmt = c_.Prepare("SELECT coalesce(max(epoch), 0) FROM log_epochs WHERE identity = ?1 AND generation = ?2");
    sqlite3_bind_int64(stmt.get(), 1, identity);
    sqlite3_bind_int64(stmt.get(), 2, generation);
    c_.Step(stmt.get(), "finding the current epoch of a terminal's log");
    return {identity, generation, static_cast<std::uint32_t>(sqlite3_column_int64(stmt.get(), 0))};
  }

  std::vector<LogEpoch> Epochs(std::uint32_t identity, std::uint32_t generation) const override {
    StatementPtr stmt = c_.Prepare(
        "SELECT epoch, first_index, port, terminal, conflict, opened_at, parent FROM log_epochs "
        "WHERE identity = ?1 AND generation = ?2 ORDER BY epoch");
    sqlite3_bind_int64(stmt.get(), 1, identity);
    sqlite3_bind_int64(stmt.get(), 2, generation);
    std::vector<LogEpoch> epochs;
    sqlite3_stmt* s = stmt.get();
    while (c_.Step(s, "reading the epochs of a terminal's log") == SQLITE_ROW) {
      LogEpoch e;
      e.log = {identity, generation, static_cast<std::uint32_t>(sqlite3_column_int64(s, 0))};
      e.first = static_cast<std::uint32_t>(sqlite3_column_int64(s, 1));
      e.port = sqlite3_column_int(s, 2);
      e.terminal = sqlite3_column_int(s, 3);
      if (sqlite3_column_type(s, 4) != SQLITE_NULL) e.conflict = sqlite3_column_int64(s, 4);
      e.opened_at = Text(s, 5);
      e.parent = static_cast<std::uint32_t>(sqlite3_column_int64(s, 6));
      epochs.push_back(std::move(e));
    }
    return epochs;
  }

  std::pair<LogKey, InsertResult> OpenEpoch(const LogKey& log, std::uint32_t first, std::optional<std::int64_t> conflict,
                                            std::span<const StoredSwipe> rows) override {
    RefuseWhenReading("opening a new epoch of a terminal's log");
    WriteTransaction transaction(c_, "opening a new epoch of a terminal's log");
    LogKey opened = CurrentLog(log.identity, log.generation);
    ++opened.epoch;
    StatementPtr add = c_.Prepare(
        "INSERT INTO log_epochs (identity, generation, epoch, first_index, port, terminal, conflict, opened_at, parent) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    sqlite3_stmt* a = add.get();
    sqlite3_bind_int64(a, 1, opened.identity);
    sqlite3_bind_int64(a, 2, opened.generation);
    sqlite3_bind_int64(a, 3, opened.epoch);
    sqlite3_bind_int64(a, 4, first);
    sqlite3_bind_int(a, 5, rows.empty() ? 0 : rows.front().port);
    sqlite3_bind_int(a, 6, rows.empty() ? 0 : rows.front().terminal);
    if (conflict) sqlite3_bind_int64(a, 7, *conflict);
    const std::string now = UtcNowText();
    sqlite3_bind_text(a, 8, now.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(a, 9, log.epoch);
    c_.Step(a, "opening a new epoch of a terminal's log");
    add.reset();
    std::vector<StoredSwipe> moved(rows.begin(), rows.end());
    for (StoredSwipe& r : moved) r.epoch = opened.epoch;
    InsertResult result = InsertRows(moved, OnConflict::Continue);
    transaction.Commit();
    return {opened, std::move(result)};
  }

  std::vector<LogEpoch> AllEpochs() const override {
    StatementPtr stmt = c_.Prepare(
        "SELECT identity, generation, epoch, first_index, port, terminal, conflict, opened_at, parent FROM log_epochs "
        "ORDER BY identity, generation, epoch");
    std::vector<LogEpoch> epochs;
    sqlite3_stmt* s = stmt.get();
    while (c_.Step(s, "reading the epochs of the logs") == SQLITE_ROW) {
      LogEpoch e;
      e.log = {static_cast<std::uint32_t>(sqlite3_column_int64(s, 0)), static_cast<std::uint32_t>(sqlite3_column_int64(s, 1)),
               static_cast<std::uint32_t>(sqlite3_column_int64(s, 2))};
      e.first = static_cast<std::uint32_t>(sqlite3_column_int64(s, 3));
      e.port = sqlite3_column_int(s, 4);
      e.terminal = sqlite3_column_int(s, 5);
      if (sqlite3_column_type(s, 6) != SQLITE_NULL) e.conflict = sqlite3_column_int64(s, 6);
      e.opened_at = Text(s, 7);
      e.parent = static_cast<std::uint32_t>(sqlite3_column_int64(s, 8));
      epochs.push_back(std::move(e));
    }
    return epochs;
  }

  bool PutEpoch(const LogEpoch& e) override {
    RefuseWhenReading("copying an epoch of a terminal's log");
    WriteTransaction transaction(c_, "copying an epoch of a terminal's log");
    StatementPtr add = c_.Prepare(
        "INSERT INTO log_epochs (identity, generation, epoch, first_index, port, terminal, conflict, opened_at, parent) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT DO NOTHING");
    sqlite3_stmt* a = add.get();
    sqlite3_bind_int64(a, 1, e.log.identity);
    sqlite3_bind_int64(a, 2, e.log.generation);
    sqlite3_bind_int64(a, 3, e.log.epoch);
    sqlite3_bind_int64(a, 4, e.first);
    sqlite3_bind_int(a, 5, e.port);
    sqlite3_bind_int(a, 6, e.terminal);
    if (e.conflict) sqlite3_bind_int64(a, 7, *e.conflict);
    sqlite3_bind_text(a, 8, e.opened_at.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(a, 9, e.parent);
    c_.Step(a, "copying an epoch of a terminal's log");
    const bool added = sqlite3_changes(c_.db.get()) > 0;
    add.reset();
    transaction.Commit();
    return added;
  }

  std::int64_t PutConflict(const RecordConflict& c) override {
    RefuseWhenReading("copying a conflict");
    WriteTransaction transaction(c_, "copying a conflict");
    StatementPtr add = c_.Prepare(
        "INSERT INTO conflicts (identity, generation, epoch, record_index, port, terminal, found_at, person, swipe_time, "
        "stored_person, stored_time, stored_port, stored_terminal, stored_downloaded_at, acknowledged, acknowledged_by, "
        "acknowledged_at, site) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18) "
        "ON CONFLICT (identity, generation, epoch, record_index, person, swipe_time) DO NOTHING");
    sqlite3_stmt* a = add.get();
    sqlite3_bind_int64(a, 1, c.log.identity);
    sqlite3_bind_int64(a, 2, c.log.generation);
    sqlite3_bind_int64(a, 3, c.log.epoch);
    sqlite3_bind_int64(a, 4, c.index);
    sqlite3_bind_int(a, 5, c.port);
    sqlite3_bind_int(a, 6, c.terminal);
    sqlite3_bind_text(a, 7, c.found_at.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(a, 8, c.person);
    sqlite3_bind_text(a, 9, c.time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(a, 10, c.stored_person);
    sqlite3_bind_text(a, 11, c.stored_time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(a, 12, c.stored_port);
    sqlite3_bind_int(a, 13, c.stored_terminal);
    sqlite3_bind_text(a, 14, c.stored_downloaded_at.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(a, 15, c.acknowledged ? 1 : 0);
    if (c.acknowledged) {
      sqlite3_bind_text(a, 16, c.acknowledged_by.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(a, 17, c.acknowledged_at.c_str(), -1, SQLITE_TRANSIENT);
    }
    sqlite3_bind_text(a, 18, c.site.c_str(), -1, SQLITE_TRANSIENT);
    c_.Step(a, "copying a conflict");
    add.reset();
    StatementPtr find = c_.Prepare(
        "SELECT id FROM conflicts WHERE identity = ?1 AND generation = ?2 AND epoch = ?3 AND record_index = ?4 "
        "AND person = ?5 AND swipe_time = ?6");
    sqlite3_stmt* f = find.get();
    sqlite3_bind_int64(f, 1, c.log.identity);
    sqlite3_bind_int64(f, 2, c.log.generation);
    sqlite3_bind_int64(f, 3, c.log.epoch);
    sqlite3_bind_int64(f, 4, c.index);
    sqlite3_bind_int(f, 5, c.person);
    sqlite3_bind_text(f, 6, c.time.c_str(), -1, SQLITE_TRANSIENT);
    c_.Step(f, "copying a conflict");
    const std::int64_t id = sqlite3_column_int64(f, 0);
    find.reset();
    transaction.Commit();
    return id;
  }

  bool LowerEpochStart(const LogKey& log, std::uint32_t first) override {
    RefuseWhenReading("moving the start of an epoch");
    WriteTransaction transaction(c_, "moving the start of an epoch");
    StatementPtr stmt = c_.Prepare(
        "UPDATE log_epochs SET first_index = min(first_index, ?4) WHERE identity = ?1 AND generation = ?2 AND epoch = ?3");
    sqlite3_bind_int64(stmt.get(), 1, log.identity);
    sqlite3_bind_int64(stmt.get(), 2, log.generation);
    sqlite3_bind_int64(stmt.get(), 3, log.epoch);
    sqlite3_bind_int64(stmt.get(), 4, first);
    c_.Step(stmt.get(), "moving the start of an epoch");
    const bool changed = sqlite3_changes(c_.db.get()) > 0;
    stmt.reset();
    transaction.Commit();
    return changed;
  }

  std::vector<RecordConflict> Conflicts(bool acknowledged, const std::optional<std::string>& site) const override {
    std::string where = acknowledged ? "" : " WHERE acknowledged = 0";
    if (site) where += (where.empty() ? " WHERE " : " AND ") + std::string(version_ >= 20 ? "site" : "''") + " = ?1";
    StatementPtr stmt =
        c_.Prepare("SELECT " + sql::ConflictColumns(version_) + " FROM conflicts" + where + " ORDER BY id");
    if (site) sqlite3_bind_text(stmt.get(), 1, site->data(), static_cast<int>(site->size()), SQLITE_STATIC);
    std::vector<RecordConflict> result;
    sqlite3_stmt* s = stmt.get();
    while (c_.Step(s, "reading conflicts") == SQLITE_ROW) {
      RecordConflict c;
      c.id = sqlite3_column_int64(s, 0);
      c.log = {static_cast<std::uint32_t>(sqlite3_column_int64(s, 1)), static_cast<std::uint32_t>(sqlite3_column_int64(s, 2)),
               static_cast<std::uint32_t>(sqlite3_column_int64(s, 3))};
      c.index = static_cast<std::uint32_t>(sqlite3_column_int64(s, 4));
      c.port = sqlite3_column_int(s, 5);
      c.terminal = sqlite3_column_int(s, 6);
      c.found_at = Text(s, 7);
      c.person = sqlite3_column_int(s, 8);
      c.time = Text(s, 9);
      c.stored_person = sqlite3_column_int(s, 10);
      c.stored_time = Text(s, 11);
      c.stored_port = sqlite3_column_int(s, 12);
      c.stored_terminal = sqlite3_column_int(s, 13);
      c.stored_downloaded_at = Text(s, 14);
      c.acknowledged = sqlite3_column_int(s, 15) != 0;
      c.acknowledged_by = Text(s, 16);
      c.acknowledged_at = Text(s, 17);
      c.site = Text(s, 18);
      result.push_back(std::move(c));
    }
    return result;
  }

  bool AcknowledgeConflict(std::int64_t id, const std::string& by) override {
    RefuseWhenReading("acknowledging a conflict");
    WriteTransaction transaction(c_, "acknowledging a conflict");
    StatementPtr stmt = c_.Prepare(
        "UPDATE conflicts SET acknowledged = 1, acknowledged_by = ?2, acknowledged_at = ?3 WHERE id = ?1 AND acknowledged = 0");
    sqlite3_bind_int64(stmt.get(), 1, id);
    sqlite3_bind_text(stmt.get(), 2, by.c_str(), -1, SQLITE_TRANSIENT);
    const std::string now = UtcNowText();
    sqlite3_bind_text(stmt.get(), 3, now.c_str(), -1, SQLITE_TRANSIENT);
    c_.Step(stmt.get(), "acknowledging a conflict");
    const bool changed = sqlite3_changes(c_.db.get()) > 0;
    stmt.reset();
    transaction.Commit();
    return changed;
  }

  std::vector<StoredDouble> Doubles() const override {
    if (version_ < 5) return {};
    std::vector<StoredDouble> result;
    for (Placed& d : FindDoubles()) result.push_back(std::move(d.pair));
    return result;
  }

  std::vector<StoredDouble> FoldDoubles(const AuditNote& audit) override {
    RefuseWhenReading("folding doubles");
    WriteTransaction transaction(c_, "folding doubles");
    std::vector<Placed> found = FindDoubles();
    std::vector<StoredDouble> result;
    if (found.empty()) return result;
    std::int64_t feed = HighestFeedNumber();
    const std::string now = UtcNowText();
    StatementPtr keep = c_.Prepare(std::string("INSERT INTO swipes_withdrawn (") + kSwipeColumns +
                                   ", was_seq, kept_seq, withdrawn_at, feed_seq) SELECT " + kSwipeColumns +
                                   ", feed_seq, ?2, ?3, ?4 FROM swipes WHERE feed_seq = ?1");
    StatementPtr remove = c_.Prepare("DELETE FROM swipes WHERE feed_seq = ?1");
    for (Placed& d : found) {
      sqlite3_reset(keep.get());
      sqlite3_bind_int64(keep.get(), 1, d.doubled_at);
      sqlite3_bind_int64(keep.get(), 2, d.kept_at);
      sqlite3_bind_text(keep.get(), 3, now.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(keep.get(), 4, ++feed);
      c_.Step(keep.get(), "folding doubles");
      sqlite3_reset(remove.get());
      sqlite3_bind_int64(remove.get(), 1, d.doubled_at);
      c_.Step(remove.get(), "folding doubles");
      result.push_back(std::move(d.pair));
    }
    keep.reset();
    remove.reset();
    StatementPtr note = c_.Prepare(sql::kInsertAudit.sqlite());
    const std::string details = FoldDetails(audit, result.size());
    for (auto [at, text] : {std::pair{1, &audit.at}, std::pair{2, &audit.actor}, std::pair{3, &audit.origin},
                            std::pair{4, &audit.action}, std::pair{5, &details}})
      sqlite3_bind_text(note.get(), at, text->data(), static_cast<int>(text->size()), SQLITE_STATIC);
    c_.Step(note.get(), "writing the audit trail");
    note.reset();
    transaction.Commit();
    return result;
  }

  // The highest feed number handed out: of a swipe, of a withdrawn swipe (schema step 19), or of
  // the database a copy came from (feed_moves), so a cursor of that database never names a row here.
  std::int64_t HighestFeedNumber() const {
    std::string sql =
        "SELECT max(coalesce((SELECT max(feed_seq) FROM swipes), 0), "
        "coalesce((SELECT max(from_seq) FROM feed_moves WHERE from_xid = 0), 0)";
    if (version_ >= kWithdrawnSchemaVersion) sql += ", coalesce((SELECT max(feed_seq) FROM swipes_withdrawn), 0)";
    StatementPtr highest = c_.Prepare((sql + ")").c_str());
    std::int64_t feed = 0;
    if (c_.Step(highest.get(), "numbering swipes for the feed") == SQLITE_ROW) feed = sqlite3_column_int64(highest.get(), 0);
    return feed;
  }

  struct Placed {
    StoredDouble pair;
    std::int64_t kept_at = 0, doubled_at = 0;
  };

  // The doubles with the feed numbers of both rows, in the doubled rows' feed order.
  std::vector<Placed> FindDoubles() const {
    StatementPtr stmt = c_.Prepare(std::string("SELECT ") + kSwipeColumns + ", feed_seq FROM swipes s " + kDoubledRows +
                                   " ORDER BY identity, generation, record_index, person, swipe_time, feed_seq");
    std::vector<Placed> result;
    std::optional<std::pair<StoredSwipe, std::int64_t>> first;
    sqlite3_stmt* q = stmt.get();
    while (c_.Step(q, "looking for doubles") == SQLITE_ROW) {
      StoredSwipe s = SqliteStoredSwipe(q, 0);
      const std::int64_t at = sqlite3_column_int64(q, 12);
      if (first && SameRecord(first->first, s))
        result.push_back({{first->first, std::move(s)}, first->second, at});
      else
        first.emplace(std::move(s), at);
    }
    std::sort(result.begin(), result.end(), [](const Placed& a, const Placed& b) { return a.doubled_at < b.doubled_at; });
    return result;
  }

  // Stores `rows` inside the caller's write transaction, comparing each row of a log that is
  // not stored (its key is held) with the row held under the key: a second statement, run only
  // for those rows (after the insert found the key held).
  InsertResult InsertRows(std::span<const StoredSwipe> rows, OnConflict on_conflict) {
    InsertResult result;
    result.rows.assign(rows.size(), RowOutcome::Held);
    if (!insert_)
      insert_ = c_.Prepare(std::string("INSERT INTO swipes (") + kSwipeColumns +
                           ", feed_seq) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?13, ?12) ON CONFLICT DO NOTHING");
    // Each stored row's feed number: the next after the highest, and after every number of the
    // database a copy came from (feed_moves), so a cursor of that database never names a swipe
    // here. The caller's write transaction keeps every other writer out, so it is read once.
    std::int64_t feed = HighestFeedNumber();
    // A row stored before its terminal told its identity gets it when the same swipe comes again
    // (matched by the old key), instead of a second row. A batch may hold several terminals' rows
    // (a copy between databases does): each terminal of the batch is looked at.
    StatementPtr adopt;
    {
      std::set<std::tuple<std::string, int, int>> asked;
      StatementPtr any;
      for (const StoredSwipe& r : rows) {
        if (adopt) break;
        if (!r.identity || !asked.emplace(r.site, r.port, r.terminal).second) continue;
        if (!any)
          any = c_.Prepare("SELECT 1 FROM swipes WHERE identity IS NULL AND port = ?1 AND terminal = ?2 AND site = ?3 LIMIT 1");
        sqlite3_reset(any.get());
        sqlite3_bind_int(any.get(), 1, r.port);
        sqlite3_bind_int(any.get(), 2, r.terminal);
        sqlite3_bind_text(any.get(), 3, r.site.data(), static_cast<int>(r.site.size()), SQLITE_TRANSIENT);
        if (c_.Step(any.get(), "looking for rows without identity") == SQLITE_ROW)
          adopt = c_.Prepare(
              "UPDATE OR IGNORE swipes SET identity = ?1, generation = ?2, record_index = ?3, epoch = ?9 WHERE identity IS NULL "
              "AND port = ?4 AND terminal = ?5 AND person = ?6 AND minute = ?7 AND occurrence = ?8 AND site = ?10");
      }
    }
    // The rows added to each log, counted in log_records once the batch is stored.
    std::map<AddedKey, std::int64_t> added_by_log;
    sqlite3_stmt* s = insert_.get();
    auto optional = [](sqlite3_stmt* stmt, int at, const std::optional<std::uint32_t>& value) {
      if (value)
        sqlite3_bind_int64(stmt, at, *value);
      else
        sqlite3_bind_null(stmt, at);
    };
    std::size_t i = 0;
    for (; i < rows.size(); ++i) {
      const StoredSwipe& r = rows[i];
      if (adopt && r.identity) {
        sqlite3_stmt* a = adopt.get();
        sqlite3_reset(a);
        optional(a, 1, r.identity);
        optional(a, 2, r.generation);
        optional(a, 3, r.index);
        sqlite3_bind_int64(a, 9, r.epoch);
        sqlite3_bind_int(a, 4, r.port);
        sqlite3_bind_int(a, 5, r.terminal);
        sqlite3_bind_int(a, 6, r.person);
        sqlite3_bind_text(a, 7, r.minute.data(), static_cast<int>(r.minute.size()), SQLITE_STATIC);
        sqlite3_bind_int(a, 8, r.occurrence);
        sqlite3_bind_text(a, 10, r.site.data(), static_cast<int>(r.site.size()), SQLITE_STATIC);
        c_.Step(a, "attaching identities to stored swipes");
        if (sqlite3_changes(c_.db.get()) > 0) continue;
      }
      sqlite3_reset(s);
      sqlite3_bind_int(s, 1, r.port);
      sqlite3_bind_int(s, 2, r.terminal);
      sqlite3_bind_int(s, 3, r.person);
      sqlite3_bind_text(s, 4, r.minute.data(), static_cast<int>(r.minute.size()), SQLITE_STATIC);
      sqlite3_bind_int(s, 5, r.occurrence);
      sqlite3_bind_text(s, 6, r.time.data(), static_cast<int>(r.time.size()), SQLITE_STATIC);
      sqlite3_bind_text(s, 7, r.downloaded_at.data(), static_cast<int>(r.downloaded_at.size()), SQLITE_STATIC);
      optional(s, 8, r.identity);
      optional(s, 9, r.identity ? r.generation : std::nullopt);
      optional(s, 10, r.index);
      sqlite3_bind_int64(s, 11, r.identity ? r.epoch : 0);
      sqlite3_bind_int64(s, 12, feed + 1);
      sqlite3_bind_text(s, 13, r.site.data(), static_cast<int>(r.site.size()), SQLITE_STATIC);
      c_.NewWait();
      int rc = sqlite3_step(s);
      if (rc != SQLITE_DONE) {
        sqlite3_reset(s);
        c_.Fail(rc, "storing swipes");
      }
      if (sqlite3_changes(c_.db.get()) > 0) {
        result.rows[i] = RowOutcome::Added;
        ++feed;
        if (r.identity) ++added_by_log[{*r.identity, r.generation, r.epoch}];
        continue;
      }
      // A row of a log whose key is held (the insert did nothing): compared with the row held.
      // New rows, the usual case, cost no look-up of their own.
      if (r.identity && r.index) {
        if (std::optional<std::optional<RecordConflict>> held = Compare(r); held && *held) {
          (*held)->row = i;
          result.rows[i] = RowOutcome::Conflict;
          result.conflicts.push_back(std::move(**held));
          if (on_conflict == OnConflict::Stop) break;
        }
      }
    }
    for (++i; i < rows.size(); ++i) result.rows[i] = RowOutcome::NotStored;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    adopt.reset();
    CountAdded(added_by_log);
    if (version_ >= kChangesSchemaVersion &&
        std::find(result.rows.begin(), result.rows.end(), RowOutcome::Added) != result.rows.end()) {
      // One change counted for the whole store (the schema's triggers count a swipe changed or
      // removed): a judged month kept since is judged again.
      if (!changed_) changed_ = c_.Prepare("UPDATE data_changes SET changes = changes + 1");
      sqlite3_reset(changed_.get());
      c_.Step(changed_.get(), "counting a change of the stored swipes");
      sqlite3_reset(changed_.get());
    }
    return result;
  }

  // A log's key as a stored row has it (a row of a log without a generation keeps it NULL).
  using AddedKey = std::tuple<std::uint32_t, std::optional<std::uint32_t>, std::uint32_t>;

  // Adds the rows a write stored to their logs' counts, inside its transaction: one statement
  // per log rather than a trigger run for every row (a schema of step 18 has none on insert).
  void CountAdded(const std::map<AddedKey, std::int64_t>& added_by_log) {
    if (added_by_log.empty()) return;
    if (!count_)
      count_ = c_.Prepare(
          "INSERT INTO log_records (identity, generation, epoch, held) VALUES (?1, ?2, ?3, ?4) "
          "ON CONFLICT (identity, generation, epoch) DO UPDATE SET held = held + excluded.held");
    sqlite3_stmt* q = count_.get();
    for (const auto& [key, added] : added_by_log) {
      sqlite3_reset(q);
      sqlite3_bind_int64(q, 1, std::get<0>(key));
      if (std::get<1>(key))
        sqlite3_bind_int64(q, 2, *std::get<1>(key));
      else
        sqlite3_bind_null(q, 2);
      sqlite3_bind_int64(q, 3, std::get<2>(key));
      sqlite3_bind_int64(q, 4, added);
      c_.Step(q, "counting the stored swipes of a terminal's log");
    }
    sqlite3_reset(q);
  }

  // Nothing when `r`'s key is not held; else the conflict of `r` with the row held under it,
  // listed (once), or none when the content is the same.
  std::optional<std::optional<RecordConflict>> Compare(const StoredSwipe& r) {
    if (!held_)
      held_ = c_.Prepare(
          "SELECT person, swipe_time, port, terminal, downloaded_at FROM swipes INDEXED BY swipes_record "
          "WHERE identity = ?1 AND generation = ?2 AND epoch = ?3 AND record_index = ?4");
    sqlite3_stmt* h = held_.get();
    sqlite3_reset(h);
    sqlite3_bind_int64(h, 1, *r.identity);
    sqlite3_bind_int64(h, 2, r.generation.value_or(0));
    sqlite3_bind_int64(h, 3, r.epoch);
    sqlite3_bind_int64(h, 4, *r.index);
    std::optional<RecordConflict> clash;
    if (c_.Step(h, "comparing a swipe with the one stored under its key") != SQLITE_ROW) {
      sqlite3_reset(h);
      return std::nullopt;
    }
    {
      const std::int32_t person = sqlite3_column_int(h, 0);
      const auto* time = reinterpret_cast<const char*>(sqlite3_column_text(h, 1));
      if (person != r.person || !time || r.time != time) {
        clash.emplace();
        clash->log = {*r.identity, r.generation.value_or(0), r.epoch};
        clash->index = *r.index;
        clash->port = r.port;
        clash->terminal = r.terminal;
        clash->person = r.person;
        clash->time = r.time;
        clash->stored_person = person;
        clash->stored_time = Text(h, 1);
        clash->stored_port = sqlite3_column_int(h, 2);
        clash->stored_terminal = sqlite3_column_int(h, 3);
        clash->stored_downloaded_at = Text(h, 4);
      }
    }
    sqlite3_reset(h);
    if (!clash) return std::optional<std::optional<RecordConflict>>(std::in_place);
    // Listed once: found again, it keeps its number and when it was first found.
    StatementPtr list = c_.Prepare(
        "INSERT INTO conflicts (identity, generation, epoch, record_index, port, terminal, found_at, person, swipe_time, "
        "stored_person, stored_time, stored_port, stored_terminal, stored_downloaded_at, site) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15) "
        "ON CONFLICT (identity, generation, epoch, record_index, person, swipe_time) DO UPDATE SET found_at = found_at "
        "RETURNING id, found_at, acknowledged, acknowledged_by, acknowledged_at, port, terminal");
    sqlite3_stmt* l = list.get();
    const std::string now = UtcNowText();
    sqlite3_bind_int64(l, 1, clash->log.identity);
    sqlite3_bind_int64(l, 2, clash->log.generation);
    sqlite3_bind_int64(l, 3, clash->log.epoch);
    sqlite3_bind_int64(l, 4, clash->index);
    sqlite3_bind_int(l, 5, clash->port);
    sqlite3_bind_int(l, 6, clash->terminal);
    sqlite3_bind_text(l, 7, now.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(l, 8, clash->person);
    sqlite3_bind_text(l, 9, clash->time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(l, 10, clash->stored_person);
    sqlite3_bind_text(l, 11, clash->stored_time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(l, 12, clash->stored_port);
    sqlite3_bind_int(l, 13, clash->stored_terminal);
    sqlite3_bind_text(l, 14, clash->stored_downloaded_at.c_str(), -1, SQLITE_TRANSIENT);
    clash->site = r.site;
    sqlite3_bind_text(l, 15, clash->site.c_str(), -1, SQLITE_TRANSIENT);
    if (c_.Step(l, "listing a conflict") == SQLITE_ROW) {
      clash->id = sqlite3_column_int64(l, 0);
      clash->found_at = Text(l, 1);
      clash->acknowledged = sqlite3_column_int(l, 2) != 0;
      clash->acknowledged_by = Text(l, 3);
      clash->acknowledged_at = Text(l, 4);
      clash->port = sqlite3_column_int(l, 5);  // where it was first found
      clash->terminal = sqlite3_column_int(l, 6);
    }
    while (sqlite3_step(l) == SQLITE_ROW) {
    }
    return std::optional<std::optional<RecordConflict>>(std::move(clash));
  }

  int CountEarlier(const LogKey& log, std::int32_t person, const std::string& minute,
                   std::uint32_t before) const override {
    StatementPtr stmt = c_.Prepare(
        "SELECT count(*) FROM swipes INDEXED BY swipes_occurrence WHERE identity = ?1 AND generation = ?2 "
        "AND epoch = ?6 AND person = ?3 AND minute = ?4 AND record_index < ?5");
    sqlite3_bind_int64(stmt.get(), 1, log.identity);
    sqlite3_bind_int64(stmt.get(), 2, log.generation);
    sqlite3_bind_int(stmt.get(), 3, person);
    sqlite3_bind_text(stmt.get(), 4, minute.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt.get(), 5, before);
    sqlite3_bind_int64(stmt.get(), 6, log.epoch);
    c_.Step(stmt.get(), "counting earlier swipes");
    return static_cast<int>(sqlite3_column_int64(stmt.get(), 0));
  }

  std::optional<std::pair<std::int32_t, std::string>> SwipeAt(const LogKey& log, std::uint32_t index) const override {
    StatementPtr stmt = c_.Prepare(
        "SELECT person, swipe_time FROM swipes INDEXED BY swipes_record "
        "WHERE identity = ?1 AND generation = ?2 AND epoch = ?3 AND record_index = ?4");
    sqlite3_bind_int64(stmt.get(), 1, log.identity);
    sqlite3_bind_int64(stmt.get(), 2, log.generation);
    sqlite3_bind_int64(stmt.get(), 3, log.epoch);
    sqlite3_bind_int64(stmt.get(), 4, index);
    if (c_.Step(stmt.get(), "reading a stored record of a terminal's log") != SQLITE_ROW) return std::nullopt;
    return std::make_pair(static_cast<std::int32_t>(sqlite3_column_int(stmt.get(), 0)), Text(stmt.get(), 1));
  }

  LogCoverage Coverage(const LogKey& log) const override {
    LogCoverage coverage;
    coverage.first = coverage.next = FirstIndex(log);
    StatementPtr held =
        c_.Prepare("SELECT held FROM log_records WHERE identity = ?1 AND generation = ?2 AND epoch = ?3");
    sqlite3_bind_int64(held.get(), 1, log.identity);
    sqlite3_bind_int64(held.get(), 2, log.generation);
    sqlite3_bind_int64(held.get(), 3, log.epoch);
    if (c_.Step(held.get(), "counting the records of a terminal") == SQLITE_ROW)
      coverage.count = sqlite3_column_int64(held.get(), 0);
    for (const char* sql :
         {"SELECT max(record_index) FROM swipes WHERE identity = ?1 AND generation = ?2 AND epoch = ?3",
          "SELECT max(record_index) FROM rejected_records WHERE identity = ?1 AND generation = ?2 AND epoch = ?3"}) {
      StatementPtr last = c_.Prepare(sql);
      sqlite3_bind_int64(last.get(), 1, log.identity);
      sqlite3_bind_int64(last.get(), 2, log.generation);
      sqlite3_bind_int64(last.get(), 3, log.epoch);
      c_.Step(last.get(), "finding the last record of a terminal");
      if (sqlite3_column_type(last.get(), 0) != SQLITE_NULL)
        coverage.next = std::max<std::int64_t>(coverage.next, sqlite3_column_int64(last.get(), 0) + 1);
    }
    return coverage;
  }

  std::vector<std::pair<std::uint32_t, std::uint32_t>> Missing(const LogKey& log, std::uint32_t held,
                                                               std::size_t limit) const override {
    const std::int64_t first = FirstIndex(log);
    StatementPtr stmt = c_.Prepare(
        "SELECT record_index FROM swipes WHERE identity = ?1 AND generation = ?2 AND epoch = ?4 AND record_index < ?3 "
        "UNION SELECT record_index FROM rejected_records WHERE identity = ?1 AND generation = ?2 AND epoch = ?4 "
        "AND record_index < ?3 ORDER BY 1");
    sqlite3_bind_int64(stmt.get(), 1, log.identity);
    sqlite3_bind_int64(stmt.get(), 2, log.generation);
    sqlite3_bind_int64(stmt.get(), 3, held);
    sqlite3_bind_int64(stmt.get(), 4, log.epoch);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> missing;
    std::int64_t expected = first;
    auto gap = [&](std::int64_t upto) {
      if (upto > expected && missing.size() < limit)
        missing.push_back({static_cast<std::uint32_t>(expected), static_cast<std::uint32_t>(upto - 1)});
    };
    while (c_.Step(stmt.get(), "finding the records not stored") == SQLITE_ROW) {
      const std::int64_t index = sqlite3_column_int64(stmt.get(), 0);
      gap(index);
      expected = index + 1;
    }
    gap(held);
    return missing;
  }

  bool AddRejected(const RejectedRecord& r) override {
    RefuseWhenReading("keeping a rejected record");
    WriteTransaction transaction(c_, "keeping a rejected record");
    StatementPtr insert = c_.Prepare(sql::kAddRejected.sqlite());
    sqlite3_stmt* s = insert.get();
    sqlite3_bind_int(s, 1, r.port);
    sqlite3_bind_int(s, 2, r.terminal);
    if (r.log) {
      sqlite3_bind_int64(s, 3, r.log->identity);
      sqlite3_bind_int64(s, 4, r.log->generation);
    }
    sqlite3_bind_int64(s, 14, r.log ? r.log->epoch : 0);
    sqlite3_bind_int64(s, 5, r.index);
    const std::int32_t fields[] = {r.person, r.year, r.month, r.day, r.hour, r.minute};
    for (int i = 0; i < 6; ++i) sqlite3_bind_int(s, 6 + i, fields[i]);
    sqlite3_bind_text(s, 12, r.reason.c_str(), -1, SQLITE_TRANSIENT);
    const std::string seen = r.first_seen.empty() ? UtcNowText() : r.first_seen;
    sqlite3_bind_text(s, 13, seen.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 15, r.site.c_str(), -1, SQLITE_TRANSIENT);
    bool added = false;
    while (c_.Step(s, "keeping a rejected record") == SQLITE_ROW) added = true;
    insert.reset();
    transaction.Commit();
    return added;
  }

  std::vector<EnrolmentEntry> Enrolments(const std::optional<std::string>& site) const override {
    const bool one_site = site && version_ >= 20;  // before sites every row is of no site
    StatementPtr stmt = c_.Prepare(one_site ? sql::kSiteEnrolments.sqlite() : sql::kEnrolments.sqlite());
    std::vector<EnrolmentEntry> result;
    sqlite3_stmt* s = stmt.get();
    if (one_site) sqlite3_bind_text(s, 1, site->c_str(), -1, SQLITE_TRANSIENT);
    while (c_.Step(s, "reading the enrolment table") == SQLITE_ROW) {
      EnrolmentEntry e;
      if (sqlite3_column_type(s, 0) != SQLITE_NULL) e.person = static_cast<std::int32_t>(sqlite3_column_int64(s, 0));
      if (sqlite3_column_type(s, 1) != SQLITE_NULL) e.kind = sqlite3_column_int64(s, 1);
      if (sqlite3_column_type(s, 2) != SQLITE_NULL) e.terminal = sqlite3_column_int64(s, 2);
      result.push_back(e);
    }
    return result;
  }

  std::vector<RejectedRecord> Rejected(const std::optional<std::string>& site) const override {
    StatementPtr stmt = c_.Prepare(SqliteText(sql::RejectedSql(version_, site.has_value())));
    if (site) sqlite3_bind_text(stmt.get(), 1, site->data(), static_cast<int>(site->size()), SQLITE_STATIC);
    std::vector<RejectedRecord> result;
    sqlite3_stmt* s = stmt.get();
    while (c_.Step(s, "reading rejected records") == SQLITE_ROW) {
      RejectedRecord r;
      r.port = sqlite3_column_int(s, 0);
      r.terminal = sqlite3_column_int(s, 1);
      if (sqlite3_column_type(s, 2) != SQLITE_NULL)
        r.log = LogKey{static_cast<std::uint32_t>(sqlite3_column_int64(s, 2)),
                       static_cast<std::uint32_t>(sqlite3_column_int64(s, 3)),
                       static_cast<std::uint32_t>(sqlite3_column_int64(s, 13))};
      r.index = static_cast<std::uint32_t>(sqlite3_column_int64(s, 4));
      r.person = sqlite3_column_int(s, 5);
      r.year = sqlite3_column_int(s, 6);
      r.month = sqlite3_column_int(s, 7);
      r.day = sqlite3_column_int(s, 8);
      r.hour = sqlite3_column_int(s, 9);
      r.minute = sqlite3_column_int(s, 10);
      r.reason = Text(s, 11);
      r.first_seen = Text(s, 12);
      r.site = Text(s, 14);
      result.push_back(std::move(r));
    }
    return result;
  }

  std::int64_t Count(const SwipeQuery& query) const override {
    SqlFilter filter = BuildFilter(query, Engine::Sqlite);
    StatementPtr stmt = c_.Prepare(CountSwipesSql(filter));
    Bind(stmt.get(), filter);
    c_.Step(stmt.get(), "counting swipes");
    return sqlite3_column_int64(stmt.get(), 0);
  }

  PeopleImport PutPeople(std::span<const PersonName> people) override { return Put(people, nullptr); }
  PeopleImport PutPeopleAudited(std::span<const PersonName> people, const AuditNote& audit) override {
    return Put(people, &audit);
  }

  PeopleImport Put(std::span<const PersonName> people, const AuditNote* audit) {
    PeopleImport result;
    if (people.empty() && !audit) return result;
    WriteTransaction transaction(c_, "storing people");
    StatementPtr read = c_.Prepare(sql::kPersonHeld.sqlite());
    StatementPtr insert = c_.Prepare(sql::kAddPerson.sqlite());
    StatementPtr update = c_.Prepare(sql::kUpdatePerson.sqlite());
    for (const PersonName& p : people) {
      sqlite3_reset(read.get());
      sqlite3_bind_int(read.get(), 1, p.person);
      sqlite3_bind_text(read.get(), 2, p.site.data(), static_cast<int>(p.site.size()), SQLITE_STATIC);
      sqlite3_stmt* write = insert.get();
      if (c_.Step(read.get(), "reading people") == SQLITE_ROW) {
        if (Text(read.get(), 0) == p.name && Text(read.get(), 1) == p.department &&
            Text(read.get(), 2) == p.employee_code) {
          ++result.unchanged;
          continue;
        }
        write = update.get();
        ++result.updated;
      } else {
        ++result.added;
      }
      sqlite3_reset(write);
      sqlite3_bind_int(write, 1, p.person);
      sqlite3_bind_text(write, 2, p.name.data(), static_cast<int>(p.name.size()), SQLITE_STATIC);
      sqlite3_bind_text(write, 3, p.department.data(), static_cast<int>(p.department.size()), SQLITE_STATIC);
      sqlite3_bind_text(write, 4, p.site.data(), static_cast<int>(p.site.size()), SQLITE_STATIC);
      sqlite3_bind_text(write, 5, p.employee_code.data(), static_cast<int>(p.employee_code.size()), SQLITE_STATIC);
      c_.Step(write, "storing people");
    }
    read.reset();
    insert.reset();
    update.reset();
    if (audit) {
      StatementPtr note = c_.Prepare(sql::kInsertAudit.sqlite());
      const std::string details = AuditDetails(*audit, result);
      for (auto [at, text] : {std::pair{1, &audit->at}, std::pair{2, &audit->actor}, std::pair{3, &audit->origin},
                              std::pair{4, &audit->action}, std::pair{5, &details}})
        sqlite3_bind_text(note.get(), at, text->data(), static_cast<int>(text->size()), SQLITE_STATIC);
      c_.Step(note.get(), "writing the audit trail");
    }
    transaction.Commit();
    return result;
  }

  static PersonName PersonOf(sqlite3_stmt* s) {
    return {sqlite3_column_int(s, 0), Text(s, 1), Text(s, 2), Text(s, 3), Text(s, 4)};
  }

  std::vector<PersonName> People(const std::optional<std::string>& site) const override {
    StatementPtr stmt = c_.Prepare(SqliteText(sql::PeopleSql(version_, site.has_value())));
    if (site) sqlite3_bind_text(stmt.get(), 1, site->data(), static_cast<int>(site->size()), SQLITE_STATIC);
    std::vector<PersonName> people;
    while (c_.Step(stmt.get(), "reading people") == SQLITE_ROW) people.push_back(PersonOf(stmt.get()));
    return people;
  }

  std::vector<PersonName> PeopleAmong(std::span<const std::int32_t> persons,
                                      const std::optional<std::string>& site) const override {
    std::vector<PersonName> people;
    const std::vector<std::int32_t> wanted = DistinctPersons(persons);
    for (std::size_t at = 0; at < wanted.size(); at += kPersonsPerQuery) {
      const std::size_t n = std::min(kPersonsPerQuery, wanted.size() - at);
      StatementPtr stmt = c_.Prepare(SqliteText(sql::PeopleAmongSql(n, site.has_value(), version_)));
      for (std::size_t i = 0; i < n; ++i) sqlite3_bind_int(stmt.get(), static_cast<int>(i + 1), wanted[at + i]);
      if (site)
        sqlite3_bind_text(stmt.get(), static_cast<int>(n + 1), site->data(), static_cast<int>(site->size()),
                          SQLITE_STATIC);
      while (c_.Step(stmt.get(), "reading people") == SQLITE_ROW) people.push_back(PersonOf(stmt.get()));
    }
    return people;
  }

  std::vector<std::string> Departments(const std::optional<std::string>& site) const override {
    StatementPtr stmt = c_.Prepare(site ? sql::kSiteDepartments.sqlite() : sql::kDepartments.sqlite());
    if (site) sqlite3_bind_text(stmt.get(), 1, site->data(), static_cast<int>(site->size()), SQLITE_STATIC);
    std::vector<std::string> departments;
    while (c_.Step(stmt.get(), "reading departments") == SQLITE_ROW) departments.push_back(Text(stmt.get(), 0));
    std::sort(departments.begin(), departments.end());
    return departments;
  }

  void Each(const SwipeQuery& query, const std::function<bool(const StoredSwipe&)>& row) const override {
    SqlFilter filter = BuildFilter(query, Engine::Sqlite);
    StatementPtr stmt = c_.Prepare(SwipesSql(version_, filter, query));
    Bind(stmt.get(), filter);
    sqlite3_stmt* s = stmt.get();
    while (c_.Step(s, "reading swipes") == SQLITE_ROW)
      if (!row(SqliteStoredSwipe(s, 0))) break;
  }

  void EachBrief(const SwipeQuery& query, const std::function<bool(const BriefSwipe&)>& row) const override {
    SqlFilter filter = BriefFilter(query, Engine::Sqlite);
    StatementPtr stmt = c_.Prepare(BriefSwipesSql(filter));
    Bind(stmt.get(), filter);
    sqlite3_stmt* s = stmt.get();
    BriefSwipe swipe;
    while (c_.Step(s, "reading swipes") == SQLITE_ROW) {
      swipe.time = Text(s, 1);
      swipe.person = Whole(s, 0, "person");
      swipe.port = Whole(s, 2, "port");
      swipe.terminal = Whole(s, 3, "terminal");
      if (!row(swipe)) break;
    }
  }

  std::vector<std::int32_t> PersonsWithSwipes(const SwipeQuery& query) const override {
    SqlFilter filter = BriefFilter(query, Engine::Sqlite);
    StatementPtr stmt = c_.Prepare(SwipePersonsSql(filter));
    Bind(stmt.get(), filter);
    std::vector<std::int32_t> persons;
    while (c_.Step(stmt.get(), "reading who swiped") == SQLITE_ROW) persons.push_back(Whole(stmt.get(), 0, "person"));
    return persons;
  }

 private:
  // Column `i` of a brief swipe (person, swipe_time, port, terminal) as a whole number: SQLite
  // keeps any value a column is given, so text, a fraction or NULL is refused, not read as 0.
  int Whole(sqlite3_stmt* s, int i, const char* column) const {
    if (sqlite3_column_type(s, i) == SQLITE_INTEGER) {
      const sqlite3_int64 value = sqlite3_column_int64(s, i);
      if (value >= INT32_MIN && value <= INT32_MAX) return static_cast<int>(value);
    }
    const std::string held = sqlite3_column_type(s, i) == SQLITE_NULL ? "NULL" : Text(s, i);
    throw NotAWholeNumber(c_.path, column, held, Text(s, 1),
                          sqlite3_column_type(s, 0) == SQLITE_NULL ? "NULL" : Text(s, 0));
  }

  // Where `log`'s epoch begins (epoch 0: at 0).
  std::int64_t FirstIndex(const LogKey& log) const {
    if (log.epoch == 0) return 0;
    StatementPtr stmt =
        c_.Prepare("SELECT first_index FROM log_epochs WHERE identity = ?1 AND generation = ?2 AND epoch = ?3");
    sqlite3_bind_int64(stmt.get(), 1, log.identity);
    sqlite3_bind_int64(stmt.get(), 2, log.generation);
    sqlite3_bind_int64(stmt.get(), 3, log.epoch);
    if (c_.Step(stmt.get(), "finding where an epoch of a terminal's log begins") == SQLITE_ROW)
      return sqlite3_column_int64(stmt.get(), 0);
    return 0;
  }

  // A store opened for reading (it may hold an older schema) stores nothing.
  void RefuseWhenReading(const std::string& step) const {
    if (sqlite3_db_readonly(c_.db.get(), "main") == 1)
      throw StoreError(StoreFailure::ReadOnly, Message("database {0} is opened for reading ({1})", {c_.path, step}));
  }

  Connection c_;
  int version_ = 0;
  StatementPtr insert_, held_, count_, changed_;
};

}  // namespace

namespace {

std::string Seconds(std::chrono::steady_clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
  return text;
}

// The folder of `path`, locked (flock) by one process at a time while it creates a database
// there, switches it to the WAL journal or brings its schema up to date: two processes opening
// one new database at once take turns instead of racing for SQLite's locks (where SQLite gives
// up at once rather than wait). The folder itself is locked, so no lock file is left behind
// and no second descriptor of the database file is opened (closing one would drop SQLite's own
// locks). A folder this process cannot open for reading is not locked.
class CreationLock {
 public:
  // Waits up to `timeout` for the lock; with `try_only`, takes it only if it is free (held()
  // says whether it was taken).
  CreationLock(const std::string& path, std::chrono::milliseconds timeout, bool try_only = false) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    if (try_only) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
      }
      return;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    auto pause = std::chrono::milliseconds(1);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error != EWOULDBLOCK && error != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
      const Clock::duration waited = Clock::now() - start;
      if (waited >= timeout) {
        ::close(fd_);
        fd_ = -1;
        throw StoreError(StoreFailure::Locked,
                         Message("database {0} is being created or brought up to date by another process (gave up after {1})",
                                {path, Seconds(waited)}));
      }
      std::this_thread::sleep_for(
          std::min<Clock::duration>(pause, timeout - waited));
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
  }
  ~CreationLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  CreationLock(const CreationLock&) = delete;
  CreationLock& operator=(const CreationLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Removes what a creation of `path` killed midway left beside it: the database made aside
// (`path`.new-XXXXXX, as CreateSqliteDatabase names it) and its journals. Only under the
// folder's CreationLock, which every creation holds from making its file aside until it is
// gone: so no process is using them. A file that cannot be removed stays (it is no failure).
void RemoveLeftoverAsideFiles(const std::string& path) {
  const std::filesystem::path database(path);
  std::filesystem::path folder = database.parent_path();
  if (folder.empty()) folder = ".";
  const std::string stem = database.filename().string() + ".new-";
  std::error_code ec;
  std::vector<std::filesystem::path> leftovers;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < stem.size() + 6 || name.compare(0, stem.size(), stem) != 0) continue;
    const std::string tail = name.substr(stem.size() + 6);
    if (!std::all_of(name.begin() + static_cast<std::ptrdiff_t>(stem.size()),
                     name.begin() + static_cast<std::ptrdiff_t>(stem.size() + 6),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
      continue;
    if (tail.empty() || tail == "-wal" || tail == "-shm" || tail == "-journal") leftovers.push_back(it->path());
  }
  for (const std::filesystem::path& file : leftovers) std::filesystem::remove(file, ec);
}

// Removes the files of a database made aside that was not moved into place.
class AsideFiles {
 public:
  explicit AsideFiles(std::string path) : path_(std::move(path)) {}
  ~AsideFiles() {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((path_ + suffix).c_str());
  }
  AsideFiles(const AsideFiles&) = delete;
  AsideFiles& operator=(const AsideFiles&) = delete;

 private:
  std::string path_;
};

// Creates the database `path` in one step: made aside in its folder (DatabaseFileMode, whatever
// the umask, in the WAL journal, with its whole schema), then moved into place without replacing
// anything there. Someone else having created it meanwhile is no failure: theirs stays. Nothing
// of the attempt is left behind when it fails.
void CreateSqliteDatabase(const std::string& path, std::chrono::milliseconds lock_timeout) {
  std::string aside = path + ".new-XXXXXX";
  const int fd = ::mkstemp(aside.data());
  if (fd < 0) throw StoreError(StoreFailure::Other, Message("cannot create database {0}: {1}", {path, std::strerror(errno)}));
  AsideFiles remove(aside);
  const bool moded = ::fchmod(fd, kDatabaseFileMode) == 0;
  const int error = errno;
  ::close(fd);
  if (!moded) throw StoreError(StoreFailure::Other, Message("cannot set the mode of database {0}: {1}", {path, std::strerror(error)}));
  {
    Connection c = OpenConnection(aside, SQLITE_OPEN_READWRITE, lock_timeout);
    StatementPtr wal = c.Prepare("PRAGMA journal_mode=WAL");
    c.Step(wal.get(), "switching to the WAL journal");
    wal.reset();
    SqliteSwipeStore store(std::move(c));
    store.Migrate();
  }  // closed: its journal is written back and removed
  if (::link(aside.c_str(), path.c_str()) != 0) {
    const int failed = errno;
    if (failed == EEXIST) return;
    // A file system without hard links: a rename that never replaces.
    if (::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0 && errno != EEXIST)
      throw StoreError(StoreFailure::Other, Message("cannot create database {0}: {1}", {path, std::strerror(failed)}));
  }
}

// The journal mode and schema version of the open database, read without writing.
bool Ready(const Connection& c, int* version) {
  StatementPtr mode = c.Prepare("PRAGMA journal_mode");
  c.Step(mode.get(), "reading the journal mode");
  if (Text(mode.get(), 0) != "wal") return false;
  mode.reset();
  StatementPtr has = c.Prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'");
  c.Step(has.get(), "reading the list of tables");
  if (sqlite3_column_int64(has.get(), 0) == 0) return false;
  has.reset();
  StatementPtr read = c.Prepare(sql::kSchemaVersion.sqlite());
  c.Step(read.get(), "reading the schema version");
  *version = sqlite3_column_int(read.get(), 0);
  return *version == LatestSchemaVersion();
}

}  // namespace

std::unique_ptr<SwipeStore> OpenSqliteStore(const std::string& path, const OpenOptions& options) {
  CheckFile(path, options.create);
  std::optional<Connection> c;
  int version = 0;
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    // A database in use: ready as it is, without the creation lock. (Opened without creating:
    // should it have gone meanwhile, it is created under the lock below.)
    try {
      c = OpenConnection(path, SQLITE_OPEN_READWRITE, options.lock_timeout);
    } catch (const StoreError&) {
      c.reset();
    }
  }
  if (c) {
    if (sqlite3_db_readonly(c->db.get(), "main") == 1)
      throw StoreError(StoreFailure::ReadOnly, Message("database {0} is read-only", {path}));
    if (Ready(*c, &version)) {
      {
        // Leftovers of a creation killed midway go when no process is creating here.
        CreationLock free(path, options.lock_timeout, /*try_only=*/true);
        if (free.held()) RemoveLeftoverAsideFiles(path);
      }
      c->Exec("PRAGMA synchronous=NORMAL", "setting up the connection");
      auto store = std::make_unique<SqliteSwipeStore>(std::move(*c));
      store->SetVersion(version);
      return store;
    }
  }
  CreationLock lock(path, options.lock_timeout);
  if (lock.held()) RemoveLeftoverAsideFiles(path);
  if (!c) {
    if (options.create && !std::filesystem::exists(path, ec)) CreateSqliteDatabase(path, options.lock_timeout);
    c = OpenConnection(path, SQLITE_OPEN_READWRITE, options.lock_timeout);
    if (sqlite3_db_readonly(c->db.get(), "main") == 1)
      throw StoreError(StoreFailure::ReadOnly, Message("database {0} is read-only", {path}));
  }
  {
    // Switching needs the database to itself: only when it is not in WAL mode already, so a
    // store opened while another process writes does not wait for it.
    StatementPtr mode = c->Prepare("PRAGMA journal_mode");
    c->Step(mode.get(), "reading the journal mode");
    const std::string current = Text(mode.get(), 0);
    mode.reset();
    if (current != "wal") {
      StatementPtr wal = c->Prepare("PRAGMA journal_mode=WAL");
      c->Step(wal.get(), "switching to the WAL journal");
    }
  }
  c->Exec("PRAGMA synchronous=NORMAL", "setting up the connection");
  auto store = std::make_unique<SqliteSwipeStore>(std::move(*c));
  store->Migrate();
  return store;
}

std::unique_ptr<SwipeStore> OpenSqliteSwipesReady(const std::string& path, std::chrono::milliseconds lock_timeout,
                                                  int version) {
  Connection c = OpenConnection(path, SQLITE_OPEN_READWRITE, lock_timeout);
  if (sqlite3_db_readonly(c.db.get(), "main") == 1)
    throw StoreError(StoreFailure::ReadOnly, Message("database {0} is read-only", {path}));
  c.Exec("PRAGMA synchronous=NORMAL", "setting up the connection");
  auto store = std::make_unique<SqliteSwipeStore>(std::move(c));
  store->SetVersion(version);
  return store;
}

std::vector<std::string> FilesReadableByOthers(const std::string& location) {
  std::vector<std::string> readable;
  if (IsDatabaseUrl(location)) return readable;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string file = location + suffix;
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
      if (errno != ENOENT) throw StoreError(StoreFailure::Other, Message("cannot read the mode of {0}: {1}", {file, std::strerror(errno)}));
      if (*suffix == '\0') break;  // no database: nothing to tell
      continue;
    }
    if (info.st_mode & S_IROTH) readable.push_back(file);
  }
  return readable;
}

std::unique_ptr<SwipeStore> OpenSqliteStoreForReading(const std::string& path, std::chrono::milliseconds lock_timeout) {
  if (path.empty()) throw StoreError(StoreFailure::Invalid, Message("database path is empty"));
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) throw StoreError(StoreFailure::Missing, Message("database {0} does not exist", {path}));
    throw StoreError(StoreFailure::Other, Message("database {0}: {1}", {path, std::strerror(errno)}));
  }
  if (S_ISDIR(info.st_mode)) throw StoreError(StoreFailure::Invalid, Message("database {0} is a folder, not a file", {path}));
  auto store = std::make_unique<SqliteSwipeStore>(OpenConnection(path, SQLITE_OPEN_READONLY, lock_timeout, /*for_reading=*/true));
  store->ReadVersionOnly();
  return store;
}

bool SqliteHasTable(const std::string& path, const std::string& table, std::chrono::milliseconds lock_timeout) {
  if (path.empty()) throw StoreError(StoreFailure::Invalid, Message("database path is empty"));
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) throw StoreError(StoreFailure::Missing, Message("database {0} does not exist", {path}));
    throw StoreError(StoreFailure::Other, Message("database {0}: {1}", {path, std::strerror(errno)}));
  }
  if (S_ISDIR(info.st_mode)) throw StoreError(StoreFailure::Invalid, Message("database {0} is a folder, not a file", {path}));
  Connection c = OpenConnection(path, SQLITE_OPEN_READONLY, lock_timeout, /*for_reading=*/true);
  StatementPtr query = c.Prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1");
  sqlite3_bind_text(query.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  c.Step(query.get(), "reading the list of tables");
  return sqlite3_column_int64(query.get(), 0) > 0;
}

}  // namespace vanto::store
