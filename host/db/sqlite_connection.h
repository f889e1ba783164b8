// One connection to an SQLite file of the site's database, for the stores that keep their own
// tables in it (accounts, sync runs, API tokens, the feed). The file must exist (the swipe store
// creates and migrates it). Each statement waits for another connection's lock up to the time
// given; every failure is a StoreError naming the file, the step and the time waited.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <string>

#include "host/db/store_failure.h"

namespace vanto::store {

struct SqliteFinalize {
  void operator()(sqlite3_stmt* q) const { sqlite3_finalize(q); }
};
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

class SqliteConnection {
 public:
  enum class Mode { ReadWrite, ReadOnly };
  // `opening` and `preparing` name those steps in a failure ("opening the accounts"), which
  // `wording` puts into words.
  SqliteConnection(std::string path, std::chrono::milliseconds lock_timeout, const std::string& opening,
                   std::string preparing, Mode mode = Mode::ReadWrite, SqliteWording wording = nullptr);

  sqlite3* get() const { return db_.get(); }
  const std::string& path() const { return path_; }

  [[noreturn]] void Fail(int rc, const std::string& step) const;
  void Exec(const char* sql, const std::string& step) const;
  SqliteStatement Prepare(const char* sql) const;
  // sqlite3_step: SQLITE_ROW or SQLITE_DONE, anything else a StoreError for `step`.
  int Step(sqlite3_stmt* q, const std::string& step) const;
  // Runs `q` to its end (a write with RETURNING is then complete, ready to commit) and says how
  // many rows it returned.
  int Rows(sqlite3_stmt* q, const std::string& step) const;

  static void Bind(sqlite3_stmt* q, int index, const std::string& text);
  // A text column ("" for NULL), embedded NULs kept.
  static std::string Text(sqlite3_stmt* q, int column);

 private:
  struct Close {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  std::string path_;
  std::chrono::milliseconds wait_;
  std::string preparing_;
  SqliteWording wording_;
  std::unique_ptr<sqlite3, Close> db_;
};

// A repository over an SQLite connection of its own: the handle's pool reads the connection to
// bring the repository back clean before lending it again.
class SqliteBacked {
 public:
  virtual sqlite3* sqlite_connection() const = 0;

 protected:
  ~SqliteBacked() = default;
};

// Rolls back the transaction begun on `db` unless Commit ran: every way out of a scope that
// began one leaves nothing half-written.
class SqliteTransaction {
 public:
  SqliteTransaction(const SqliteConnection& c, const std::string& step) : c_(&c), step_(step) {
    c.Exec("BEGIN IMMEDIATE", step);
  }
  ~SqliteTransaction() {
    if (c_) sqlite3_exec(c_->get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    c_->Exec("COMMIT", step_);
    c_ = nullptr;
  }
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;

 private:
  const SqliteConnection* c_;
  std::string step_;
};

}  // namespace vanto::store
