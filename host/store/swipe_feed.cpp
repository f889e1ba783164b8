#include "host/store/swipe_feed.h"

#include <sqlite3.h>

#include <charconv>

#include "host/store/schema.h"
#include "host/store/sqlite_store.h"
#include "platform/ado/pg_connection.h"
#include "platform/ado/sqlite_connection.h"
#include "platform/ado/store_failure.h"

namespace vanto::store {
namespace {

constexpr const char* kFeedColumns =
    "port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, record_index, "
    "epoch";

bool ParseNumber(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

class SqliteFeed final : public SwipeFeed {
 public:
  SqliteFeed(const std::string& path, std::chrono::milliseconds wait)
      : db_(path, wait, "opening the feed", "preparing the feed", SqliteConnection::Mode::ReadOnly, HostSqliteMessage),
        read_(db_.Prepare((std::string("SELECT feed_seq, ") + kFeedColumns +
                           " FROM swipes WHERE feed_seq > ?1 ORDER BY feed_seq LIMIT ?2")
                              .c_str())) {}

  FeedPage Read(const FeedCursor& after, std::size_t limit) override {
    FeedPage page;
    page.next = after;
    sqlite3_stmt* q = read_.get();
    sqlite3_reset(q);
    sqlite3_bind_int64(q, 1, static_cast<sqlite3_int64>(after.seq));
    sqlite3_bind_int64(q, 2, static_cast<sqlite3_int64>(limit));
    int rc;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
      StoredSwipe s;
      s.port = sqlite3_column_int(q, 1);
      s.terminal = sqlite3_column_int(q, 2);
      s.person = sqlite3_column_int(q, 3);
      s.minute = Text(q, 4);
      s.occurrence = sqlite3_column_int(q, 5);
      s.time = Text(q, 6);
      s.downloaded_at = Text(q, 7);
      if (sqlite3_column_type(q, 8) != SQLITE_NULL) {
        s.identity = static_cast<std::uint32_t>(sqlite3_column_int64(q, 8));
        s.generation = static_cast<std::uint32_t>(sqlite3_column_int64(q, 9));
        s.index = static_cast<std::uint32_t>(sqlite3_column_int64(q, 10));
      }
      s.epoch = static_cast<std::uint32_t>(sqlite3_column_int64(q, 11));
      page.next = {0, static_cast<std::uint64_t>(sqlite3_column_int64(q, 0))};
      page.swipes.push_back(std::move(s));
    }
    sqlite3_reset(q);
    if (rc != SQLITE_DONE) db_.Fail(rc, "reading the feed");
    return page;
  }

 private:
  static std::string Text(sqlite3_stmt* q, int column) { return SqliteConnection::Text(q, column); }
  SqliteConnection db_;
  SqliteStatement read_;
};

class PostgresFeed final : public SwipeFeed {
 public:
  PostgresFeed(const std::string& url, std::chrono::milliseconds wait) : c_(url, Options(wait)) {}

  FeedPage Read(const FeedCursor& after, std::size_t limit) override {
    FeedPage page;
    std::string xid = std::to_string(after.xid), seq = std::to_string(after.seq), count = std::to_string(limit);
    // Rows of transactions below the snapshot's xmin only: every one of those has ended, so
    // nothing can later be committed before the cursor this page hands out.
    std::string sql = std::string("SELECT feed_xid::text AS position_xid, feed_seq AS position_seq, ") + kFeedColumns +
                      " FROM swipes WHERE (feed_xid, feed_seq) > ($1::xid8, $2::bigint) "
                      "AND feed_xid < pg_snapshot_xmin(pg_current_snapshot()) "
                      "ORDER BY swipes.feed_xid, swipes.feed_seq LIMIT $3::bigint";
    c_.Retry("reading the feed", [&] {
      page = {};
      page.next = after;
      PgResult r = c_.Exec(sql, {xid.c_str(), seq.c_str(), count.c_str()}, "reading the feed");
      for (int i = 0; i < r.rows(); ++i) {
        StoredSwipe s;
        s.port = std::stoi(r.text(i, 2));
        s.terminal = std::stoi(r.text(i, 3));
        s.person = std::stoi(r.text(i, 4));
        s.minute = r.text(i, 5);
        s.occurrence = std::stoi(r.text(i, 6));
        s.time = r.text(i, 7);
        s.downloaded_at = r.text(i, 8);
        if (!r.null(i, 9)) {
          s.identity = static_cast<std::uint32_t>(std::stoll(r.text(i, 9)));
          s.generation = static_cast<std::uint32_t>(std::stoll(r.text(i, 10)));
          s.index = static_cast<std::uint32_t>(std::stoll(r.text(i, 11)));
        }
        s.epoch = static_cast<std::uint32_t>(std::stoll(r.text(i, 12)));
        FeedCursor c;
        if (!ParseNumber(r.text(i, 0), c.xid) || !ParseNumber(r.text(i, 1), c.seq))
          throw StoreError(StoreFailure::Invalid, "database " + c_.server() + ": a feed position is not a number");
        page.next = c;
        page.swipes.push_back(std::move(s));
      }
    });
    return page;
  }

 private:
  static PgOptions Options(std::chrono::milliseconds wait) {
    PgOptions o;
    o.lock_timeout = wait;
    return o;
  }
  PgConnection c_;
};

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
  if (IsDatabaseUrl(location)) return std::make_unique<PostgresFeed>(location, lock_timeout);
  return std::make_unique<SqliteFeed>(location, lock_timeout);
}

}  // namespace vanto::store
