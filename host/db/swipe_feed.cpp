#include "host/db/swipe_feed.h"

#include <sqlite3.h>

#include <charconv>

#include "host/db/schema.h"
#include "host/message.h"
#include "host/db/sqlite_store.h"
#include "host/db/pg_engines.h"
#include "host/db/postgres_store.h"
#include "host/db/pg_connection.h"
#include "host/db/sqlite_connection.h"
#include "host/db/store_failure.h"
#include "host/db/openers.h"

namespace vanto::store {
namespace {

constexpr const char* kFeedColumns =
    "port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, record_index, "
    "epoch";

FeedCursorMoved Moved(const std::string& where, const FeedCursor& after, const FeedCursor& here);

// The sites as one parameter: ",A,B," (a site's name holds no comma).
std::string SiteList(const std::vector<std::string>& sites) {
  std::string list = ",";
  for (const std::string& s : sites) list += s + ",";
  return list;
}

// The feed's page: the swipes after a position and, from schema step 19 on, the withdrawn swipes
// (swipes_withdrawn) after it, each arm cut to the page first so neither is read past it.
// `after` is the condition both arms share; the last column tells a withdrawn swipe.
// From schema step 20 on each row's site follows the feed's columns.
std::string PageSql(bool withdrawn, bool sited, const std::string& position, const std::string& after,
                    const std::string& limit) {
  const std::string columns = std::string(kFeedColumns) + (sited ? ", site" : "");
  std::string swipes = "SELECT " + position + columns + ", 0 AS withdrawn FROM swipes WHERE " + after +
                       " ORDER BY 1, 2 LIMIT " + limit;
  if (!withdrawn) return swipes;
  return "SELECT * FROM (" + swipes + ") AS fed UNION ALL SELECT * FROM (SELECT " + position + columns +
         ", 1 AS withdrawn FROM swipes_withdrawn WHERE " + after + " ORDER BY 1, 2 LIMIT " + limit +
         ") AS gone ORDER BY 1, 2 LIMIT " + limit;
}

bool ParseNumber(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

class SqliteFeed final : public SwipeFeed, public SqliteBacked {
 public:
  sqlite3* sqlite_connection() const override { return db_.get(); }
  SqliteFeed(const std::string& path, std::chrono::milliseconds wait)
      : db_(path, wait, "opening the feed", "preparing the feed", SqliteConnection::Mode::ReadOnly, HostSqliteMessage) {
    SqliteStatement has = db_.Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'swipes_withdrawn'");
    const int rc = sqlite3_step(has.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) db_.Fail(rc, "preparing the feed");
    withdrawn_ = rc == SQLITE_ROW;
    SqliteStatement sites = db_.Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'sites'");
    const int sites_rc = sqlite3_step(sites.get());
    if (sites_rc != SQLITE_ROW && sites_rc != SQLITE_DONE) db_.Fail(sites_rc, "preparing the feed");
    sited_ = sites_rc == SQLITE_ROW;
    // The position is one number; 0 stands for the transaction id the server's feed orders by.
    read_ = db_.Prepare(PageSql(withdrawn_, sited_, "feed_seq, 0, ", "feed_seq > ?1", "?2").c_str());
  }

  using SwipeFeed::Read;
  FeedPage Read(const FeedCursor& after, std::size_t limit, const std::vector<std::string>& sites) override {
    if (after != FeedCursor{}) {
      if (!moved_)
        moved_ = db_.Prepare(
            (std::string("SELECT to_xid, to_seq FROM feed_moves WHERE from_xid = ?1 AND from_seq = ?2 AND to_seq IS NOT "
                         "NULL AND NOT (?1 = 0 AND EXISTS (SELECT 1 FROM swipes WHERE feed_seq = ?2))") +
             (withdrawn_ ? " AND NOT (?1 = 0 AND EXISTS (SELECT 1 FROM swipes_withdrawn WHERE feed_seq = ?2))" : ""))
                .c_str());
      sqlite3_stmt* m = moved_.get();
      sqlite3_reset(m);
      sqlite3_bind_int64(m, 1, static_cast<sqlite3_int64>(after.xid));
      sqlite3_bind_int64(m, 2, static_cast<sqlite3_int64>(after.seq));
      const int rc = sqlite3_step(m);
      if (rc == SQLITE_ROW) {
        const FeedCursor here{static_cast<std::uint64_t>(sqlite3_column_int64(m, 0)),
                              static_cast<std::uint64_t>(sqlite3_column_int64(m, 1))};
        sqlite3_reset(m);
        throw Moved(db_.path(), after, here);
      }
      sqlite3_reset(m);
      if (rc != SQLITE_DONE) db_.Fail(rc, "reading the feed");
    }
    FeedPage page;
    page.next = after;
    if (!sites.empty() && !sited_) return page;  // no swipe of any site
    if (!sites.empty() && !read_sites_)
      read_sites_ = db_.Prepare(
          PageSql(withdrawn_, sited_, "feed_seq, 0, ", "feed_seq > ?1 AND instr(?3, ',' || site || ',') > 0", "?2").c_str());
    sqlite3_stmt* q = sites.empty() ? read_.get() : read_sites_.get();
    sqlite3_reset(q);
    sqlite3_bind_int64(q, 1, static_cast<sqlite3_int64>(after.seq));
    sqlite3_bind_int64(q, 2, static_cast<sqlite3_int64>(limit));
    const std::string list = SiteList(sites);
    if (!sites.empty()) sqlite3_bind_text(q, 3, list.data(), static_cast<int>(list.size()), SQLITE_STATIC);
    const int withdrawn_column = sited_ ? 14 : 13;
    int rc;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
      StoredSwipe s = SqliteStoredSwipe(q, 2, sited_);
      s.withdrawn = sqlite3_column_int(q, withdrawn_column) != 0;
      page.next = {0, static_cast<std::uint64_t>(sqlite3_column_int64(q, 0))};
      page.positions.push_back(page.next);
      page.swipes.push_back(std::move(s));
    }
    sqlite3_reset(q);
    if (rc != SQLITE_DONE) db_.Fail(rc, "reading the feed");
    return page;
  }

 private:
  static std::string Text(sqlite3_stmt* q, int column) { return SqliteConnection::Text(q, column); }
  SqliteConnection db_;
  SqliteStatement read_, read_sites_, moved_;
  bool withdrawn_ = false, sited_ = false;
};

class PostgresFeed final : public SwipeFeed {
 public:
  explicit PostgresFeed(PgLease lease) : lease_(std::move(lease)) {}

