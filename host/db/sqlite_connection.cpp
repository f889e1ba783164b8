#include "host/db/sqlite_connection.h"

// GCC 12 sees an overlapping copy in the URI's string building that cannot happen (-Wrestrict).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
#include "host/db/sqlite_readonly.h"
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include "host/db/store_failure.h"

namespace vanto::store {

SqliteConnection::SqliteConnection(std::string path, std::chrono::milliseconds lock_timeout, const std::string& opening,
                                   std::string preparing, Mode mode, SqliteWording wording)
    : path_(std::move(path)), wait_(lock_timeout), preparing_(std::move(preparing)), wording_(wording) {
  sqlite3* raw = nullptr;
  // Reading only: immutable in a folder nothing may be written to (sqlite_readonly.h).
  const int rc = mode == Mode::ReadOnly
                     ? vanto::sqlite::OpenForReading(path_, &raw)
                     : sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) Fail(rc, opening);
  sqlite3_extended_result_codes(raw, 1);
  const long long ms = lock_timeout.count();
  sqlite3_busy_timeout(raw, ms < 0 ? 0 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms));
}

void SqliteConnection::Fail(int rc, const std::string& step) const { ThrowSqlite(db_.get(), rc, path_, step, wait_, wording_); }

void SqliteConnection::Exec(const char* sql, const std::string& step) const {
  const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail(rc, step);
}

SqliteStatement SqliteConnection::Prepare(const char* sql) const {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr);
  SqliteStatement q(raw);
  if (rc != SQLITE_OK) Fail(rc, preparing_);
  return q;
}

int SqliteConnection::Step(sqlite3_stmt* q, const std::string& step) const {
  const int rc = sqlite3_step(q);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(rc, step);
  return rc;
}

int SqliteConnection::Rows(sqlite3_stmt* q, const std::string& step) const {
  int rows = 0;
  while (Step(q, step) == SQLITE_ROW) ++rows;
  return rows;
}

void SqliteConnection::Bind(sqlite3_stmt* q, int index, const std::string& text) {
  sqlite3_bind_text(q, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string SqliteConnection::Text(sqlite3_stmt* q, int column) {
  const unsigned char* t = sqlite3_column_text(q, column);
  return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(q, column)))
           : std::string();
}

}  // namespace vanto::store
