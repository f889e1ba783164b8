// The swipe store in a PostgreSQL database, reached by URL through libpq.
#pragma once

#include <memory>
#include <string>

#include "host/db/swipe_store.h"
#include "host/db/pg_connection.h"

namespace vanto::store {

// The swipe in row `row` of `result`, whose columns from `first` on are kSwipeColumns.
// `with_site`: the columns go on with the site (kSwipeColumns does; the feed's columns do not).
StoredSwipe PgStoredSwipe(const PgResult& result, int row, int first, bool with_site = true);

// Connects to the database `url` names (postgresql:// or postgres://) and brings its schema up
// to date (a read-only server with an up-to-date schema opens for reading). Throws StoreError
// with a one-line message naming the server and the cause.
std::unique_ptr<SwipeStore> OpenPostgresStore(const std::string& url, const OpenOptions& options);

// Connects for reading only (see OpenSwipeStoreForReading).
std::unique_ptr<SwipeStore> OpenPostgresStoreForReading(const std::string& url, std::chrono::milliseconds lock_timeout);

// The host's settings for a connection to PostgreSQL: waits of `lock_timeout` for another
// session's lock, and failed statements worded by HostPgMessage.
PgOptions HostPgOptions(std::chrono::milliseconds lock_timeout);
// A failed statement as the host's message (the front ends translate it), the server's own text
// following, marked as the server's.
host::Message HostPgMessage(const PgStatementFailure& failure);

// Throws `e`, a failure to connect to `url` (or to parse it) as the host's message with
// libpq's or the server's own text following, marked as theirs; any other failure as it is.
[[noreturn]] void ThrowHostPgError(const PgError& e, const std::string& url);

// Whether the database holds a table of that name.
bool PostgresHasTable(const std::string& url, const std::string& table, std::chrono::milliseconds lock_timeout);

}  // namespace vanto::store
