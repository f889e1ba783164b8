#include "host/db/push_store.h"

#include <sqlite3.h>

#include <algorithm>

#include "host/db/record_store.h"
#include "host/db/schema.h"
#include "host/db/pg_engines.h"
#include "host/db/postgres_store.h"
#include "host/db/pg_connection.h"
#include "host/db/sqlite_connection.h"
#include "host/db/statements.h"
#include "host/db/store_failure.h"
#include "host/db/openers.h"

namespace vanto::store {
namespace {

// A row of sql::kPushEndpoints, whatever reads it.
template <typename Read>
PushEndpointRow RowOf(const Read& text) {
  PushEndpointRow r;
  r.name = text(0);
  r.cursor = {std::stoull(text(1)), std::stoull(text(2))};
  r.added_at = text(3);
  r.failures = std::stoll(text(4));
  r.next_attempt = std::stoll(text(5));
  r.last_error = text(6);
  r.last_error_at = text(7);
  r.last_success = text(8);
  r.delivered = std::stoll(text(9));
  r.site = text(10);
  r.all_sites = text(11) == "1";
  return r;
}

// " AND port IN (...) AND person IN (...)" for the filter (numbers only, so written inline).
std::string FilterSql(const PushFilter& filter) {
  auto list = [](const auto& values) {
    std::string text;
    for (const auto& v : values) text += (text.empty() ? "" : ", ") + std::to_string(v);
    return text;
  };
  std::string sql;
  if (!filter.ports.empty()) sql += " AND port IN (" + list(filter.ports) + ")";
  if (!filter.people.empty()) sql += " AND person IN (" + list(filter.people) + ")";
  if (filter.site) {  // a site's name is letters, digits, '-' and '_'; quoted all the same
    std::string quoted;
    for (char c : *filter.site) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    sql += " AND site = '" + quoted + "'";
  }
  return sql;
}

// ---- SQLite ----------------------------------------------------------------------------------

class SqliteLease final : public PushLock {
 public:
  SqliteLease(const SqliteConnection& db, std::string site, std::string name, std::string holder)
      : db_(db), site_(std::move(site)), name_(std::move(name)), holder_(std::move(holder)) {}
  ~SqliteLease() override {
    try {
      auto q = db_.Prepare(
          "UPDATE push_endpoints SET lease_holder = '', lease_until = 0 WHERE name = ?1 AND lease_holder = ?2 AND site = ?3");
      SqliteConnection::Bind(q.get(), 1, name_);
      SqliteConnection::Bind(q.get(), 2, holder_);
      SqliteConnection::Bind(q.get(), 3, site_);
      db_.Step(q.get(), "releasing a push endpoint");
    } catch (...) {
      // The lease runs out by itself.
    }
  }

 private:
  const SqliteConnection& db_;
  std::string site_, name_, holder_;
};

class SqlitePush final : public PushStore {
 public:
  SqlitePush(const std::string& path, std::chrono::milliseconds lock_timeout, bool read_only)
      : db_(path, lock_timeout, "opening the push endpoints", "preparing a statement on the push endpoints",
            read_only ? SqliteConnection::Mode::ReadOnly : SqliteConnection::Mode::ReadWrite) {}

  std::vector<PushEndpointRow> Endpoints() override {
    auto q = db_.Prepare(sql::kPushEndpoints.sqlite());
    std::vector<PushEndpointRow> rows;
    while (db_.Step(q.get(), "listing the push endpoints") == SQLITE_ROW)
      rows.push_back(RowOf([&](int c) { return SqliteConnection::Text(q.get(), c); }));
    return rows;
  }

  FeedCursor Head() override {
    auto q = db_.Prepare("SELECT coalesce(max(feed_seq), 0) FROM swipes");
    db_.Step(q.get(), "reading the feed's head");
    return {0, static_cast<std::uint64_t>(sqlite3_column_int64(q.get(), 0))};
  }

  FeedCursor BeforeStoredFrom(const std::string& utc) override {
    auto q = db_.Prepare("SELECT min(feed_seq) FROM swipes WHERE downloaded_at >= ?1");
    SqliteConnection::Bind(q.get(), 1, utc);
    db_.Step(q.get(), "finding the first swipe stored on a date");
    if (sqlite3_column_type(q.get(), 0) == SQLITE_NULL) return Head();
    return {0, static_cast<std::uint64_t>(sqlite3_column_int64(q.get(), 0)) - 1};
  }

