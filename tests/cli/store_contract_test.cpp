// The swipe-store contract: one set of tests every engine behind the seam passes (keyed inserts
// that skip held keys, batches, reading back in time order with filters, the schema version),
// and the keying of deliveries over each engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <memory>
#include <string>
#include <vector>

#include "cli/store/record_store.h"
#include "cli/store/schema.h"
#include "tests/cli/store_engines.h"

namespace vanto::store::testing {
namespace {

// 2026-11-06 00:00 as a date value, plus minutes and seconds.
DATE At(int minutes, int seconds = 0) { return 46332.0 + (minutes * 60 + seconds) / 86400.0; }

StoredSwipe Row(int port, int terminal, std::int32_t person, const std::string& time, int occurrence = 1) {
  return {port, terminal, person, time.substr(0, 16), occurrence, time, "2026-11-07T08:00:00Z", {}, {}, {}};
}

std::unique_ptr<StoreEngine> MakeEngine(const std::string& name);

SwipeQuery Q(std::optional<std::string> from = {}, std::optional<std::string> to = {},
             std::vector<std::int32_t> persons = {}, std::optional<int> port = {}, std::optional<int> terminal = {}) {
  SwipeQuery q;
  q.from = std::move(from);
  q.to = std::move(to);
  q.persons = std::move(persons);
  q.port = port;
  q.terminal = terminal;
  return q;
}

class SwipeStoreContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgresql") VANTO_REQUIRE_PG();
    engine_ = MakeEngine(GetParam());
    location_ = engine_->FreshLocation();
  }
  std::unique_ptr<SwipeStore> Open() { return OpenSwipeStore(location_); }

  std::unique_ptr<StoreEngine> engine_;
  std::string location_;
};

TEST_P(SwipeStoreContract, InsertStoresNewKeysOnceAndReadsThemBackWhole) {
  auto store = Open();
  EXPECT_EQ(store->schema_version(), LatestSchemaVersion());
  std::vector<StoredSwipe> batch = {Row(1, 2, 7, "2026-11-06 08:00:10"), Row(1, 2, 7, "2026-11-06 08:00:40", 2),
                                    Row(1, 2, -5, "2026-11-06 07:59:00"), Row(3, 1, 2147483647, "2026-11-06 08:00:10")};
  EXPECT_EQ(store->Insert(batch), (std::vector<bool>{true, true, true, true}));
  // The same keys again, with other times, and one new key: only the new one is stored, and
  // the held rows keep what they had.
  std::vector<StoredSwipe> again = batch;
  for (auto& r : again) r.time = r.minute + ":59", r.downloaded_at = "2026-12-01T00:00:00Z";
  again.push_back(Row(1, 2, 7, "2026-11-06 08:00:50", 3));
  EXPECT_EQ(store->Insert(again), (std::vector<bool>{false, false, false, false, true}));
  EXPECT_EQ(store->Insert({}), std::vector<bool>{});

  auto stored = store->Swipes();
  ASSERT_EQ(stored.size(), 5u);
  const StoredSwipe& first = stored[0];
  EXPECT_EQ(first.person, -5);
  EXPECT_EQ(first.port, 1);
  EXPECT_EQ(first.terminal, 2);
  EXPECT_EQ(first.minute, "2026-11-06 07:59");
  EXPECT_EQ(first.occurrence, 1);
  EXPECT_EQ(first.time, "2026-11-06 07:59:00");
  EXPECT_EQ(first.downloaded_at, "2026-11-07T08:00:00Z");
  // Same time: by person, then port.
  EXPECT_EQ(stored[1].person, 7);
  EXPECT_EQ(stored[2].person, 2147483647);
  EXPECT_EQ(stored[3].occurrence, 2);
  EXPECT_EQ(stored[4].occurrence, 3);
  EXPECT_EQ(store->CountSwipes(), 5);
  EXPECT_EQ(store->CountSwipes(1, 2), 4);
  EXPECT_EQ(store->CountSwipes(3, std::nullopt), 1);
}

