#include "cli/store/record_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <filesystem>

namespace vanto::store {
namespace {

// Schema version 2: swipes keyed by (identity, generation, record_index) for terminals that tell
// their identity, by (port, terminal, person, minute, occurrence) for those that do not; records
// the driver could not convert, kept apart.
constexpr int kSchemaVersion = 2;
constexpr const char* kSwipesTable = R"sql(
CREATE TABLE IF NOT EXISTS swipes (
  port          INTEGER NOT NULL,  -- where the swipe was read (first)
  terminal      INTEGER NOT NULL,
  identity      INTEGER,           -- the terminal's serial number; NULL: a terminal without one
  generation    INTEGER,           -- its log generation
  record_index  INTEGER,           -- the record's index in that log
  person        INTEGER NOT NULL,
  minute        TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM
  occurrence    INTEGER NOT NULL,  -- k-th swipe of this person in this minute, in delivery order
  swipe_time    TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM:SS, as the terminal delivered it
  downloaded_at TEXT    NOT NULL   -- UTC time of the download that stored it
);
)sql";
constexpr const char* kSchema = R"sql(
CREATE UNIQUE INDEX IF NOT EXISTS swipes_record ON swipes (identity, generation, record_index)
  WHERE identity IS NOT NULL;
CREATE UNIQUE INDEX IF NOT EXISTS swipes_unidentified ON swipes (port, terminal, person, minute, occurrence)
  WHERE identity IS NULL;
CREATE INDEX IF NOT EXISTS swipes_occurrence ON swipes (identity, generation, person, minute, record_index)
  WHERE identity IS NOT NULL;
CREATE TABLE IF NOT EXISTS rejected_records (
  port          INTEGER NOT NULL,
  terminal      INTEGER NOT NULL,
  identity      INTEGER,           -- NULL: a terminal without one
  generation    INTEGER,
  record_index  INTEGER NOT NULL,
  person        INTEGER NOT NULL,  -- the raw fields, as the terminal holds them
  year          INTEGER NOT NULL,
  month         INTEGER NOT NULL,
  day           INTEGER NOT NULL,
  hour          INTEGER NOT NULL,
  minute        INTEGER NOT NULL,
  reason        TEXT    NOT NULL,
  first_seen    TEXT    NOT NULL   -- UTC time it was first rejected
);
CREATE UNIQUE INDEX IF NOT EXISTS rejected_record ON rejected_records (identity, generation, record_index)
  WHERE identity IS NOT NULL;
CREATE UNIQUE INDEX IF NOT EXISTS rejected_unidentified ON rejected_records (port, terminal, record_index)
  WHERE identity IS NULL;
-- How many records of each log the two tables hold, kept by triggers whatever changes them, so
-- that a sync learns whether the database holds a gap-free start of a log without counting.
CREATE TABLE IF NOT EXISTS log_records (
  identity   INTEGER NOT NULL,
  generation INTEGER NOT NULL,
  held       INTEGER NOT NULL,
  PRIMARY KEY (identity, generation)
) WITHOUT ROWID;
)sql";
// The triggers of log_records, per table.
constexpr const char* kCountTriggers = R"sql(
CREATE TRIGGER IF NOT EXISTS TABLE_counted AFTER INSERT ON TABLE WHEN NEW.identity IS NOT NULL BEGIN
  INSERT INTO log_records (identity, generation, held) VALUES (NEW.identity, NEW.generation, 1)
    ON CONFLICT (identity, generation) DO UPDATE SET held = held + 1;
END;
CREATE TRIGGER IF NOT EXISTS TABLE_uncounted AFTER DELETE ON TABLE WHEN OLD.identity IS NOT NULL BEGIN
  UPDATE log_records SET held = held - 1 WHERE identity = OLD.identity AND generation = OLD.generation;
