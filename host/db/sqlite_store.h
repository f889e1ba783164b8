// The swipe store in one SQLite file (WAL journal, every change in a transaction).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "host/db/swipe_store.h"
#include "host/db/store_failure.h"

struct sqlite3_stmt;

namespace vanto::store {

// The swipe in the current row of `row`, whose columns from `first` on are kSwipeColumns.
// `with_site`: the columns go on with the site (kSwipeColumns does; the feed's columns do not).
StoredSwipe SqliteStoredSwipe(sqlite3_stmt* row, int first, bool with_site = true);

// Opens (or creates) the SQLite database at `path` for reading and writing and brings its
// schema up to date. Throws StoreError naming the path.
// SQLite's failure as the host's message (the front ends translate it), SQLite's own text following:
// the wording every SQLite connection of the host and its stores uses (SqliteWording).
host::Message HostSqliteMessage(const SqliteFailure& failure, const std::string& path, const std::string& step,
                                std::chrono::milliseconds lock_wait);

std::unique_ptr<SwipeStore> OpenSqliteStore(const std::string& path, const OpenOptions& options);

// Opens the SQLite database at `path`, which a Database opened (its schema at `version`), for
// reading and writing without checking its journal or schema again.
std::unique_ptr<SwipeStore> OpenSqliteSwipesReady(const std::string& path, std::chrono::milliseconds lock_timeout,
                                                  int version);

// Opens the SQLite database at `path` read-only (see OpenSwipeStoreForReading).
std::unique_ptr<SwipeStore> OpenSqliteStoreForReading(const std::string& path, std::chrono::milliseconds lock_timeout);

// Whether the SQLite database at `path` holds a table of that name, read without writing;
// throws StoreError when `path` is no database this process can read.
bool SqliteHasTable(const std::string& path, const std::string& table, std::chrono::milliseconds lock_timeout);

}  // namespace vanto::store
