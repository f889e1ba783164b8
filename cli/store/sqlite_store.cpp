#include "cli/store/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>

#include "platform/ado/sqlite_readonly.h"
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "cli/store/civil_time.h"
#include "cli/store/schema.h"

namespace vanto::store {
namespace {

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, Finalize>;

// The connection with the path and lock wait every message names.
struct Connection {
  Database db;
  std::string path;
  std::chrono::milliseconds lock_wait{0};

  [[noreturn]] void Fail(int rc, const std::string& step) const { ThrowSqlite(db.get(), rc, path, step, lock_wait); }
  StatementPtr Prepare(const std::string& sql) const {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db.get(), sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
    StatementPtr stmt(raw);
    if (rc != SQLITE_OK) Fail(rc, "preparing a query");
    return stmt;
  }
  // SQLITE_ROW or SQLITE_DONE; anything else throws.
  int Step(sqlite3_stmt* stmt, const std::string& step) const {
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(rc, step);
    return rc;
  }
  void Exec(const char* sql, const std::string& step) const {
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
  if (path.empty()) throw StoreError(StoreFailure::Invalid, "database path is empty");
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) throw StoreError(StoreFailure::Other, "database " + path + ": " + std::strerror(errno));
    if (!create) throw StoreError(StoreFailure::Missing, "database " + path + " does not exist");
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
      throw StoreError(StoreFailure::Missing,
                       "cannot create database " + path + ": folder " + folder.string() + " does not exist");
    return;
  }
  if (S_ISDIR(info.st_mode)) throw StoreError(StoreFailure::Invalid, "database " + path + " is a folder, not a file");
  // A file without any write permission is read-only here even for a user whom the system
  // would let write it (root): its owner made it so on purpose.
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path.c_str(), W_OK) != 0)
    throw StoreError(StoreFailure::ReadOnly, "database " + path + " is read-only");
}

Connection OpenConnection(const std::string& path, int flags, std::chrono::milliseconds lock_timeout,
                          bool for_reading = false) {
  sqlite3* raw = nullptr;
  // Reading only also works on a WAL database in a folder this process cannot write.
  int rc = for_reading ? vanto::sqlite::OpenForReading(path, &raw) : sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Connection c{Database(raw), path, lock_timeout};
  if (rc != SQLITE_OK) {
    std::string detail = raw ? sqlite3_errmsg(raw) : "out of memory";
    throw StoreError(StoreFailure::Other, "cannot open database " + path + ": " + detail);
  }
  sqlite3_extended_result_codes(raw, 1);
  long long ms = lock_timeout.count();
  sqlite3_busy_timeout(raw, ms < 0 ? 0 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms));
  return c;
}