TEST_P(SwipeStoreContract, QueriesFilterInclusivelyAndStreamInTimeOrder) {
  auto store = Open();
  std::vector<StoredSwipe> rows;
  for (int day = 5; day <= 7; ++day)
    for (int person = 1; person <= 3; ++person)
      for (int port = 1; port <= 2; ++port)
        rows.push_back(Row(port, person, person, "2026-11-0" + std::to_string(day) + " 0" + std::to_string(person) + ":30:00"));
  store->Insert(rows);

  struct Case {
    const char* name;
    SwipeQuery query;
    std::int64_t count;
  } cases[] = {
      {"everything", Q(), 18},
      {"from a day", Q("2026-11-06"), 12},
      {"to a day covers all of it", Q({}, "2026-11-06"), 12},
      {"one day", Q("2026-11-06", "2026-11-06"), 6},
      {"to a minute covers its seconds", Q({}, "2026-11-05 02:30"), 4},
      {"from and to an exact second", Q("2026-11-05 02:30:00", "2026-11-05 02:30:00"), 2},
      {"persons", Q({}, {}, {1, 3}), 12},
      {"a person and a port", Q({}, {}, {2}, 2), 3},
      {"a terminal", Q({}, {}, {}, {}, 3), 6},
      {"everything at once", Q("2026-11-06", "2026-11-07", {3}, 1, 3), 2},
      {"nothing matches", Q("2026-11-08"), 0},
      {"from after to", Q("2026-11-07", "2026-11-05"), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(store->Count(c.query), c.count) << c.name;
    std::vector<StoredSwipe> seen;
    store->Each(c.query, [&](const StoredSwipe& s) {
      seen.push_back(s);
      return true;
    });
    EXPECT_EQ(static_cast<std::int64_t>(seen.size()), c.count) << c.name;
    for (std::size_t i = 1; i < seen.size(); ++i) {
      auto key = [](const StoredSwipe& s) { return std::tuple(s.time, s.person, s.port, s.terminal, s.occurrence); };
      EXPECT_LT(key(seen[i - 1]), key(seen[i])) << c.name << " row " << i;
    }
    for (const StoredSwipe& s : seen) {
      if (c.query.from) {
        EXPECT_GE(s.time, *c.query.from) << c.name;
      }
      if (c.query.port) {
        EXPECT_EQ(s.port, *c.query.port) << c.name;
      }
    }
  }
  // The callback stops the walk.
  int handed = 0;
  store->Each({}, [&](const StoredSwipe&) { return ++handed < 4; });
  EXPECT_EQ(handed, 4);
}

TEST_P(SwipeStoreContract, DeliveriesKeyRepeatsAndResumeWithoutDoubles) {
  auto store = Open();
  std::vector<Swipe> all;
  for (int i = 0; i < 50; ++i) all.push_back({i % 3, At(i / 7)});  // many same-minute repeats
  {
    Delivery broken(*store, 2, 1);  // a download that stopped after 17 records
    broken.Store(std::span(all).first(17));
    EXPECT_EQ(broken.added(), 17u);
  }
  Delivery resumed(*store, 2, 1);
  resumed.Store(std::span(all).first(5));
  auto keyed = resumed.Store(std::span(all).subspan(5, 30));
  resumed.Store(std::span(all).subspan(35));
  EXPECT_EQ(resumed.added(), 33u);
  EXPECT_EQ(resumed.delivered(), 50u);
  EXPECT_EQ(keyed[0].occurrence, 2);  // record 5: person 2 in minute 0, after record 2
  EXPECT_EQ(store->CountSwipes(2, 1), 50);
  Delivery other(*store, 2, 3);
  other.Store(all);
  EXPECT_EQ(other.added(), 50u);
  EXPECT_EQ(store->CountSwipes(), 100);
}

TEST_P(SwipeStoreContract, RowsAndSchemaSurviveReopening) {
  {
    auto store = Open();
    store->Insert(std::vector<StoredSwipe>{Row(1, 1, 1, "2026-11-06 00:01:00")});
  }
  auto again = Open();
  EXPECT_EQ(again->schema_version(), LatestSchemaVersion());
  EXPECT_EQ(again->CountSwipes(), 1);
  EXPECT_EQ(again->Insert(std::vector<StoredSwipe>{Row(1, 1, 1, "2026-11-06 00:01:00")}), std::vector<bool>{false});
}

TEST_P(SwipeStoreContract, ABigBatchIsStoredAndStreamedWhole) {
  auto store = Open();
  std::vector<StoredSwipe> rows;
  for (int i = 0; i < 5000; ++i) {
    char time[32];
    std::snprintf(time, sizeof time, "2026-11-%02d %02d:%02d:%02d", 1 + i / 1440 % 28, i / 60 % 24, i % 60, i % 7);
    rows.push_back(Row(1 + i % 4, 1 + i % 3, i % 97, time, 1 + i / 3000));
  }
  auto added = store->Insert(rows);
  EXPECT_EQ(std::count(added.begin(), added.end(), true), 5000);
  std::int64_t seen = 0;
  store->Each({}, [&](const StoredSwipe&) { return ++seen, true; });
  EXPECT_EQ(seen, 5000);
}

TEST_P(SwipeStoreContract, PeopleAreAddedUpdatedAndKeptWholeText) {
  auto store = Open();
  EXPECT_TRUE(store->People().empty());
  std::vector<PersonName> first = {{102, "王小明", "生产部"},
                                   {-7, "Zhang, \"Wei\"\nsecond line", ""},
                                   {2147483647, "Max", "'; DROP TABLE people; --"}};
  PeopleImport done = store->PutPeople(first);
  EXPECT_EQ(done.added, 3u);
  EXPECT_EQ(done.updated + done.unchanged, 0u);
  std::vector<PersonName> sorted = {first[1], first[0], first[2]};
  EXPECT_EQ(store->People(), sorted);
  // Again with one changed, one the same, one new: the one not listed stays.
  done = store->PutPeople(std::vector<PersonName>{{102, "Wang Xiaoming", "Sales"}, {-7, first[1].name, ""}, {5, "New", ""}});
  EXPECT_EQ(done.added, 1u);
  EXPECT_EQ(done.updated, 1u);
  EXPECT_EQ(done.unchanged, 1u);
  std::vector<PersonName> people = store->People();
  ASSERT_EQ(people.size(), 4u);
  EXPECT_EQ(people[2], (PersonName{102, "Wang Xiaoming", "Sales"}));
  EXPECT_EQ(people[3], first[2]);
}

TEST_P(SwipeStoreContract, PeopleSurviveReopeningAndSwipesStayApart) {
  {
    auto store = Open();
    store->PutPeople(std::vector<PersonName>{{1, "One", ""}});
    store->Insert(std::vector<StoredSwipe>{Row(1, 1, 2, "2026-11-06 00:01:00")});
  }
  auto again = Open();
  EXPECT_EQ(again->People(), (std::vector<PersonName>{{1, "One", ""}}));
  EXPECT_EQ(again->CountSwipes(), 1);
  EXPECT_EQ(again->PutPeople(std::vector<PersonName>{}).added, 0u);
}

std::vector<std::string> Engines() { return {"sqlite", "postgresql"}; }

INSTANTIATE_TEST_SUITE_P(Engines, SwipeStoreContract, ::testing::ValuesIn(Engines()),
                         [](const auto& info) { return info.param; });

std::unique_ptr<StoreEngine> MakeEngine(const std::string& name) {
  if (name == "postgresql") return std::make_unique<PostgresEngine>();
  return std::make_unique<SqliteEngine>();
}

}  // namespace
}  // namespace vanto::store::testing
