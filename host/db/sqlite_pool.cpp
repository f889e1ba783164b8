#include "host/db/sqlite_pool.h"

#include <sqlite3.h>

#include <mutex>
#include <utility>
#include <vector>

#include "host/db/sqlite_connection.h"

namespace vanto::store {

namespace {

// Ends whatever a borrower left on the connection; false when it cannot be brought back clean.
bool Clean(sqlite3* db) {
  for (sqlite3_stmt* q = sqlite3_next_stmt(db, nullptr); q; q = sqlite3_next_stmt(db, q))
    if (sqlite3_stmt_busy(q)) sqlite3_reset(q);
  if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return sqlite3_get_autocommit(db) != 0;
}

}  // namespace

template <class Repository>
class SqliteShelf {
 public:
  explicit SqliteShelf(std::size_t most) : most_(most) {}

  std::unique_ptr<Repository> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.empty()) return nullptr;
    std::unique_ptr<Repository> r = std::move(idle_.back());
    idle_.pop_back();
    return r;
  }
  // Called by the borrower's thread; the repository is closed here unless it is clean and the
  // list has room.
  void Put(std::unique_ptr<Repository> r, sqlite3* db, bool broken) {
    if (broken || !Clean(db)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < most_) idle_.push_back(std::move(r));
    // else: closed as `r` goes (outside no lock is needed: it is no one else's)
  }
  std::size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return idle_.size();
  }

 private:
  const std::size_t most_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Repository>> idle_;
};

namespace {

// What every lent repository shares: the repository it forwards to, its connection, and its way
// back to the shelf when the borrower releases it.
template <class Repository>
class Lent {
 public:
  Lent(std::unique_ptr<Repository> inner, sqlite3* db, std::shared_ptr<SqliteShelf<Repository>> shelf)
      : inner_(std::move(inner)), db_(db), shelf_(std::move(shelf)) {}
  ~Lent() { shelf_->Put(std::move(inner_), db_, broken_); }
  Lent(const Lent&) = delete;
  Lent& operator=(const Lent&) = delete;

 protected:

  // Runs one call on the repository; a failure of its connection (not a lock wait, not a
  // refused write) keeps it from being lent again.
  template <class F>
  decltype(auto) Call(F&& f) const {
    try {
      return f();
    } catch (const StoreError& e) {
      if (e.failure() != StoreFailure::Locked && e.failure() != StoreFailure::ReadOnly) broken_ = true;
      throw;
    }
  }

  std::unique_ptr<Repository> inner_;

