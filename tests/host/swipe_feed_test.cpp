// The feed of swipes: cursors, and four writers committing at once on each engine while a
// consumer pages as fast as it can: every swipe is served exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "host/db/swipe_feed.h"
#include "host/db/schema.h"
#include "host/db/pg_connection.h"
#include "tests/host/store_engines.h"
#include "host/db/openers.h"

namespace vanto::store {
namespace {

using testing::PostgresEngine;
using testing::SqliteEngine;
using testing::StoreEngine;

TEST(FeedCursorTest, ParsesOnlyWhatItWrites) {
  struct Case {
    const char* text;
    std::optional<FeedCursor> cursor;
  } cases[] = {
      {"", FeedCursor{}},
      {"0.1", FeedCursor{0, 1}},
      {"812.40000", FeedCursor{812, 40000}},
      {"1", std::nullopt},
      {".", std::nullopt},
      {"1.", std::nullopt},
      {".1", std::nullopt},
      {"1.2.3", std::nullopt},
      {"-1.2", std::nullopt},
      {"1.+2", std::nullopt},
      {"1. 2", std::nullopt},
      {"a.b", std::nullopt},
      {"0.99999999999999999999", std::nullopt},  // past 64 bits
      {"0.9223372036854775808", std::nullopt},   // past a signed column
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseFeedCursor(c.text), c.cursor) << "'" << c.text << "'";
    if (c.cursor) {
      EXPECT_EQ(FormatFeedCursor(*c.cursor), c.text);
    }
  }
}

StoredSwipe FeedSwipe(std::uint32_t writer, std::uint32_t index) {
  StoredSwipe s;
  s.port = 1;
  s.terminal = static_cast<int>(writer);
  s.person = static_cast<std::int32_t>(index % 97);
  s.minute = "2026-12-08 08:" + std::string(index % 60 < 10 ? "0" : "") + std::to_string(index % 60);
  s.occurrence = static_cast<int>(index);
  s.time = s.minute + ":00";
  s.downloaded_at = "2026-12-08T09:00:00Z";
  s.identity = 1000 + writer;
  s.generation = 1;
  s.index = index;
  return s;
}

class SwipeFeedTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    VANTO_STORE_ENGINE(GetParam(), engine_);
    location_ = engine_->FreshLocation();
    OpenSwipeStore(location_);  // creates the schema
  }
  static StoredSwipe Swipe(std::uint32_t writer, std::uint32_t index) { return FeedSwipe(writer, index); }

  std::unique_ptr<StoreEngine> engine_;
  std::string location_;
};

TEST_P(SwipeFeedTest, PagesInOrderAndEmptyPageKeepsTheCursor) {
  auto store = OpenSwipeStore(location_);
  auto feed = OpenSwipeFeed(location_);
  FeedPage empty = feed->Read({}, 10);
  EXPECT_TRUE(empty.swipes.empty());
  EXPECT_EQ(empty.next, FeedCursor{});
  std::vector<StoredSwipe> rows;
  for (std::uint32_t i = 0; i < 5; ++i) rows.push_back(Swipe(1, i));
  store->Insert(rows);
  FeedPage first = feed->Read({}, 3);
  ASSERT_EQ(first.swipes.size(), 3u);
  FeedPage second = feed->Read(first.next, 3);
  ASSERT_EQ(second.swipes.size(), 2u);
  EXPECT_EQ(second.swipes[1].index, 4u);
  FeedPage third = feed->Read(second.next, 3);
  EXPECT_TRUE(third.swipes.empty());
  EXPECT_EQ(third.next, second.next);
  // A held key offered again is not stored again, so not fed again.
  store->Insert(rows);
  EXPECT_TRUE(feed->Read(second.next, 3).swipes.empty());
}

TEST_P(SwipeFeedTest, FourWritersOneConsumerEverySwipeOnce) {
  constexpr std::uint32_t kWriters = 4, kBatches = 60, kBatch = 25;
  std::atomic<int> writing{kWriters};
  std::vector<std::string> failures(kWriters);
  std::vector<std::thread> writers;
  for (std::uint32_t w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      try {
        auto store = OpenSwipeStore(location_, {.create = false, .lock_timeout = std::chrono::milliseconds(60000)});
        for (std::uint32_t b = 0; b < kBatches; ++b) {
          std::vector<StoredSwipe> rows;
          for (std::uint32_t i = 0; i < kBatch; ++i) rows.push_back(Swipe(w, b * kBatch + i));
          store->Insert(rows);
        }
      } catch (const std::exception& e) {
        failures[w] = e.what();
      }
      --writing;
    });

  std::map<std::pair<std::uint32_t, std::uint32_t>, int> seen;
  auto feed = OpenSwipeFeed(location_, std::chrono::milliseconds(60000));
  FeedCursor cursor;
  std::size_t pages = 0;
  // An empty page does not mean the feed has caught up: a transaction still open anywhere on the
  // server (another test's, on a shared server) holds it back. Read on until every swipe written
  // has come, within a bound, then once more: nothing may follow.
  const std::size_t expected = kWriters * kBatches * kBatch;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  for (;;) {
    const bool done = writing.load() == 0;  // read before the page: a page read after it is complete
    FeedPage page = feed->Read(cursor, 37);
    ++pages;
    for (const StoredSwipe& s : page.swipes) ++seen[{*s.identity, *s.index}];
    cursor = page.next;
    if ((done && page.swipes.empty() && seen.size() >= expected) || std::chrono::steady_clock::now() > deadline) break;
  }
  for (std::thread& t : writers) t.join();
  for (const std::string& f : failures) EXPECT_EQ(f, "");
  EXPECT_EQ(seen.size(), expected);
  for (const auto& [key, count] : seen) EXPECT_EQ(count, 1) << key.first << "/" << key.second;
  EXPECT_GT(pages, 1u);
}

