#include "cli/store/record_store.h"

#include "platform/ado/sqlite_readonly.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vanto::store {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS swipes (
  port          INTEGER NOT NULL,
  terminal      INTEGER NOT NULL,
  person        INTEGER NOT NULL,
  minute        TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM
  occurrence    INTEGER NOT NULL,  -- k-th swipe of this person in this minute, in delivery order
  swipe_time    TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM:SS, as the terminal delivered it
  downloaded_at TEXT    NOT NULL,  -- UTC time of the download that stored it
  PRIMARY KEY (port, terminal, person, minute, occurrence)
) WITHOUT ROWID;
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
  store.Execute(kSchema);
  return store;
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
  if (vanto::sqlite::OpenForReading(path, &db) != SQLITE_OK) {
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
      "SELECT port, terminal, person, minute, occurrence, swipe_time, downloaded_at FROM swipes" +
      Where(port, terminal) + " ORDER BY port, terminal, swipe_time, person, occurrence";
  Statement query(db_, path_, sql.c_str());
  BindFilter(query.get(), port, terminal);
  std::vector<StoredSwipe> result;
  while (query.Step("reading swipes") == SQLITE_ROW) {
    sqlite3_stmt* s = query.get();
    result.push_back({sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2), Text(s, 3),
                      sqlite3_column_int(s, 4), Text(s, 5), Text(s, 6)});
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

Delivery::Delivery(RecordStore& store, int port, int terminal, std::string downloaded_at)
    : store_(store), port_(port), terminal_(terminal), downloaded_at_(std::move(downloaded_at)) {}

std::vector<Delivery::Keyed> Delivery::Store(std::span<const Swipe> next) {
  std::vector<Keyed> keyed;
  keyed.reserve(next.size());
  // Occurrence counts move on only once the batch is committed.
  auto seen = seen_;
  for (const Swipe& swipe : next) {
    CivilTime when = CivilFromDate(swipe.time);
    Keyed k{swipe, MinuteText(when), 0, false};
    k.occurrence = ++seen[{swipe.person, k.minute}];
    keyed.push_back(std::move(k));
  }
  if (keyed.empty()) return keyed;

  sqlite3* db = store_.db_;
  WriteTransaction transaction(db, store_.path_, "storing swipes");
  Statement insert(db, store_.path_,
                   "INSERT OR IGNORE INTO swipes (port, terminal, person, minute, occurrence, swipe_time, downloaded_at) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  std::size_t added = 0;
  for (Keyed& k : keyed) {
    sqlite3_stmt* s = insert.get();
    std::string time = SecondText(CivilFromDate(k.swipe.time));
    sqlite3_bind_int(s, 1, port_);
    sqlite3_bind_int(s, 2, terminal_);
    sqlite3_bind_int(s, 3, k.swipe.person);
    sqlite3_bind_text(s, 4, k.minute.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 5, k.occurrence);
    sqlite3_bind_text(s, 6, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 7, downloaded_at_.c_str(), -1, SQLITE_TRANSIENT);
    insert.Step("storing swipes");
    k.added = sqlite3_changes(db) > 0;
    added += k.added ? 1 : 0;
    insert.Reset();
  }
  transaction.Commit();
  seen_ = std::move(seen);
  delivered_ += keyed.size();
  added_ += added;
  return keyed;
}

}  // namespace vanto::store
