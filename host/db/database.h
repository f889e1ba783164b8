// The site's database, opened once per process: the one handle that owns the engine, the schema
// (brought up to date once, at open) and the connections, and hands out repositories over them.
//
//   auto db = vanto::db::Database::Open(location, options);   // StoreError naming the location
//   db->Swipes()->InsertChecked(...);                          // swipes, people, conflicts, epochs, ...
//   db->Feed()->Read(cursor, 500);
//   db->Audit(entry);                                          // the one audit writer
//
// A repository borrows a connection of the handle's pool for as long as it lives: keep it for a
// piece of work (a request, a sync of one port), not for the life of the process. Nothing outside
// this module opens a database.
//
// PostgreSQL: a pool of at most pool_size connections, reused with the statements each has
// prepared; a borrow beyond them waits up to the lock timeout (then StoreError, Locked); a
// connection found broken is replaced by a new one on the next borrow. SQLite: each repository
// lent has a connection of its own (opened without checking the schema again); released, it
// waits on its kind's idle list (at most pool_size; sqlite_pool.h) for the next borrow, which
// takes it with its connection and prepared statements, any transaction left open rolled back.
// SQLite's own locking in the WAL journal lets one writer and any number of readers work at
// once, each write waiting up to the lock timeout for the writer before it. A read-only handle's
// repositories refuse every write with StoreFailure::ReadOnly.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/db/accounts_store.h"
#include "host/db/push_store.h"
#include "host/db/schema.h"
#include "host/db/swipe_feed.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "host/db/table_rows.h"
#include "host/db/sites.h"
#include "platform/ado/rowset.h"
#include "platform/automation/owners.h"

namespace vanto::store {
class PgPool;
class SqlitePool;
}

namespace vanto::db {

struct DatabaseOptions {
  // How long any wait lasts: another process's lock, a free connection of the pool.
  std::chrono::milliseconds lock_timeout{5000};
  // An SQLite file that does not exist is created (made aside with its whole schema, then moved
  // into place; private to its owner and group). Without it a missing file is refused.
  bool create = true;
  // Nothing is created, migrated or written: a schema this program reads as it is (or refuses),
  // a read-only file or server session. Writes fail with StoreFailure::ReadOnly.
  bool read_only = false;
  // An SQLite file that does not exist yet is created by the first write (a first download
  // that fails before storing anything leaves no file behind); until then reads see an empty
  // database. Ignored for a server and for a file that exists.
  bool create_on_first_write = false;
  // PostgreSQL: connections at most. SQLite: released repositories kept for reuse, per kind.
  std::size_t pool_size = 4;
  // The schema version the database held before this open brought it up to date is read first
  // (Database::schema_version_found), at the cost of one more read at open.
  bool note_schema_found = false;
};

class Database {
 public:
  // Opens the database at `location` (an SQLite file path or a postgresql:// URL or connection
  // text) and brings its schema up to date (unless read_only). Throws store::StoreError with a
  // one-line message naming the location (never a password).
  static std::shared_ptr<Database> Open(const std::string& location, const DatabaseOptions& options = {});

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // The path or URL as messages name it (a URL never shows a password).
  const std::string& location() const { return shown_; }
  store::Engine engine() const { return engine_; }
  std::chrono::milliseconds lock_timeout() const { return options_.lock_timeout; }
  const DatabaseOptions& options() const { return options_; }
  // The schema version the database holds (0: an SQLite file to be created on the first write).
  int schema_version() const;
  // With DatabaseOptions::note_schema_found: the schema version the database held when this handle
  // opened it, before it was brought up to date (0: none, or a file created by this open).
  int schema_version_found() const { return found_; }

  // Repositories: one thread uses one at a time; the handle itself is shared by every thread.
  // Each throws store::StoreError naming the location when no connection can be had.
  // Swipes, people, conflicts and epochs, rejected records, the enrolment listing.
  std::unique_ptr<store::SwipeStore> Swipes();
  std::unique_ptr<store::SwipeFeed> Feed();
  std::unique_ptr<store::SyncRunStore> SyncRuns();
  std::unique_ptr<store::PushStore> Push();
  // Users and sessions (and the acknowledgement of a record conflict by a console user).
  std::unique_ptr<store::AccountsStore> Accounts();
  // API tokens' rows and read counters.
  std::unique_ptr<store::TokenStore> Tokens();
  // Rows of any table as plain values (a copy between databases and its comparison).
  std::unique_ptr<store::TableConnection> Tables(bool read_only);

  // The one audit writer: one row of the audit trail, in a transaction of its own.
  void Audit(const store::AuditEntry& entry);

  // The driver's row set over the enrolment table: the rows of `site` (its `filter`; every row
  // when none, as in a database that holds no site) of `person` (everyone's when none) of one
  // `kind` when given; every row it adds is stored under `site.name`. The site is not one of the
  // row set's columns: the driver sees the table's five. Fails (with the error raised) like any
  // row-set operation. The row set works over a connection of the handle (PostgreSQL: one of the
  // pool, lent until the last reference to the row set is released). `for_reading`: its Update is
  // refused (nothing is written) and an SQLite file is opened read-only, as a handle opened
  // read-only does anyway. A database from before sites (schema step 20) has no site column: its
  // rows are everyone's.
  HRESULT EnrolmentRows(const store::SiteChoice& site, std::optional<LONG> person, std::optional<LONG> kind,
                        ComPtr<RowSet>* rows, bool for_reading = false);

  // PostgreSQL: the pool's connections open now and lent now (SQLite: 0).
  std::size_t open_connections() const;
  std::size_t lent_connections() const;
  // SQLite: the repositories released and waiting to be lent again, every kind together (0 for
  // PostgreSQL, whose pool keeps connections instead).
  std::size_t idle_repositories() const;

 private:
  Database(std::string location, std::string shown, store::Engine engine, DatabaseOptions options, int version);
  // A file deferred to its first write: created now when it still does not exist.
  void Materialise();

  const std::string location_;  // as given: what the engines connect to
  const std::string shown_;
  const store::Engine engine_;
  const DatabaseOptions options_;
  mutable std::mutex mutex_;
  int version_ = 0;
  int found_ = 0;
  bool deferred_ = false;
  std::shared_ptr<store::PgPool> pool_;  // PostgreSQL
  std::unique_ptr<store::SqlitePool> idle_;  // SQLite
};

}  // namespace vanto::db