  using SwipeFeed::Read;
  FeedPage Read(const FeedCursor& after, std::size_t limit, const std::vector<std::string>& sites) override {
    FeedPage page;
    std::string xid = std::to_string(after.xid), seq = std::to_string(after.seq), count = std::to_string(limit);
    // The feed hands out rows in (transaction id, number) order, so it may serve a row only when
    // no transaction with a smaller id can still commit one: the page is bounded by `below`, and
    // every writer of swipes with an id below it must have ended. Writers of swipes (and only
    // they) hold the feed's writer lock (FeedWriterLockSql) from before their first write, that
    // is from before they have a transaction id, until they end; so a long transaction of
    // another program no longer holds the feed back.
    //
    // The first statement takes its snapshot, whose xmax N is the first id not yet completed,
    // then reads the holders of the writer lock (pg_locks) and their transaction ids
    // (pg_stat_activity's backend_xid, shown to every role): H, the smallest of those ids,
    // widened from 32 to 64 bits next to N. below = min(N, H). The page is read by a second
    // statement, with a later snapshot. Take any writer W whose id w < below:
    // - w < N: some transaction with an id >= w had completed when the first snapshot was taken,
    //   so W had its id then, and its backend showed it from then until W ended (ids assigned
    //   after the snapshot are >= N).
    // - When the lock holders and their ids were read, W either still ran, holding the writer
    //   lock (taken before it had an id) and showing w, so that H <= w < below: impossible; or W
    //   had ended. A transaction leaves the set of running transactions before it releases its
    //   locks and clears its id, so the second statement's snapshot sees all its rows if it
    //   committed, and it adds none later.
    // - A writer that held the lock with no id yet when it was read gets its id after the first
    //   snapshot, so it is >= N >= below: its rows wait for a later page.
    // - A writer that commits between the two statements: with an id below N it was either seen
    //   running (the bound stays below its id) or had ended already; with an id >= N the page
    //   stops below it. Either way the page holds none of its rows that it could still miss.
    // So nothing can later appear behind the cursor a page hands out. A writer that did not take
    // the lock could be passed: schema version 12 keeps programs from before it out of the
    // database. A transaction of another program, or a reader's, no longer holds the feed back.
    static const std::string bound = FeedBoundSql();
    // The withdrawn swipes (schema step 19) take their positions as swipes do, under the same lock.
    if (!withdrawn_)
      c_.Retry("reading the feed", [&] {
        withdrawn_ = std::string(c_.Exec("SELECT to_regclass('swipes_withdrawn') IS NOT NULL", "reading the feed")
                                     .text(0, 0)) == "t";
      });
    if (!sited_)
      c_.Retry("reading the feed", [&] {
        sited_ = std::string(c_.Exec("SELECT to_regclass('sites') IS NOT NULL", "reading the feed").text(0, 0)) == "t";
      });
    if (!sites.empty() && !sited_) {  // no swipe of any site
      page.next = after;
      return page;
    }
    const std::string sql = PageSql(withdrawn_, sited_, "feed_xid AS position_xid, feed_seq AS position_seq, ",
                                    std::string("(feed_xid, feed_seq) > ($1::xid8, $2::bigint) AND feed_xid < $4::xid8") +
                                        (sites.empty() ? "" : " AND strpos($5, ',' || site || ',') > 0"),
                                    "$3::bigint");
    const std::string list = SiteList(sites);
    const int withdrawn_column = sited_ ? 14 : 13;
    std::optional<FeedCursor> moved;
    c_.Retry("reading the feed", [&] {
      page = {};
      page.next = after;
      moved.reset();
      if (after != FeedCursor{}) {
        PgResult m = c_.Exec(
            std::string("SELECT to_xid, to_seq FROM feed_moves WHERE from_xid = $1::bigint AND from_seq = $2::bigint AND to_seq IS NOT "
                        "NULL AND NOT EXISTS (SELECT 1 FROM swipes WHERE feed_xid = $1::text::xid8 AND feed_seq = $2::bigint)") +
                (withdrawn_ ? " AND NOT EXISTS (SELECT 1 FROM swipes_withdrawn WHERE feed_xid = $1::text::xid8 AND "
                              "feed_seq = $2::bigint)"
                            : ""),
            {xid.c_str(), seq.c_str()}, "reading the feed");
        if (m.rows() == 1) {
          FeedCursor here;
          if (!ParseNumber(m.text(0, 0), here.xid) || !ParseNumber(m.text(0, 1), here.seq))
            throw StoreError(StoreFailure::Invalid, "database " + c_.server() + ": a feed position is not a number");
          moved = here;
          return;
        }
      }
      const std::string below = c_.Exec(bound, "reading the feed").text(0, 0);
      std::vector<const char*> values{xid.c_str(), seq.c_str(), count.c_str(), below.c_str()};
      if (!sites.empty()) values.push_back(list.c_str());
      PgResult r = c_.Exec(sql, values, "reading the feed");
      for (int i = 0; i < r.rows(); ++i) {
        StoredSwipe s = PgStoredSwipe(r, i, 2, sited_);
        s.withdrawn = std::string(r.text(i, withdrawn_column)) == "1";
        FeedCursor c;
        if (!ParseNumber(r.text(i, 0), c.xid) || !ParseNumber(r.text(i, 1), c.seq))
          throw StoreError(StoreFailure::Invalid, "database " + c_.server() + ": a feed position is not a number");
        page.next = c;
        page.positions.push_back(c);
        page.swipes.push_back(std::move(s));
      }
    });
    if (moved) throw Moved(c_.server(), after, *moved);
    return page;
  }