END;
CREATE TRIGGER IF NOT EXISTS TABLE_recounted AFTER UPDATE OF identity, generation ON TABLE BEGIN
  UPDATE log_records SET held = held - 1
    WHERE OLD.identity IS NOT NULL AND identity = OLD.identity AND generation = OLD.generation;
  INSERT INTO log_records (identity, generation, held) SELECT NEW.identity, NEW.generation, 1
    WHERE NEW.identity IS NOT NULL ON CONFLICT (identity, generation) DO UPDATE SET held = held + 1;
END;
)sql";

std::string CountTriggers(const std::string& table) {
  std::string sql = kCountTriggers;
  for (std::size_t at = sql.find("TABLE"); at != std::string::npos; at = sql.find("TABLE", at + table.size()))
    sql.replace(at, 5, table);
  return sql;
}
// From schema 1 (no version set; swipes keyed by port, terminal, person, minute, occurrence):
// every row is kept, without identity; a later read of its terminal attaches identity and index.
constexpr const char* kMigrate1To2 = R"sql(
ALTER TABLE swipes RENAME TO swipes_schema1;
CREATE TABLE swipes (
  port INTEGER NOT NULL, terminal INTEGER NOT NULL, identity INTEGER, generation INTEGER, record_index INTEGER,
  person INTEGER NOT NULL, minute TEXT NOT NULL, occurrence INTEGER NOT NULL, swipe_time TEXT NOT NULL,
  downloaded_at TEXT NOT NULL
);
INSERT INTO swipes (port, terminal, person, minute, occurrence, swipe_time, downloaded_at)
  SELECT port, terminal, person, minute, occurrence, swipe_time, downloaded_at FROM swipes_schema1;
DROP TABLE swipes_schema1;
)sql";

std::string LockWait(std::chrono::milliseconds timeout) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(timeout.count()) / 1000.0);
  return text;
}

// Turns the connection's last error into a StoreError naming the database and the step.
std::chrono::milliseconds BusyTimeout(sqlite3* db);

[[noreturn]] void Fail(sqlite3* db, const std::string& path, const std::string& step) {
  int code = db ? (sqlite3_extended_errcode(db) & 0xFF) : SQLITE_CANTOPEN;
  std::string detail = db ? sqlite3_errmsg(db) : "cannot open";
  switch (code) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      throw StoreError(StoreFailure::Locked, "database " + path + " is locked by another process (gave up after " +
                                                 LockWait(BusyTimeout(db)) + " while " + step + ")");
    case SQLITE_READONLY:
      throw StoreError(StoreFailure::ReadOnly, "database " + path + " is read-only (" + step + ": " + detail + ")");
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      throw StoreError(StoreFailure::Invalid, "database " + path + " is not a usable database (" + detail + ")");
    default:
      throw StoreError(StoreFailure::Other, "database " + path + ": " + step + " failed: " + detail);
  }
}