// PostgreSQL: the feed waits for the transactions of writers of swipes only. Another program's
// transaction left open (its id below every row stored after it) does not hold it back; a
// writer's open transaction does until it ends, and then nothing behind the cursor is skipped.
TEST(PostgresFeedTest, WaitsForOpenWritersOfSwipesOnly) {
  VANTO_REQUIRE_PG();
  PostgresEngine engine;
  const std::string location = engine.FreshLocation();
  auto store = OpenSwipeStore(location);
  auto feed = OpenSwipeFeed(location);
  struct Case {
    const char* name;
    bool writer;  // the open transaction stores a swipe too
  } cases[] = {{"another program's open transaction", false}, {"a writer's open transaction", true}};
  FeedCursor cursor;
  std::uint32_t index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PgConnection open(location);
    open.Exec("BEGIN", "opening a transaction");
    std::optional<std::uint32_t> held;
    if (c.writer) {
      held = index++;
      open.Exec(FeedWriterLockSql(), "taking the feed's writer lock");
      const std::string at = std::to_string(*held);
      open.Exec(std::string("INSERT INTO swipes (") + kSwipeColumns +
                    ") VALUES (1, 9, 1, '2026-12-08 07:00', 1, '2026-12-08 07:00:00', '2026-12-08T09:00:00Z', 1009, 1, " +
                    at + ", 0, '')",
                "storing a swipe");
    } else {
      open.Exec("SELECT pg_current_xact_id()", "taking a transaction id");
    }
    std::vector<StoredSwipe> rows;
    for (int i = 0; i < 3; ++i) rows.push_back(FeedSwipe(1, index++));
    store->Insert(rows);
    FeedPage before = feed->Read(cursor, 100);
    EXPECT_EQ(before.swipes.size(), c.writer ? 0u : rows.size());
    cursor = before.next;
    open.Exec("COMMIT", "committing");
    FeedPage after = feed->Read(cursor, 100);
    ASSERT_EQ(after.swipes.size(), c.writer ? rows.size() + 1 : 0u);
    if (held) {
      EXPECT_EQ(after.swipes.front().index, held);  // the open writer's row first
    }
    cursor = after.next;
  }
}

// Every transaction of the store that stores swipes holds the feed's writer lock while it runs:
// a store's insert kept waiting on a key another session holds shows as a holder in pg_locks.
TEST(PostgresFeedTest, TheStoreHoldsTheWriterLockWhileItStores) {
  VANTO_REQUIRE_PG();
  PostgresEngine engine;
  const std::string location = engine.FreshLocation();
  auto store = OpenSwipeStore(location);
  PgConnection watch(location);
  const std::string holders =
      "SELECT count(*) FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid WHERE l.locktype = 'advisory' "
      "AND l.classid = " + std::to_string(kFeedWriterClass) + " AND l.objid = " + std::to_string(kFeedWriterObject) +
      " AND l.objsubid = 2 AND a.wait_event_type = 'Lock' AND a.datname = current_database()";
  struct Case {
    const char* name;
    bool log;
  } cases[] = {{"a terminal without identity", false}, {"a terminal's log", true}};
  std::uint32_t index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StoredSwipe row = FeedSwipe(2, index++);
    if (!c.log) row.identity = row.generation = row.index = std::nullopt;
    PgConnection holder(location);
    holder.Exec("BEGIN", "opening a transaction");
    const std::string log = c.log ? std::to_string(*row.identity) + ", 1, " + std::to_string(*row.index) : "NULL, NULL, NULL";
    holder.Exec(std::string("INSERT INTO swipes (") + kSwipeColumns + ") VALUES (1, 2, " + std::to_string(row.person) +
                    ", '" + row.minute + "', " + std::to_string(row.occurrence) + ", '" + row.time + "', '" +
                    row.downloaded_at + "', " + log + ", 0, '')",
                "holding the key");
    std::vector<bool> added;
    std::string failure;
    std::thread writer([&] {
      try {
        added = store->Insert(std::vector<StoredSwipe>{row});
      } catch (const std::exception& e) {
        failure = e.what();
      }
    });
    bool seen = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!seen && std::chrono::steady_clock::now() < deadline)
      seen = std::string(watch.Exec(holders, "reading the lock holders").text(0, 0)) == "1";
    holder.Exec("ROLLBACK", "letting the key go");
    writer.join();
    EXPECT_TRUE(seen);
    EXPECT_EQ(failure, "");
    EXPECT_EQ(added, std::vector<bool>{true});
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, SwipeFeedTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::store