 private:
  PgLease lease_;
  PgConnection& c_ = *lease_;
  bool withdrawn_ = false, sited_ = false;
};

FeedCursorMoved Moved(const std::string& where, const FeedCursor& after, const FeedCursor& here) {
  return FeedCursorMoved(host::Message("database {0}: feed cursor {1} is a position in the database this one was copied "
                                      "from; here it is {2}",
                                      {where, FormatFeedCursor(after), FormatFeedCursor(here)}),
                         here);
}

}  // namespace

std::string FormatFeedCursor(const FeedCursor& cursor) {
  if (cursor == FeedCursor{}) return "";
  return std::to_string(cursor.xid) + "." + std::to_string(cursor.seq);
}

std::optional<FeedCursor> ParseFeedCursor(const std::string& text) {
  if (text.empty()) return FeedCursor{};
  std::size_t dot = text.find('.');
  if (dot == std::string::npos) return std::nullopt;
  FeedCursor c;
  std::string_view all(text);
  if (!ParseNumber(all.substr(0, dot), c.xid) || !ParseNumber(all.substr(dot + 1), c.seq)) return std::nullopt;
  if (c.seq > static_cast<std::uint64_t>(INT64_MAX) || c.xid > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  return c;
}

std::unique_ptr<SwipeFeed> OpenSwipeFeed(const std::string& location, std::chrono::milliseconds lock_timeout) {
  if (IsDatabaseUrl(location)) return std::make_unique<PostgresFeed>(ConnectOwn(location, lock_timeout));
  return std::make_unique<SqliteFeed>(location, lock_timeout);
}

std::unique_ptr<SwipeFeed> PostgresFeedOver(PgLease lease) { return std::make_unique<PostgresFeed>(std::move(lease)); }

}  // namespace vanto::store