 private:
  sqlite3* db_;
  std::shared_ptr<SqliteShelf<Repository>> shelf_;
  mutable bool broken_ = false;
};

#define VANTO_LEND(ret, name, params, args, cv) \
  ret name params cv override { return this->Call([&]() -> decltype(auto) { return this->inner_->name args; }); }

class LentSwipes final : public SwipeStore, Lent<SwipeStore> {
 public:
  using Lent::Lent;
  VANTO_LEND(const std::string&, location, (), (), const)
  VANTO_LEND(int, schema_version, (), (), const)
  VANTO_LEND(std::vector<bool>, Insert, (std::span<const StoredSwipe> rows), (rows), )
  VANTO_LEND(InsertResult, InsertChecked, (std::span<const StoredSwipe> rows, OnConflict on_conflict),
             (rows, on_conflict), )
  VANTO_LEND(std::int64_t, Count, (const SwipeQuery& query), (query), const)
  VANTO_LEND(void, Each, (const SwipeQuery& query, const std::function<bool(const StoredSwipe&)>& row),
             (query, row), const)
  VANTO_LEND(void, EachBrief, (const SwipeQuery& query, const std::function<bool(const BriefSwipe&)>& row),
             (query, row), const)
  VANTO_LEND(std::vector<std::int32_t>, PersonsWithSwipes, (const SwipeQuery& query), (query), const)
  VANTO_LEND(PeopleImport, PutPeople, (std::span<const PersonName> people), (people), )
  VANTO_LEND(PeopleImport, PutPeopleAudited, (std::span<const PersonName> people, const AuditNote& audit),
             (people, audit), )
  VANTO_LEND(std::vector<PersonName>, People, (const std::optional<std::string>& site), (site), const)
  VANTO_LEND(std::vector<PersonName>, PeopleAmong,
             (std::span<const std::int32_t> persons, const std::optional<std::string>& site), (persons, site), const)
  VANTO_LEND(std::vector<std::string>, Departments, (const std::optional<std::string>& site), (site), const)
  VANTO_LEND(int, CountEarlier,
             (const LogKey& log, std::int32_t person, const std::string& minute, std::uint32_t before),
             (log, person, minute, before), const)
  VANTO_LEND(LogCoverage, Coverage, (const LogKey& log), (log), const)
  using Held = std::optional<std::pair<std::int32_t, std::string>>;
  VANTO_LEND(Held, SwipeAt, (const LogKey& log, std::uint32_t index), (log, index), const)
  using Gaps = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  VANTO_LEND(Gaps, Missing, (const LogKey& log, std::uint32_t held, std::size_t limit), (log, held, limit), const)
  VANTO_LEND(bool, AddRejected, (const RejectedRecord& record), (record), )
  VANTO_LEND(std::vector<RejectedRecord>, Rejected, (const std::optional<std::string>& site), (site), const)
  VANTO_LEND(std::vector<EnrolmentEntry>, Enrolments, (const std::optional<std::string>& site), (site), const)
  VANTO_LEND(LogKey, CurrentLog, (std::uint32_t identity, std::uint32_t generation), (identity, generation), const)
  VANTO_LEND(std::vector<LogEpoch>, Epochs, (std::uint32_t identity, std::uint32_t generation),
             (identity, generation), const)
  using Opened = std::pair<LogKey, InsertResult>;
  VANTO_LEND(Opened, OpenEpoch,
             (const LogKey& log, std::uint32_t first, std::optional<std::int64_t> conflict,
              std::span<const StoredSwipe> rows),
             (log, first, conflict, rows), )
  VANTO_LEND(bool, LowerEpochStart, (const LogKey& log, std::uint32_t first), (log, first), )
  VANTO_LEND(std::vector<RecordConflict>, Conflicts, (bool acknowledged, const std::optional<std::string>& site),
             (acknowledged, site), const)
  VANTO_LEND(bool, AcknowledgeConflict, (std::int64_t id, const std::string& by), (id, by), )
  VANTO_LEND(std::vector<StoredDouble>, Doubles, (), (), const)
  VANTO_LEND(std::vector<StoredDouble>, FoldDoubles, (const AuditNote& audit), (audit), )
  VANTO_LEND(std::vector<LogEpoch>, AllEpochs, (), (), const)
  VANTO_LEND(bool, PutEpoch, (const LogEpoch& epoch), (epoch), )
  VANTO_LEND(std::int64_t, PutConflict, (const RecordConflict& conflict), (conflict), )
};

class LentFeed final : public SwipeFeed, Lent<SwipeFeed> {
 public:
  using Lent::Lent;
  using SwipeFeed::Read;
  VANTO_LEND(FeedPage, Read, (const FeedCursor& after, std::size_t limit, const std::vector<std::string>& sites),
             (after, limit, sites), )
};

class LentRuns final : public SyncRunStore, Lent<SyncRunStore> {
 public:
  using Lent::Lent;
  VANTO_LEND(const std::string&, location, (), (), const)
  VANTO_LEND(std::int64_t, Begin,
             (const std::string& started_at, RunStarter by, const std::string& who, const std::string& ports,
              const std::string& site),
             (started_at, by, who, ports, site), )
  VANTO_LEND(void, Finish,
             (std::int64_t run, const std::string& ended_at, const std::vector<RunTerminal>& terminals),
             (run, ended_at, terminals), )
  VANTO_LEND(std::vector<SyncRun>, Runs,
             (std::size_t limit, std::int64_t newest, const std::optional<std::string>& site), (limit, newest, site), )
  using Last = std::map<std::pair<int, int>, LastSync>;
  VANTO_LEND(Last, LastByTerminal, (const std::string& site), (site), )
  using Complete = std::map<std::pair<int, int>, std::string>;
  VANTO_LEND(Complete, LastCompleteSyncs, (const std::string& site), (site), )
};

class LentAccounts final : public AccountsStore, Lent<AccountsStore> {
 public:
  using Lent::Lent;
  VANTO_LEND(const std::string&, location, (), (), const)
  VANTO_LEND(std::vector<User>, Users, (), (), )
  VANTO_LEND(std::optional<User>, FindUser, (const std::string& name, std::string* password_hash),
             (name, password_hash), )
  VANTO_LEND(bool, AddUser, (const User& user, const std::string& password_hash, const AuditEntry& audit),
             (user, password_hash, audit), )
  VANTO_LEND(bool, SetPassword, (const std::string& name, const std::string& password_hash, const AuditEntry& audit),
             (name, password_hash, audit), )
  VANTO_LEND(bool, SetDisabled, (const std::string& name, bool disabled, const AuditEntry& audit),
             (name, disabled, audit), )
  VANTO_LEND(bool, SetLanguage, (const std::string& name, const std::string& language), (name, language), )
  VANTO_LEND(bool, SetSites, (const std::string& name, const std::vector<std::string>& sites, const AuditEntry& audit),
             (name, sites, audit), )
  VANTO_LEND(void, AddSession, (const SessionRecord& session, const AuditEntry& audit), (session, audit), )
  VANTO_LEND(std::optional<SessionRecord>, FindSession, (const std::string& token_hash), (token_hash), )
  VANTO_LEND(void, TouchSession, (const std::string& token_hash, std::int64_t last_seen), (token_hash, last_seen), )
  VANTO_LEND(void, RemoveSession, (const std::string& token_hash, const AuditEntry* audit), (token_hash, audit), )
  VANTO_LEND(void, RemoveExpiredSessions, (std::int64_t created_before, std::int64_t seen_before),
             (created_before, seen_before), )
  VANTO_LEND(void, Audit, (const AuditEntry& entry), (entry), )
  VANTO_LEND(bool, AcknowledgeConflict, (std::int64_t id, const std::string& by, const AuditEntry& audit),
             (id, by, audit), )
  VANTO_LEND(std::vector<AuditEntry>, AuditTrail, (std::size_t limit, std::optional<std::int64_t> before_id),
             (limit, before_id), )
  VANTO_LEND(std::int64_t, AuditCount, (), (), )
};

class LentTokens final : public TokenStore, Lent<TokenStore> {
 public:
  using Lent::Lent;
  VANTO_LEND(bool, Add, (const ApiToken& token, const std::string& hash, const AuditEntry& audit),
             (token, hash, audit), )
  VANTO_LEND(std::vector<ApiToken>, List, (), (), )
  VANTO_LEND(std::optional<ApiToken>, FindByHash, (const std::string& hash), (hash), )
  VANTO_LEND(bool, Revoke, (const std::string& name, const AuditEntry& audit), (name, audit), )
  VANTO_LEND(void, CountReads, (const std::string& name, const std::string& hour, std::int64_t reads),
             (name, hour, reads), )
  VANTO_LEND(std::int64_t, Reads, (const std::string& name, const std::string& hour), (name, hour), )
  VANTO_LEND(void, Audit, (const AuditEntry& entry), (entry), )
};

class LentTables final : public TableConnection, Lent<TableConnection> {
 public:
  using Lent::Lent;
  VANTO_LEND(Engine, engine, (), (), const)
  VANTO_LEND(const std::string&, location, (), (), const)
  VANTO_LEND(void, BeginSnapshot, (), (), )
  VANTO_LEND(void, Query,
             (const std::string& sql, const TableRow& params, const std::function<void(const TableRow&)>& row,
              const std::string& step),
             (sql, params, row, step), )
  VANTO_LEND(std::int64_t, Exec,
             (const std::string& sql, const TableRow& params, const std::string& step, const std::set<int>& blobs),
             (sql, params, step, blobs), )
  VANTO_LEND(void, Transaction, (const std::string& step, const std::function<void()>& work), (step, work), )
};

#undef VANTO_LEND

template <class Wrapper, class Repository>
std::unique_ptr<Repository> Lend(const std::shared_ptr<SqliteShelf<Repository>>& shelf,
                                 const std::function<std::unique_ptr<Repository>()>& open) {
  std::unique_ptr<Repository> r = shelf->Take();
  if (!r) r = open();
  auto* backed = dynamic_cast<SqliteBacked*>(r.get());
  if (!backed) return r;
  sqlite3* db = backed->sqlite_connection();
  return std::make_unique<Wrapper>(std::move(r), db, shelf);
}

}  // namespace