  bool Add(const std::string& name, const FeedCursor& cursor, const std::string& added_at) override {
    auto q = db_.Prepare(sql::kAddPushEndpoint.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    sqlite3_bind_int64(q.get(), 2, static_cast<sqlite3_int64>(cursor.xid));
    sqlite3_bind_int64(q.get(), 3, static_cast<sqlite3_int64>(cursor.seq));
    SqliteConnection::Bind(q.get(), 4, added_at);
    SqliteConnection::Bind(q.get(), 5, site_);
    return db_.Rows(q.get(), "adding a push endpoint") == 1;
  }

  void Adopt(const std::string& name) override {
    auto q = db_.Prepare(sql::kAdoptPushEndpoint.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    SqliteConnection::Bind(q.get(), 2, site_);
    db_.Step(q.get(), "giving a push endpoint its site");
  }

  void SetAllSites(const std::string& name, bool all_sites) override {
    auto q = db_.Prepare(sql::kPushAllSites.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    SqliteConnection::Bind(q.get(), 2, site_);
    sqlite3_bind_int(q.get(), 3, all_sites ? 1 : 0);
    db_.Step(q.get(), "recording which sites a push endpoint takes");
  }

  std::optional<FeedCursor> SiteKeysFrom() override {
    auto q = db_.Prepare(sql::kPushKeySites.sqlite());
    if (db_.Step(q.get(), "reading from where push keys carry the site") != SQLITE_ROW) return std::nullopt;
    return FeedCursor{0, static_cast<std::uint64_t>(sqlite3_column_int64(q.get(), 1))};
  }

  void Remove(const std::string& name) override {
    auto q = db_.Prepare(sql::kRemovePushEndpoint.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    SqliteConnection::Bind(q.get(), 2, site_);
    db_.Step(q.get(), "removing a push endpoint");
  }

  std::int64_t Backlog(const FeedCursor& after, const PushFilter& filter) override {
    auto q = db_.Prepare(("SELECT count(*) FROM swipes WHERE feed_seq > ?1" + FilterSql(filter)).c_str());
    sqlite3_bind_int64(q.get(), 1, static_cast<sqlite3_int64>(after.seq));
    db_.Step(q.get(), "counting a push endpoint's backlog");
    return sqlite3_column_int64(q.get(), 0);
  }

  void Delivered(const std::string& name, const FeedCursor& cursor, std::int64_t count, const std::string& at) override {
    auto q = db_.Prepare(sql::kPushDelivered.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    sqlite3_bind_int64(q.get(), 2, static_cast<sqlite3_int64>(cursor.xid));
    sqlite3_bind_int64(q.get(), 3, static_cast<sqlite3_int64>(cursor.seq));
    sqlite3_bind_int64(q.get(), 4, count);
    SqliteConnection::Bind(q.get(), 5, at);
    SqliteConnection::Bind(q.get(), 6, site_);
    db_.Step(q.get(), "recording a push delivery");
  }

  void Failed(const std::string& name, std::int64_t failures, std::int64_t next_attempt, const std::string& error,
              const std::string& at) override {
    auto q = db_.Prepare(sql::kPushFailed.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    sqlite3_bind_int64(q.get(), 2, failures);
    sqlite3_bind_int64(q.get(), 3, next_attempt);
    SqliteConnection::Bind(q.get(), 4, error);
    SqliteConnection::Bind(q.get(), 5, at);
    SqliteConnection::Bind(q.get(), 6, site_);
    db_.Step(q.get(), "recording a push failure");
  }

  void Defer(const std::string& name, std::int64_t next_attempt) override {
    auto q = db_.Prepare(sql::kPushDefer.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    sqlite3_bind_int64(q.get(), 2, next_attempt);
    SqliteConnection::Bind(q.get(), 3, site_);
    db_.Step(q.get(), "deferring a push endpoint");
  }

  std::unique_ptr<PushLock> TryLock(const std::string& name, const std::string& holder, std::int64_t now,
                                    std::int64_t lease) override {
    auto q = db_.Prepare(
        "UPDATE push_endpoints SET lease_holder = ?2, lease_until = ?3 WHERE name = ?1 AND site = ?5 AND "
        "(lease_holder = '' OR lease_holder = ?2 OR lease_until < ?4)");
    SqliteConnection::Bind(q.get(), 1, name);
    SqliteConnection::Bind(q.get(), 2, holder);
    sqlite3_bind_int64(q.get(), 3, now + lease);
    sqlite3_bind_int64(q.get(), 4, now);
    SqliteConnection::Bind(q.get(), 5, site_);
    db_.Step(q.get(), "taking a push endpoint's lease");
    if (sqlite3_changes(db_.get()) != 1) return nullptr;
    return std::make_unique<SqliteLease>(db_, site_, name, holder);
  }

 private:
  SqliteConnection db_;
};

// ---- PostgreSQL ------------------------------------------------------------------------------


// A session advisory lock keyed by the endpoint's name, held by a connection of its own.
class PgAdvisoryLock final : public PushLock {
 public:
  explicit PgAdvisoryLock(std::unique_ptr<PgConnection> c) : c_(std::move(c)) {}

 private:
  std::unique_ptr<PgConnection> c_;  // closing it releases the lock
};

class PostgresPush final : public PushStore {
 public:
  PostgresPush(PgLease lease, const std::string& url, std::chrono::milliseconds lock_timeout)
      : url_(url), lock_timeout_(lock_timeout), lease_(std::move(lease)) {}

  std::vector<PushEndpointRow> Endpoints() override {
    std::vector<PushEndpointRow> rows;
    c_.Retry("listing the push endpoints", [&] {
      rows.clear();
      PgResult r = c_.Exec(sql::kPushEndpoints.postgres(), {},
                           "listing the push endpoints");
      for (int i = 0; i < r.rows(); ++i) rows.push_back(RowOf([&](int c) { return std::string(r.text(i, c)); }));
    });
    return rows;
  }

  FeedCursor Head() override {
    // The last swipe below the feed's bound: every row after it in feed order is of a writer
    // that may still commit, so none is passed over (as the feed reads: swipe_feed.cpp).
    std::string below;
    c_.Retry("reading the feed's head", [&] { below = c_.Exec(FeedBoundSql(), "reading the feed's head").text(0, 0); });
    return One("SELECT feed_xid::text, feed_seq FROM swipes WHERE feed_xid < $1::xid8 "
               "ORDER BY feed_xid DESC, feed_seq DESC LIMIT 1",
               {below.c_str()}, "reading the feed's head", 0)
        .value_or(FeedCursor{});
  }

  FeedCursor BeforeStoredFrom(const std::string& utc) override {
    std::optional<FeedCursor> first =
        One("SELECT feed_xid::text, feed_seq FROM swipes WHERE downloaded_at >= $1 ORDER BY feed_xid, feed_seq LIMIT 1",
            {utc.c_str()}, "finding the first swipe stored on a date", 1);
    // Never after the head: a writer still at work below the first such swipe is not passed over.
    const FeedCursor head = Head();
    return first && (first->xid < head.xid || (first->xid == head.xid && first->seq < head.seq)) ? *first : head;
  }

  bool Add(const std::string& name, const FeedCursor& cursor, const std::string& added_at) override {
    const std::string xid = std::to_string(cursor.xid), seq = std::to_string(cursor.seq);
    bool added = false;
    c_.Retry("adding a push endpoint", [&] {
      added = c_.Exec(sql::kAddPushEndpoint.postgres(),
                      {name.c_str(), xid.c_str(), seq.c_str(), added_at.c_str(), site_.c_str()}, "adding a push endpoint")
                  .rows() == 1;
    });
    return added;
  }

  void Adopt(const std::string& name) override {
    c_.Retry("giving a push endpoint its site", [&] {
      c_.Exec(sql::kAdoptPushEndpoint.postgres(), {name.c_str(), site_.c_str()}, "giving a push endpoint its site");
    });
  }

  void SetAllSites(const std::string& name, bool all_sites) override {
    c_.Retry("recording which sites a push endpoint takes", [&] {
      c_.Exec(sql::kPushAllSites.postgres(), {name.c_str(), site_.c_str(), all_sites ? "1" : "0"},
              "recording which sites a push endpoint takes");
    });
  }

  std::optional<FeedCursor> SiteKeysFrom() override {
    return One(sql::kPushKeySites.postgres(), {}, "reading from where push keys carry the site", 0);
  }

  void Remove(const std::string& name) override {
    c_.Retry("removing a push endpoint",
             [&] { c_.Exec(sql::kRemovePushEndpoint.postgres(), {name.c_str(), site_.c_str()}, "removing a push endpoint"); });
  }

  std::int64_t Backlog(const FeedCursor& after, const PushFilter& filter) override {
    const std::string xid = std::to_string(after.xid), seq = std::to_string(after.seq);
    std::int64_t count = 0;
    c_.Retry("counting a push endpoint's backlog", [&] {
      PgResult r = c_.Exec("SELECT count(*) FROM swipes WHERE (feed_xid, feed_seq) > ($1::xid8, $2::bigint)" +
                               FilterSql(filter),
                           {xid.c_str(), seq.c_str()}, "counting a push endpoint's backlog");
      count = std::stoll(r.text(0, 0));
    });
    return count;
  }

  void Delivered(const std::string& name, const FeedCursor& cursor, std::int64_t count, const std::string& at) override {
    const std::string xid = std::to_string(cursor.xid), seq = std::to_string(cursor.seq), n = std::to_string(count);
    c_.Retry("recording a push delivery", [&] {
      c_.Exec(sql::kPushDelivered.postgres(),
              {name.c_str(), xid.c_str(), seq.c_str(), n.c_str(), at.c_str(), site_.c_str()},
              "recording a push delivery");
    });
  }

  void Failed(const std::string& name, std::int64_t failures, std::int64_t next_attempt, const std::string& error,
              const std::string& at) override {
    const std::string f = std::to_string(failures), next = std::to_string(next_attempt);
    c_.Retry("recording a push failure", [&] {
      c_.Exec(sql::kPushFailed.postgres(),
              {name.c_str(), f.c_str(), next.c_str(), error.c_str(), at.c_str(), site_.c_str()},
              "recording a push failure");
    });
  }

  void Defer(const std::string& name, std::int64_t next_attempt) override {
    const std::string next = std::to_string(next_attempt);
    c_.Retry("deferring a push endpoint", [&] {
      c_.Exec(sql::kPushDefer.postgres(), {name.c_str(), next.c_str(), site_.c_str()},
              "deferring a push endpoint");
    });
  }

  std::unique_ptr<PushLock> TryLock(const std::string& name, const std::string&, std::int64_t, std::int64_t) override {
    auto c = std::make_unique<PgConnection>(url_, HostPgOptions(lock_timeout_));
    // An endpoint of no site keeps the key it had before endpoints had sites.
    const std::string key = "vanto push " + (site_.empty() ? name : site_ + "/" + name);
    PgResult r = c->Exec("SELECT pg_try_advisory_lock(hashtextextended($1, 0))", {key.c_str()},
                         "locking a push endpoint");
    if (std::string(r.text(0, 0)) != "t") return nullptr;
    return std::make_unique<PgAdvisoryLock>(std::move(c));
  }

 private:
  // The one row's (xid, seq) of `sql`, less `back` in seq; nothing when there is no row.
  std::optional<FeedCursor> One(const std::string& sql, const std::vector<const char*>& values, const std::string& step,
                                std::uint64_t back) {
    std::optional<FeedCursor> cursor;
    c_.Retry(step, [&] {
      PgResult r = c_.Exec(sql, values, step);
      cursor.reset();
      if (r.rows() == 1) cursor = FeedCursor{std::stoull(r.text(0, 0)), std::stoull(r.text(0, 1)) - back};
    });
    return cursor;
  }

  std::string url_;
  std::chrono::milliseconds lock_timeout_;
  PgLease lease_;
  PgConnection& c_ = *lease_;
};

}  // namespace

bool PushFilter::Matches(const StoredSwipe& swipe) const {
  if (!ports.empty() && std::find(ports.begin(), ports.end(), swipe.port) == ports.end()) return false;
  if (!people.empty() && std::find(people.begin(), people.end(), swipe.person) == people.end()) return false;
  return !site || swipe.site == *site;
}

std::unique_ptr<PushStore> OpenPushStore(const std::string& location, std::chrono::milliseconds lock_timeout,
                                         bool migrate, bool read_only) {
  if (migrate) {
    OpenOptions options;
    options.lock_timeout = lock_timeout;
    OpenRecordStore(location, options);  // takes the schema steps the database is missing
  }
  if (IsDatabaseUrl(location)) return std::make_unique<PostgresPush>(ConnectOwn(location, lock_timeout), location, lock_timeout);
  return std::make_unique<SqlitePush>(location, lock_timeout, read_only);
}

std::unique_ptr<PushStore> PostgresPushOver(PgLease lease, const std::string& url, std::chrono::milliseconds lock_timeout) {
  return std::make_unique<PostgresPush>(std::move(lease), url, lock_timeout);
}

}  // namespace vanto::store
