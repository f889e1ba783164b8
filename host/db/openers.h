// The database module's own openers: each makes a connection of its own to the database at a
// location. Outside this module a process opens its database once, as a vanto::db::Database
// (database.h), and takes repositories from that handle; the include rules refuse this header
// elsewhere (tests of the module itself may use it).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "host/db/accounts_store.h"
#include "host/db/push_store.h"
#include "host/db/record_store.h"
#include "host/db/swipe_feed.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "host/db/table_rows.h"

namespace vanto::store {

// Opens (or creates) the store at `location`, an SQLite file path or a database URL, and brings
// its schema up to date. Throws StoreError with a one-line message naming the location.
std::unique_ptr<SwipeStore> OpenSwipeStore(const std::string& location, const OpenOptions& options = {});

// Opens the store at `location` for reading only: nothing is created, migrated or written (an
// SQLite file may be read-only; a server session is read-only), and Insert fails with
// StoreFailure::ReadOnly. A schema older than OldestReadableSchemaVersion (schema.h) or newer
// than this program knows is refused.
std::unique_ptr<SwipeStore> OpenSwipeStoreForReading(const std::string& location,
                                                     std::chrono::milliseconds lock_timeout = std::chrono::milliseconds(5000));

// OpenSwipeStore as a RecordStore.
RecordStore OpenRecordStore(const std::string& location, const OpenOptions& options = {});

// Whether `location` holds a table of that name, read without writing; throws StoreError when
// it is no database this process can read (missing, a folder, unreadable, not a database,
// locked too long).
bool HasTableAt(const std::string& location, const std::string& table,
                std::chrono::milliseconds lock_timeout = std::chrono::milliseconds(5000));

// Opens the push rows of the database at `location`, bringing its schema up to date first
// (unless `migrate` is false). `read_only` (SQLite): the file is opened read-only and every write
// fails with StoreFailure::ReadOnly. Throws StoreError naming the location.
std::unique_ptr<PushStore> OpenPushStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                         bool migrate = true, bool read_only = false);

// Opens the feed of the store at `location` (its schema must be up to date: OpenSwipeStore
// first). Throws StoreError naming the location.
std::unique_ptr<SwipeFeed> OpenSwipeFeed(const std::string& location,
                                         std::chrono::milliseconds lock_timeout = std::chrono::milliseconds(5000));

// Opens the runs of the database at `location` (an SQLite path or a postgresql:// URL), bringing
// its schema up to date first (unless `migrate` is false: a caller that did so already).
// `read_only` (SQLite): opened read-only, every write refused with StoreFailure::ReadOnly. Throws
// StoreError naming the location.
std::unique_ptr<SyncRunStore> OpenSyncRunStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                               bool migrate = true, bool read_only = false);

// Connects to the database at `location` (an SQLite file that exists, or a server URL).
// Throws StoreError naming the location.
std::unique_ptr<TableConnection> OpenTableConnection(const std::string& location, std::chrono::milliseconds lock_timeout,
                                                     bool read_only);

// The accounts and the API tokens of the database at `location`, each through a handle of its
// own (Database::Open with `create`, the lock timeout given).
std::unique_ptr<AccountsStore> OpenAccountsStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                                 bool create = true);
std::unique_ptr<TokenStore> OpenTokenStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                           bool create = true);

}  // namespace vanto::store
