#include "host/db/database.h"

#include <filesystem>
#include <utility>

#include "host/db/accounts_engines.h"
#include "host/db/audit_writer.h"
#include "host/db/sqlite_connection.h"
#include "host/db/deferred_store.h"
#include "host/db/pg_engines.h"
#include "host/db/pg_pool.h"
#include "host/db/postgres_store.h"
#include "host/db/sqlite_store.h"
#include "platform/ado/columns.h"
#include "host/db/postgres_rowset.h"
#include "host/db/sqlite_pool.h"
#include "host/db/sqlite_rowset.h"
#include "host/db/sites.h"
#include "host/db/openers.h"

namespace vanto::db {

using store::Engine;

namespace {

store::OpenOptions StoreOptions(const DatabaseOptions& options, bool create) {
  store::OpenOptions open;
  open.create = create;
  open.lock_timeout = options.lock_timeout;
  return open;
}

}  // namespace

std::shared_ptr<Database> Database::Open(const std::string& location, const DatabaseOptions& options) {
  const Engine engine = store::IsDatabaseUrl(location) ? Engine::Postgres : Engine::Sqlite;
  std::error_code ec;
  int found = 0;
  if (options.note_schema_found && engine == Engine::Sqlite && std::filesystem::exists(location, ec))
    found = store::OpenTableConnection(location, options.lock_timeout, /*read_only=*/true)->SchemaVersion();
  if (engine == Engine::Sqlite && !options.read_only && options.create_on_first_write &&
      !std::filesystem::exists(location, ec)) {
    // Reads see an empty database until the first write creates the file (OpenSwipeStoreOnFirstWrite
    // checks the location's folder and scheme now).
    auto swipes = store::OpenSwipeStoreOnFirstWrite(location, StoreOptions(options, true));
    std::shared_ptr<Database> db(new Database(location, swipes->location(), engine, options, 0));
    db->deferred_ = true;
    return db;
  }
  if (engine == Engine::Postgres) {
    auto pool = store::PgPool::Make(location, store::HostPgOptions(options.lock_timeout), options.pool_size,
                                    options.read_only ? "SET default_transaction_read_only = on" : "");
    // The first connection takes the schema steps the database is missing, once for the process
    // (or, reading, checks that its schema reads as it is); it goes back to the pool.
    if (options.note_schema_found) found = store::PostgresTablesOver(pool->Borrow())->SchemaVersion();
    auto swipes = store::PostgresSwipesOpened(pool->Borrow(), options.read_only);
    std::shared_ptr<Database> db(new Database(location, swipes->location(), engine, options, swipes->schema_version()));
    db->pool_ = std::move(pool);
    db->found_ = found;
    return db;
  }
  // Opening the swipes' repository once checks the location and takes the schema steps the
  // database is missing (or, reading, checks that its schema reads as it is).
  std::unique_ptr<store::SwipeStore> swipes =
      options.read_only ? store::OpenSwipeStoreForReading(location, options.lock_timeout)
                        : store::OpenSwipeStore(location, StoreOptions(options, options.create));
  std::shared_ptr<Database> db(new Database(location, swipes->location(), engine, options, swipes->schema_version()));
  db->found_ = found;
  return db;
}

Database::Database(std::string location, std::string shown, Engine engine, DatabaseOptions options, int version)
    : location_(std::move(location)),
      shown_(std::move(shown)),
      engine_(engine),
      options_(options),
      version_(version),
      idle_(engine == Engine::Sqlite ? std::make_unique<store::SqlitePool>(options.pool_size) : nullptr) {}

Database::~Database() = default;

int Database::schema_version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

void Database::Materialise() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!deferred_) return;
  auto swipes = store::OpenSwipeStore(location_, StoreOptions(options_, true));
  version_ = swipes->schema_version();
  deferred_ = false;
}