std::string Text(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

void Bind(sqlite3_stmt* stmt, const SqlFilter& filter) {
  for (std::size_t i = 0; i < filter.values.size(); ++i) {
    int index = static_cast<int>(i + 1);
    if (const auto* number = std::get_if<std::int64_t>(&filter.values[i]))
      sqlite3_bind_int64(stmt, index, *number);
    else
      sqlite3_bind_text(stmt, index, std::get<std::string>(filter.values[i]).c_str(), -1, SQLITE_TRANSIENT);
  }
}

class SqliteSwipeStore final : public SwipeStore {
 public:
  explicit SqliteSwipeStore(Connection c) : c_(std::move(c)) {}

  const std::string& location() const override { return c_.path; }
  int schema_version() const override { return version_; }

  // Reads the schema version without writing: 0 for a database from before recorded versions.
  void ReadVersionOnly() {
    auto has = [&](const char* table) {
      StatementPtr query = c_.Prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1");
      sqlite3_bind_text(query.get(), 1, table, -1, SQLITE_STATIC);
      c_.Step(query.get(), "reading the list of tables");
      return sqlite3_column_int64(query.get(), 0) > 0;
    };
    if (!has("swipes"))
      throw StoreError(StoreFailure::Invalid, "database " + c_.path + " holds no swipes (not a vanto database?)");
    version_ = 0;
    if (has("schema_version")) {
      StatementPtr read = c_.Prepare("SELECT coalesce(max(version), 0) FROM schema_version");
      c_.Step(read.get(), "reading the schema version");
      version_ = sqlite3_column_int(read.get(), 0);
    }
    CheckReadableSchema(c_.path, version_);
  }

  // Takes the schema steps the database lacks, in one write transaction.
  void Migrate() {
    WriteTransaction transaction(c_, "bringing the schema up to date");
    c_.Exec(SchemaVersionTableSql(Engine::Sqlite), "bringing the schema up to date");
    StatementPtr read = c_.Prepare("SELECT coalesce(max(version), 0) FROM schema_version");
    c_.Step(read.get(), "reading the schema version");
    version_ = sqlite3_column_int(read.get(), 0);
    read.reset();
    if (version_ > LatestSchemaVersion()) throw StoreError(StoreFailure::NewerSchema, NewerSchemaMessage(c_.path, version_));
    for (const SchemaStep& step : SchemaSteps()) {
      if (step.version <= version_) continue;
      c_.Exec(SchemaStepSql(step, Engine::Sqlite), "bringing the schema to version " + std::to_string(step.version));
      StatementPtr record = c_.Prepare("INSERT INTO schema_version (version, what, applied_at) VALUES (?1, ?2, ?3)");
      sqlite3_bind_int(record.get(), 1, step.version);
      sqlite3_bind_text(record.get(), 2, step.what, -1, SQLITE_STATIC);
      std::string now = UtcNowText();
      sqlite3_bind_text(record.get(), 3, now.c_str(), -1, SQLITE_TRANSIENT);
      c_.Step(record.get(), "recording the schema version");
      version_ = step.version;
    }
    transaction.Commit();
  }

  std::vector<bool> Insert(std::span<const StoredSwipe> rows) override {
    std::vector<bool> added(rows.size(), false);
    if (rows.empty()) return added;
    RefuseWhenReading("storing swipes");
    WriteTransaction transaction(c_, "storing swipes");
    if (!insert_)
      insert_ = c_.Prepare(std::string("INSERT INTO swipes (") + kSwipeColumns +
                           ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) ON CONFLICT DO NOTHING");
    // A row stored before its terminal told its identity gets it when the same swipe comes again
    // (matched by the old key), instead of a second row. A batch may hold several terminals' rows
    // (a copy between databases does): each terminal of the batch is looked at.
    StatementPtr adopt;
    {
      std::set<std::pair<int, int>> asked;
      StatementPtr any;
      for (const StoredSwipe& r : rows) {
        if (adopt) break;
        if (!r.identity || !asked.emplace(r.port, r.terminal).second) continue;
        if (!any)
          any = c_.Prepare("SELECT 1 FROM swipes WHERE identity IS NULL AND port = ?1 AND terminal = ?2 LIMIT 1");
        sqlite3_reset(any.get());
        sqlite3_bind_int(any.get(), 1, r.port);
        sqlite3_bind_int(any.get(), 2, r.terminal);
        if (c_.Step(any.get(), "looking for rows without identity") == SQLITE_ROW)
          adopt = c_.Prepare(
              "UPDATE OR IGNORE swipes SET identity = ?1, generation = ?2, record_index = ?3 WHERE identity IS NULL "
              "AND port = ?4 AND terminal = ?5 AND person = ?6 AND minute = ?7 AND occurrence = ?8");
      }
    }
    sqlite3_stmt* s = insert_.get();
    auto optional = [](sqlite3_stmt* stmt, int at, const std::optional<std::uint32_t>& value) {
      if (value)
        sqlite3_bind_int64(stmt, at, *value);
      else
        sqlite3_bind_null(stmt, at);
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const StoredSwipe& r = rows[i];
      if (adopt && r.identity) {
        sqlite3_stmt* a = adopt.get();
        sqlite3_reset(a);
        optional(a, 1, r.identity);
        optional(a, 2, r.generation);
        optional(a, 3, r.index);
        sqlite3_bind_int(a, 4, r.port);
        sqlite3_bind_int(a, 5, r.terminal);
        sqlite3_bind_int(a, 6, r.person);
        sqlite3_bind_text(a, 7, r.minute.data(), static_cast<int>(r.minute.size()), SQLITE_STATIC);
        sqlite3_bind_int(a, 8, r.occurrence);
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
      int rc = sqlite3_step(s);
      if (rc != SQLITE_DONE) {
        sqlite3_reset(s);
        c_.Fail(rc, "storing swipes");
      }
      added[i] = sqlite3_changes(c_.db.get()) > 0;
    }
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    adopt.reset();
    transaction.Commit();
    return added;
  }

  int CountEarlier(const LogKey& log, std::int32_t person, const std::string& minute,
                   std::uint32_t before) const override {
    StatementPtr stmt = c_.Prepare(
        "SELECT count(*) FROM swipes INDEXED BY swipes_occurrence WHERE identity = ?1 AND generation = ?2 "
        "AND person = ?3 AND minute = ?4 AND record_index < ?5");
    sqlite3_bind_int64(stmt.get(), 1, log.identity);
    sqlite3_bind_int64(stmt.get(), 2, log.generation);
    sqlite3_bind_int(stmt.get(), 3, person);
    sqlite3_bind_text(stmt.get(), 4, minute.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt.get(), 5, before);
    c_.Step(stmt.get(), "counting earlier swipes");
    return static_cast<int>(sqlite3_column_int64(stmt.get(), 0));
  }

  LogCoverage Coverage(const LogKey& log) const override {
    LogCoverage coverage;
    StatementPtr held = c_.Prepare("SELECT held FROM log_records WHERE identity = ?1 AND generation = ?2");
    sqlite3_bind_int64(held.get(), 1, log.identity);
    sqlite3_bind_int64(held.get(), 2, log.generation);
    if (c_.Step(held.get(), "counting the records of a terminal") == SQLITE_ROW)
      coverage.count = sqlite3_column_int64(held.get(), 0);
    for (const char* sql : {"SELECT max(record_index) FROM swipes WHERE identity = ?1 AND generation = ?2",
                            "SELECT max(record_index) FROM rejected_records WHERE identity = ?1 AND generation = ?2"}) {
      StatementPtr last = c_.Prepare(sql);
      sqlite3_bind_int64(last.get(), 1, log.identity);
      sqlite3_bind_int64(last.get(), 2, log.generation);
      c_.Step(last.get(), "finding the last record of a terminal");
      if (sqlite3_column_type(last.get(), 0) != SQLITE_NULL)
        coverage.next = std::max<std::int64_t>(coverage.next, sqlite3_column_int64(last.get(), 0) + 1);
    }
    return coverage;
  }

  std::vector<std::pair<std::uint32_t, std::uint32_t>> Missing(const LogKey& log, std::uint32_t held,
                                                               std::size_t limit) const override {
    StatementPtr stmt = c_.Prepare(
        "SELECT record_index FROM swipes WHERE identity = ?1 AND generation = ?2 AND record_index < ?3 "
        "UNION SELECT record_index FROM rejected_records WHERE identity = ?1 AND generation = ?2 "
        "AND record_index < ?3 ORDER BY 1");
    sqlite3_bind_int64(stmt.get(), 1, log.identity);
    sqlite3_bind_int64(stmt.get(), 2, log.generation);
    sqlite3_bind_int64(stmt.get(), 3, held);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> missing;
    std::int64_t expected = 0;
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
    StatementPtr insert = c_.Prepare(
        "INSERT INTO rejected_records (port, terminal, identity, generation, record_index, person, year, month, day, "
        "hour, minute, reason, first_seen) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13) "
        "ON CONFLICT DO NOTHING");
    sqlite3_stmt* s = insert.get();
    sqlite3_bind_int(s, 1, r.port);
    sqlite3_bind_int(s, 2, r.terminal);
    if (r.log) {
      sqlite3_bind_int64(s, 3, r.log->identity);
      sqlite3_bind_int64(s, 4, r.log->generation);
    }
    sqlite3_bind_int64(s, 5, r.index);
    const std::int32_t fields[] = {r.person, r.year, r.month, r.day, r.hour, r.minute};
    for (int i = 0; i < 6; ++i) sqlite3_bind_int(s, 6 + i, fields[i]);
    sqlite3_bind_text(s, 12, r.reason.c_str(), -1, SQLITE_TRANSIENT);
    const std::string seen = r.first_seen.empty() ? UtcNowText() : r.first_seen;
    sqlite3_bind_text(s, 13, seen.c_str(), -1, SQLITE_TRANSIENT);
    c_.Step(s, "keeping a rejected record");
    const bool added = sqlite3_changes(c_.db.get()) > 0;
    insert.reset();
    transaction.Commit();
    return added;
  }

  std::vector<RejectedRecord> Rejected() const override {
    StatementPtr stmt = c_.Prepare(
        "SELECT port, terminal, identity, generation, record_index, person, year, month, day, hour, minute, reason, "
        "first_seen FROM rejected_records ORDER BY first_seen, identity, generation, record_index");
    std::vector<RejectedRecord> result;
    sqlite3_stmt* s = stmt.get();
    while (c_.Step(s, "reading rejected records") == SQLITE_ROW) {
      RejectedRecord r;
      r.port = sqlite3_column_int(s, 0);
      r.terminal = sqlite3_column_int(s, 1);
      if (sqlite3_column_type(s, 2) != SQLITE_NULL)
        r.log = LogKey{static_cast<std::uint32_t>(sqlite3_column_int64(s, 2)),
                       static_cast<std::uint32_t>(sqlite3_column_int64(s, 3))};
      r.index = static_cast<std::uint32_t>(sqlite3_column_int64(s, 4));
      r.person = sqlite3_column_int(s, 5);
      r.year = sqlite3_column_int(s, 6);
      r.month = sqlite3_column_int(s, 7);
      r.day = sqlite3_column_int(s, 8);
      r.hour = sqlite3_column_int(s, 9);
      r.minute = sqlite3_column_int(s, 10);
      r.reason = Text(s, 11);
      r.first_seen = Text(s, 12);
      result.push_back(std::move(r));
    }
    return result;
  }

  std::int64_t Count(const SwipeQuery& query) const override {
    SqlFilter filter = BuildFilter(query, Engine::Sqlite);
    StatementPtr stmt = c_.Prepare("SELECT count(*) FROM swipes" + filter.where);
    Bind(stmt.get(), filter);
    c_.Step(stmt.get(), "counting swipes");
    return sqlite3_column_int64(stmt.get(), 0);
  }

  PeopleImport PutPeople(std::span<const PersonName> people) override {
    PeopleImport result;
    if (people.empty()) return result;
    WriteTransaction transaction(c_, "storing people");
    StatementPtr read = c_.Prepare("SELECT name, department FROM people WHERE person = ?1");
    StatementPtr insert = c_.Prepare("INSERT INTO people (person, name, department) VALUES (?1, ?2, ?3)");
    StatementPtr update = c_.Prepare("UPDATE people SET name = ?2, department = ?3 WHERE person = ?1");
    for (const PersonName& p : people) {
      sqlite3_reset(read.get());
      sqlite3_bind_int(read.get(), 1, p.person);
      sqlite3_stmt* write = insert.get();
      if (c_.Step(read.get(), "reading people") == SQLITE_ROW) {
        if (Text(read.get(), 0) == p.name && Text(read.get(), 1) == p.department) {
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
      c_.Step(write, "storing people");
    }
    read.reset();
    insert.reset();
    update.reset();
    transaction.Commit();
    return result;
  }

  std::vector<PersonName> People() const override {
    StatementPtr stmt = c_.Prepare("SELECT person, name, department FROM people ORDER BY person");
    std::vector<PersonName> people;
    while (c_.Step(stmt.get(), "reading people") == SQLITE_ROW)
      people.push_back({sqlite3_column_int(stmt.get(), 0), Text(stmt.get(), 1), Text(stmt.get(), 2)});
    return people;
  }

  void Each(const SwipeQuery& query, const std::function<bool(const StoredSwipe&)>& row) const override {
    SqlFilter filter = BuildFilter(query, Engine::Sqlite);
    StatementPtr stmt = c_.Prepare(std::string("SELECT ") + kSwipeColumns + " FROM swipes" + filter.where + kSwipeOrder);
    Bind(stmt.get(), filter);
    sqlite3_stmt* s = stmt.get();
    while (c_.Step(s, "reading swipes") == SQLITE_ROW) {
      StoredSwipe swipe{sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2), Text(s, 3),
                        sqlite3_column_int(s, 4), Text(s, 5),           Text(s, 6), {}, {}, {}};
      for (int at = 7; at < 10; ++at) {
        if (sqlite3_column_type(s, at) == SQLITE_NULL) continue;
        const auto value = static_cast<std::uint32_t>(sqlite3_column_int64(s, at));
        (at == 7 ? swipe.identity : at == 8 ? swipe.generation : swipe.index) = value;
      }
      if (!row(swipe)) break;
    }
  }

 private:
  // A store opened for reading (it may hold an older schema) stores nothing.
  void RefuseWhenReading(const std::string& step) const {
    if (sqlite3_db_readonly(c_.db.get(), "main") == 1)
      throw StoreError(StoreFailure::ReadOnly, "database " + c_.path + " is opened for reading (" + step + ")");
  }

  Connection c_;
  int version_ = 0;
  StatementPtr insert_;
};

}  // namespace

std::unique_ptr<SwipeStore> OpenSqliteStore(const std::string& path, const OpenOptions& options) {
  CheckFile(path, options.create);
  Connection c = OpenConnection(path, SQLITE_OPEN_READWRITE | (options.create ? SQLITE_OPEN_CREATE : 0),
                                options.lock_timeout);
  if (sqlite3_db_readonly(c.db.get(), "main") == 1)
    throw StoreError(StoreFailure::ReadOnly, "database " + path + " is read-only");
  {
    // Switching needs the database to itself: only when it is not in WAL mode already, so a
    // store opened while another process writes does not wait for it.
    StatementPtr mode = c.Prepare("PRAGMA journal_mode");
    c.Step(mode.get(), "reading the journal mode");
    const std::string current = Text(mode.get(), 0);
    mode.reset();
    if (current != "wal") {
      StatementPtr wal = c.Prepare("PRAGMA journal_mode=WAL");
      c.Step(wal.get(), "switching to the WAL journal");
    }
  }
  c.Exec("PRAGMA synchronous=NORMAL", "setting up the connection");
  auto store = std::make_unique<SqliteSwipeStore>(std::move(c));
  store->Migrate();
  return store;
}

std::unique_ptr<SwipeStore> OpenSqliteStoreForReading(const std::string& path, std::chrono::milliseconds lock_timeout) {
  if (path.empty()) throw StoreError(StoreFailure::Invalid, "database path is empty");
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) throw StoreError(StoreFailure::Missing, "database " + path + " does not exist");
    throw StoreError(StoreFailure::Other, "database " + path + ": " + std::strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) throw StoreError(StoreFailure::Invalid, "database " + path + " is a folder, not a file");
  auto store = std::make_unique<SqliteSwipeStore>(OpenConnection(path, SQLITE_OPEN_READONLY, lock_timeout, /*for_reading=*/true));
  store->ReadVersionOnly();
  return store;
}

bool SqliteHasTable(const std::string& path, const std::string& table, std::chrono::milliseconds lock_timeout) {
  if (path.empty()) throw StoreError(StoreFailure::Invalid, "database path is empty");
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) throw StoreError(StoreFailure::Missing, "database " + path + " does not exist");
    throw StoreError(StoreFailure::Other, "database " + path + ": " + std::strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) throw StoreError(StoreFailure::Invalid, "database " + path + " is a folder, not a file");
  Connection c = OpenConnection(path, SQLITE_OPEN_READONLY, lock_timeout, /*for_reading=*/true);
  StatementPtr query = c.Prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1");
  sqlite3_bind_text(query.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  c.Step(query.get(), "reading the list of tables");
  return sqlite3_column_int64(query.get(), 0) > 0;
}

}  // namespace vanto::store