class Statement {
 public:
  Statement(sqlite3* db, const std::string& path, const char* sql) : db_(db), path_(path) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail(db, path, "preparing a query");
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  // SQLITE_ROW or SQLITE_DONE; anything else throws.
  int Step(const char* step) {
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(db_, path_, step);
    return rc;
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

 private:
  sqlite3* db_;
  const std::string& path_;
  sqlite3_stmt* stmt_ = nullptr;
};

std::chrono::milliseconds BusyTimeout(sqlite3* db) {
  if (!db) return std::chrono::milliseconds(0);
  // sqlite keeps the timeout it was given; read it back through the pragma.
  sqlite3_stmt* stmt = nullptr;
  std::chrono::milliseconds result{0};
  if (sqlite3_prepare_v2(db, "PRAGMA busy_timeout", -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
    result = std::chrono::milliseconds(sqlite3_column_int64(stmt, 0));
  sqlite3_finalize(stmt);
  return result;
}

// One write transaction, taken at once (BEGIN IMMEDIATE) and rolled back unless committed.
class WriteTransaction {
 public:
  WriteTransaction(sqlite3* db, const std::string& path, const char* step) : db_(db), path_(path), step_(step) {
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
      Fail(db_, path_, step_);
  }
  void Commit() {
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db_, path_, step_);
    open_ = false;
  }
  ~WriteTransaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

 private:
  sqlite3* db_;
  const std::string& path_;
  const char* step_;
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

std::string Text(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

std::optional<std::uint32_t> OptionalU32(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  return static_cast<std::uint32_t>(sqlite3_column_int64(stmt, column));
}

void BindOptional(sqlite3_stmt* stmt, int index, std::optional<std::int64_t> value) {
  if (value)
    sqlite3_bind_int64(stmt, index, *value);
  else
    sqlite3_bind_null(stmt, index);
}

void BindFilter(sqlite3_stmt* stmt, std::optional<int> port, std::optional<int> terminal) {
  if (port) sqlite3_bind_int(stmt, 1, *port);
  if (terminal) sqlite3_bind_int(stmt, 2, *terminal);
}

std::string Where(std::optional<int> port, std::optional<int> terminal) {
  std::string where;
  if (port) where += " WHERE port = ?1";
  if (terminal) where += std::string(port ? " AND" : " WHERE") + " terminal = ?2";
  return where;
}

}  // namespace

RecordStore RecordStore::Open(const std::string& path, const OpenOptions& options) {
  CheckFile(path, options.create);
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | (options.create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    std::string detail = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw StoreError(StoreFailure::Other, "cannot open database " + path + ": " + detail);
  }
  RecordStore store(path, db);
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, static_cast<int>(options.lock_timeout.count()));
  if (sqlite3_db_readonly(db, "main") == 1) throw StoreError(StoreFailure::ReadOnly, "database " + path + " is read-only");
  {
    Statement wal(db, store.path_, "PRAGMA journal_mode=WAL");
    wal.Step("switching to the WAL journal");
  }
  if (sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK)
    Fail(db, store.path_, "setting up the connection");
  store.Migrate();
  return store;
}

void RecordStore::Migrate() {
  WriteTransaction transaction(db_, path_, "setting up the tables");
  int version = 0;
  {
    Statement query(db_, path_, "PRAGMA user_version");
    if (query.Step("reading the schema version") == SQLITE_ROW) version = sqlite3_column_int(query.get(), 0);
  }
  if (version > kSchemaVersion)
    throw StoreError(StoreFailure::Invalid, "database " + path_ + " has schema version " + std::to_string(version) +
                                                ", newer than this program knows (" + std::to_string(kSchemaVersion) + ")");
  if (version < kSchemaVersion) {
    bool old_swipes = false;
    {
      Statement query(db_, path_, "SELECT count(*) FROM pragma_table_info('swipes') WHERE name = 'identity'");
      Statement table(db_, path_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'swipes'");
      query.Step("reading the table layout");
      table.Step("reading the list of tables");
      old_swipes = sqlite3_column_int64(table.get(), 0) > 0 && sqlite3_column_int64(query.get(), 0) == 0;
    }
    const std::string steps = std::string(old_swipes ? kMigrate1To2 : kSwipesTable) + kSchema +
                              CountTriggers("swipes") + CountTriggers("rejected_records") +
                              "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
    if (sqlite3_exec(db_, steps.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db_, path_, "upgrading the tables");
  }
  transaction.Commit();
}

bool RecordStore::HasTable(const std::string& path, const std::string& table, std::chrono::milliseconds lock_timeout) {
  if (path.empty()) throw StoreError(StoreFailure::Invalid, "database path is empty");
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) throw StoreError(StoreFailure::Missing, "database " + path + " does not exist");
    throw StoreError(StoreFailure::Other, "database " + path + ": " + std::strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) throw StoreError(StoreFailure::Invalid, "database " + path + " is a folder, not a file");
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    std::string detail = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw StoreError(StoreFailure::Other, "cannot open database " + path + ": " + detail);
  }
  RecordStore reader(path, db);  // closes the connection on every way out
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, static_cast<int>(lock_timeout.count()));
  Statement query(db, reader.path_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1");
  sqlite3_bind_text(query.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  query.Step("reading the list of tables");
  return sqlite3_column_int64(query.get(), 0) > 0;
}

RecordStore::RecordStore(RecordStore&& other) noexcept : path_(std::move(other.path_)), db_(std::exchange(other.db_, nullptr)) {}

RecordStore& RecordStore::operator=(RecordStore&& other) noexcept {
  if (this != &other) {
    sqlite3_close(db_);
    path_ = std::move(other.path_);
    db_ = std::exchange(other.db_, nullptr);
  }
  return *this;
}

RecordStore::~RecordStore() { sqlite3_close(db_); }

void RecordStore::Execute(const std::string& sql) {
  WriteTransaction transaction(db_, path_, "writing");
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db_, path_, "writing");
  transaction.Commit();
}

std::vector<StoredSwipe> RecordStore::Swipes(std::optional<int> port, std::optional<int> terminal) const {
  std::string sql =
      "SELECT port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, record_index "
      "FROM swipes" +
      Where(port, terminal) + " ORDER BY port, terminal, swipe_time, person, occurrence";
  Statement query(db_, path_, sql.c_str());
  BindFilter(query.get(), port, terminal);
  std::vector<StoredSwipe> result;
  while (query.Step("reading swipes") == SQLITE_ROW) {
    sqlite3_stmt* s = query.get();
    result.push_back({sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2), Text(s, 3),
                      sqlite3_column_int(s, 4), Text(s, 5), Text(s, 6), OptionalU32(s, 7), OptionalU32(s, 8),
                      OptionalU32(s, 9)});
  }
  return result;
}

std::int64_t RecordStore::CountSwipes(std::optional<int> port, std::optional<int> terminal) const {
  std::string sql = "SELECT count(*) FROM swipes" + Where(port, terminal);
  Statement query(db_, path_, sql.c_str());
  BindFilter(query.get(), port, terminal);
  query.Step("counting swipes");
  return sqlite3_column_int64(query.get(), 0);
}

LogCoverage RecordStore::Coverage(const LogKey& log) const {
  // A record is either stored or rejected, never both: log_records counts both tables.
  LogCoverage coverage;
  {
    Statement query(db_, path_, "SELECT held FROM log_records WHERE identity = ?1 AND generation = ?2");
    sqlite3_bind_int64(query.get(), 1, log.identity);
    sqlite3_bind_int64(query.get(), 2, log.generation);
    if (query.Step("counting the records of a terminal") == SQLITE_ROW) coverage.count = sqlite3_column_int64(query.get(), 0);
  }
  for (const char* sql : {"SELECT max(record_index) FROM swipes WHERE identity = ?1 AND generation = ?2",
                          "SELECT max(record_index) FROM rejected_records WHERE identity = ?1 AND generation = ?2"}) {
    Statement query(db_, path_, sql);
    sqlite3_bind_int64(query.get(), 1, log.identity);
    sqlite3_bind_int64(query.get(), 2, log.generation);
    query.Step("finding the last record of a terminal");
    if (sqlite3_column_type(query.get(), 0) != SQLITE_NULL)
      coverage.next = std::max<std::int64_t>(coverage.next, sqlite3_column_int64(query.get(), 0) + 1);
  }
  return coverage;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> RecordStore::Missing(const LogKey& log, std::uint32_t held,
                                                                          std::size_t limit) const {
  Statement query(db_, path_,
                  "SELECT record_index FROM swipes WHERE identity = ?1 AND generation = ?2 AND record_index < ?3 "
                  "UNION SELECT record_index FROM rejected_records WHERE identity = ?1 AND generation = ?2 "
                  "AND record_index < ?3 ORDER BY 1");
  sqlite3_bind_int64(query.get(), 1, log.identity);
  sqlite3_bind_int64(query.get(), 2, log.generation);
  sqlite3_bind_int64(query.get(), 3, held);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> missing;
  std::int64_t expected = 0;
  auto gap = [&](std::int64_t upto) {
    if (upto > expected && missing.size() < limit)
      missing.push_back({static_cast<std::uint32_t>(expected), static_cast<std::uint32_t>(upto - 1)});
  };
  while (query.Step("finding the records not stored") == SQLITE_ROW) {
    const std::int64_t index = sqlite3_column_int64(query.get(), 0);
    gap(index);
    expected = index + 1;
  }
  gap(held);
  return missing;
}

bool RecordStore::AddRejected(const RejectedRecord& r) {
  WriteTransaction transaction(db_, path_, "keeping a rejected record");
  Statement insert(db_, path_,
                   "INSERT OR IGNORE INTO rejected_records (port, terminal, identity, generation, record_index, person, "
                   "year, month, day, hour, minute, reason, first_seen) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
  sqlite3_stmt* s = insert.get();
  sqlite3_bind_int(s, 1, r.port);
  sqlite3_bind_int(s, 2, r.terminal);
  BindOptional(s, 3, r.log ? std::optional<std::int64_t>(r.log->identity) : std::nullopt);
  BindOptional(s, 4, r.log ? std::optional<std::int64_t>(r.log->generation) : std::nullopt);
  sqlite3_bind_int64(s, 5, r.index);
  const std::int32_t fields[] = {r.person, r.year, r.month, r.day, r.hour, r.minute};
  for (int i = 0; i < 6; ++i) sqlite3_bind_int(s, 6 + i, fields[i]);
  sqlite3_bind_text(s, 12, r.reason.c_str(), -1, SQLITE_TRANSIENT);
  const std::string seen = r.first_seen.empty() ? UtcNowText() : r.first_seen;
  sqlite3_bind_text(s, 13, seen.c_str(), -1, SQLITE_TRANSIENT);
  insert.Step("keeping a rejected record");
  const bool added = sqlite3_changes(db_) > 0;
  transaction.Commit();
  return added;
}

std::vector<RejectedRecord> RecordStore::Rejected() const {
  Statement query(db_, path_,
                  "SELECT port, terminal, identity, generation, record_index, person, year, month, day, hour, minute, "
                  "reason, first_seen FROM rejected_records ORDER BY first_seen, identity, generation, record_index");
  std::vector<RejectedRecord> result;
  while (query.Step("reading rejected records") == SQLITE_ROW) {
    sqlite3_stmt* s = query.get();
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

Delivery::Delivery(RecordStore& store, int port, int terminal, std::string downloaded_at)
    : store_(store), port_(port), terminal_(terminal), downloaded_at_(std::move(downloaded_at)) {}

void Delivery::Position(std::optional<LogKey> log, std::uint32_t index) {
  if (log != log_) {
    seen_.clear();
    before_.clear();
    log_ = log;
    first_index_ = index;
  } else if (index < first_index_ || (index != next_index_ && log_)) {
    // Elsewhere in the same log: count what lies before it from the database again.
    seen_.clear();
    before_.clear();
    first_index_ = index;
  }
  next_index_ = index;
}

std::vector<Delivery::Keyed> Delivery::Store(std::span<const Swipe> next) {
  std::vector<Keyed> keyed;
  keyed.reserve(next.size());
  if (next.empty()) return keyed;
  sqlite3* db = store_.db_;
  const std::string& path = store_.path_;
  if (!unidentified_rows_) {
    Statement query(db, path, "SELECT 1 FROM swipes WHERE identity IS NULL AND port = ?1 AND terminal = ?2 LIMIT 1");
    sqlite3_bind_int(query.get(), 1, port_);
    sqlite3_bind_int(query.get(), 2, terminal_);
    unidentified_rows_ = query.Step("looking for rows without identity") == SQLITE_ROW;
  }
  // Occurrence counts move on only once the batch is committed.
  auto seen = seen_;
  auto before = before_;
  std::optional<Statement> earlier;
  for (const Swipe& swipe : next) {
    CivilTime when = CivilFromDate(swipe.time);
    Keyed k{swipe, MinuteText(when), 0, false};
    const std::pair<std::int32_t, std::string> key{swipe.person, k.minute};
    int base = 0;
    if (log_ && first_index_ > 0) {
      auto found = before.find(key);
      if (found == before.end()) {
        if (!earlier)
          earlier.emplace(db, path,
                          "SELECT count(*) FROM swipes INDEXED BY swipes_occurrence WHERE identity = ?1 AND generation = ?2 AND person = ?3 "
                          "AND minute = ?4 AND record_index < ?5");
        sqlite3_stmt* s = earlier->get();
        sqlite3_bind_int64(s, 1, log_->identity);
        sqlite3_bind_int64(s, 2, log_->generation);
        sqlite3_bind_int(s, 3, swipe.person);
        sqlite3_bind_text(s, 4, k.minute.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 5, first_index_);
        earlier->Step("counting earlier swipes");
        found = before.emplace(key, static_cast<int>(sqlite3_column_int64(s, 0))).first;
        earlier->Reset();
      }
      base = found->second;
    }
    k.occurrence = base + ++seen[key];
    keyed.push_back(std::move(k));
  }

  WriteTransaction transaction(db, path, "storing swipes");
  Statement insert(db, path,
                   "INSERT OR IGNORE INTO swipes (port, terminal, identity, generation, record_index, person, minute, "
                   "occurrence, swipe_time, downloaded_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
  // A row stored before the terminal told its identity gets it when the same swipe comes again.
  std::optional<Statement> adopt;
  if (log_ && *unidentified_rows_)
    adopt.emplace(db, path,
                  "UPDATE OR IGNORE swipes SET identity = ?1, generation = ?2, record_index = ?3 WHERE identity IS NULL "
                  "AND port = ?4 AND terminal = ?5 AND person = ?6 AND minute = ?7 AND occurrence = ?8");
  std::size_t added = 0;
  std::uint32_t index = next_index_;
  for (Keyed& k : keyed) {
    const std::uint32_t at = index++;
    if (adopt) {
      sqlite3_stmt* a = adopt->get();
      sqlite3_bind_int64(a, 1, log_->identity);
      sqlite3_bind_int64(a, 2, log_->generation);
      sqlite3_bind_int64(a, 3, at);
      sqlite3_bind_int(a, 4, port_);
      sqlite3_bind_int(a, 5, terminal_);
      sqlite3_bind_int(a, 6, k.swipe.person);
      sqlite3_bind_text(a, 7, k.minute.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(a, 8, k.occurrence);
      adopt->Step("attaching identities to stored swipes");
      const bool adopted = sqlite3_changes(db) > 0;
      adopt->Reset();
      if (adopted) continue;
    }
    sqlite3_stmt* s = insert.get();
    std::string time = SecondText(CivilFromDate(k.swipe.time));
    sqlite3_bind_int(s, 1, port_);
    sqlite3_bind_int(s, 2, terminal_);
    BindOptional(s, 3, log_ ? std::optional<std::int64_t>(log_->identity) : std::nullopt);
    BindOptional(s, 4, log_ ? std::optional<std::int64_t>(log_->generation) : std::nullopt);
    sqlite3_bind_int64(s, 5, at);
    sqlite3_bind_int(s, 6, k.swipe.person);
    sqlite3_bind_text(s, 7, k.minute.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 8, k.occurrence);
    sqlite3_bind_text(s, 9, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 10, downloaded_at_.c_str(), -1, SQLITE_TRANSIENT);
    insert.Step("storing swipes");
    k.added = sqlite3_changes(db) > 0;
    added += k.added ? 1 : 0;
    insert.Reset();
  }
  transaction.Commit();
  seen_ = std::move(seen);
  before_ = std::move(before);
  next_index_ = index;
  delivered_ += keyed.size();
  added_ += added;
  return keyed;
}

}  // namespace vanto::store