std::unique_ptr<store::SwipeStore> Database::Swipes() {
  if (pool_) return store::PostgresSwipesOver(pool_->Borrow(), version_);
  if (options_.read_only)
    return idle_->Swipes([this] { return store::OpenSwipeStoreForReading(location_, options_.lock_timeout); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (deferred_) return store::OpenSwipeStoreOnFirstWrite(location_, StoreOptions(options_, true));
  }
  return idle_->Swipes(
      [this] { return store::OpenSqliteSwipesReady(location_, options_.lock_timeout, schema_version()); });
}

std::unique_ptr<store::SwipeFeed> Database::Feed() {
  if (pool_) return store::PostgresFeedOver(pool_->Borrow());
  Materialise();
  return idle_->Feed([this] { return store::OpenSwipeFeed(location_, options_.lock_timeout); });
}

std::unique_ptr<store::SyncRunStore> Database::SyncRuns() {
  if (pool_) return store::PostgresRunsOver(pool_->Borrow());
  Materialise();
  return idle_->SyncRuns([this] {
    return store::OpenSyncRunStore(location_, options_.lock_timeout, /*migrate=*/false, options_.read_only);
  });
}

std::unique_ptr<store::PushStore> Database::Push() {
  if (pool_) return store::PostgresPushOver(pool_->Borrow(), location_, options_.lock_timeout);
  Materialise();
  // Not kept for reuse: a lease it hands out works on its connection after it is released.
  return store::OpenPushStore(location_, options_.lock_timeout, /*migrate=*/false, options_.read_only);
}

std::unique_ptr<store::AccountsStore> Database::Accounts() {
  if (pool_) return store::PostgresAccountsOver(pool_->Borrow());
  Materialise();
  return idle_->Accounts(
      [this] { return store::OpenSqliteAccounts(location_, options_.lock_timeout, options_.read_only); });
}

std::unique_ptr<store::TokenStore> Database::Tokens() {
  if (pool_) return store::PostgresTokensOver(pool_->Borrow());
  Materialise();
  return idle_->Tokens([this] { return store::OpenSqliteTokens(location_, options_.lock_timeout, options_.read_only); });
}

std::unique_ptr<store::TableConnection> Database::Tables(bool read_only) {
  if (pool_) return store::PostgresTablesOver(pool_->Borrow());
  if (!read_only) Materialise();
  const bool reading = read_only || options_.read_only;
  return idle_->Tables(reading, [this, reading] {
    return store::OpenTableConnection(location_, options_.lock_timeout, reading);
  });
}

void Database::Audit(const store::AuditEntry& entry) {
  if (pool_) {
    store::PgLease lease = pool_->Borrow();
    lease->Retry("writing the audit trail", [&] { store::InsertAudit(*lease, entry); });
    return;
  }
  // The accounts' connection writes the same row; a read-only handle refuses it.
  Accounts()->Audit(entry);
}

HRESULT Database::EnrolmentRows(const store::SiteChoice& site, std::optional<LONG> person, std::optional<LONG> kind,
                                ComPtr<RowSet>* rows, bool for_reading) {
  std::vector<std::pair<std::u16string, LONG>> equals;
  if (person) equals.emplace_back(kColumnPersonNumber, *person);
  if (kind) equals.emplace_back(kColumnEnrolmentNumber, *kind);
  const bool read_only = for_reading || options_.read_only;
  // SQLite: a file still to be made by its first write is made now, with the whole schema.
  if (!read_only) Materialise();
  std::optional<RowSetSite> by_site;
  if (schema_version() >= store::kSitesSchemaVersion) by_site = RowSetSite{"site", site.filter, site.name};
  if (pool_) {
    // A connection of the pool, lent for the row set's life: it goes back when the driver and
    // the host have both released the row set.
    PostgresRowSetQuery query;
    query.options.lockTimeout = options_.lock_timeout;
    query.options.readOnly = read_only;
    query.equals = std::move(equals);
    query.site = std::move(by_site);
    std::shared_ptr<store::PgPool> pool = pool_;
    return OpenPostgresRowSetOver(
        [&pool] {
          auto lease = std::make_shared<store::PgLease>(pool->Borrow());
          return std::shared_ptr<store::PgConnection>(lease, &**lease);
        },
        query, rows);
  }
  // SQLite: a connection of the handle's own, as each repository has, opened with its wait.
  SqliteOptions options;
  options.busyTimeout = options_.lock_timeout;
  options.readOnly = read_only;
  SqliteRowSetConnection connection;
  if (HRESULT hr = OpenSqliteRowSetConnection(location_, options, &connection); FAILED(hr)) return hr;
  SqliteRowSetQuery query;
  query.equals = std::move(equals);
  query.site = std::move(by_site);
  return OpenSqliteRowSetOver(std::move(connection), query, rows);
}

}  // namespace vanto::db

namespace vanto::store {

namespace {
std::shared_ptr<db::Database> OpenHandle(const std::string& location, std::chrono::milliseconds lock_timeout,
                                         bool create) {
  db::DatabaseOptions options;
  options.lock_timeout = lock_timeout;
  options.create = create;
  return db::Database::Open(location, options);
}
}  // namespace

std::unique_ptr<AccountsStore> OpenAccountsStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                                 bool create) {
  return OpenHandle(location, lock_timeout, create)->Accounts();
}

std::unique_ptr<TokenStore> OpenTokenStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                           bool create) {
  return OpenHandle(location, lock_timeout, create)->Tokens();
}

}  // namespace vanto::store

namespace vanto::db {

std::size_t Database::open_connections() const { return pool_ ? pool_->open() : 0; }
std::size_t Database::idle_repositories() const { return idle_ ? idle_->idle() : 0; }
std::size_t Database::lent_connections() const { return pool_ ? pool_->lent() : 0; }

}  // namespace vanto::db