SqlitePool::SqlitePool(std::size_t idle_per_kind)
    : swipes_(std::make_shared<SqliteShelf<SwipeStore>>(idle_per_kind)),
      feed_(std::make_shared<SqliteShelf<SwipeFeed>>(idle_per_kind)),
      runs_(std::make_shared<SqliteShelf<SyncRunStore>>(idle_per_kind)),
      accounts_(std::make_shared<SqliteShelf<AccountsStore>>(idle_per_kind)),
      tokens_(std::make_shared<SqliteShelf<TokenStore>>(idle_per_kind)),
      tables_(std::make_shared<SqliteShelf<TableConnection>>(idle_per_kind)),
      tables_reading_(std::make_shared<SqliteShelf<TableConnection>>(idle_per_kind)) {}

SqlitePool::~SqlitePool() = default;

std::unique_ptr<SwipeStore> SqlitePool::Swipes(const Opener<SwipeStore>& open) { return Lend<LentSwipes>(swipes_, open); }
std::unique_ptr<SwipeFeed> SqlitePool::Feed(const Opener<SwipeFeed>& open) { return Lend<LentFeed>(feed_, open); }
std::unique_ptr<SyncRunStore> SqlitePool::SyncRuns(const Opener<SyncRunStore>& open) { return Lend<LentRuns>(runs_, open); }
std::unique_ptr<AccountsStore> SqlitePool::Accounts(const Opener<AccountsStore>& open) {
  return Lend<LentAccounts>(accounts_, open);
}
std::unique_ptr<TokenStore> SqlitePool::Tokens(const Opener<TokenStore>& open) { return Lend<LentTokens>(tokens_, open); }
std::unique_ptr<TableConnection> SqlitePool::Tables(bool read_only, const Opener<TableConnection>& open) {
  return Lend<LentTables>(read_only ? tables_reading_ : tables_, open);
}

std::size_t SqlitePool::idle() const {
  return swipes_->size() + feed_->size() + runs_->size() + accounts_->size() + tokens_->size() + tables_->size() +
         tables_reading_->size();
}

}  // namespace vanto::store
