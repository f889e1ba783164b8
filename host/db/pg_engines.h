// The PostgreSQL repositories over a connection borrowed from the handle's pool (Database): each
// expects the schema to be up to date.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "host/db/accounts_store.h"
#include "host/db/pg_pool.h"
#include "host/db/push_store.h"
#include "host/db/swipe_feed.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "host/db/table_rows.h"

namespace vanto::store {

// The swipes over `lease` of a database whose schema the handle found at `version`; and the
// first one, which takes the schema steps the database is missing (or, `read_only`, makes its
// session read-only and checks that the schema reads as it is).
std::unique_ptr<SwipeStore> PostgresSwipesOver(PgLease lease, int version);
std::unique_ptr<SwipeStore> PostgresSwipesOpened(PgLease lease, bool read_only);
std::unique_ptr<SwipeFeed> PostgresFeedOver(PgLease lease);
std::unique_ptr<SyncRunStore> PostgresRunsOver(PgLease lease);
// `url`: where the endpoints' advisory locks connect (each lock holds a connection of its own).
std::unique_ptr<PushStore> PostgresPushOver(PgLease lease, const std::string& url, std::chrono::milliseconds lock_timeout);
std::unique_ptr<AccountsStore> PostgresAccountsOver(PgLease lease);
std::unique_ptr<TokenStore> PostgresTokensOver(PgLease lease);
std::unique_ptr<TableConnection> PostgresTablesOver(PgLease lease);

}  // namespace vanto::store
