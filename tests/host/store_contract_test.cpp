// The swipe-store contract: one set of tests every engine behind the seam passes (keyed inserts
// that skip held keys, batches, reading back in time order with filters, the schema version),
// the keying of deliveries over each engine, and the content check of a log's keys (conflicts,
// epochs, a database of the schema before epochs).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "host/db/database.h"
#include "host/db/figures.h"
#include "host/db/record_store.h"
#include "host/db/push_store.h"
#include "host/db/schema.h"
#include "host/db/pg_connection.h"
#include "host/db/swipe_feed.h"
#include "tests/host/store_engines.h"
#include "host/db/openers.h"

namespace vanto::store::testing {
namespace {

// 2026-11-06 00:00 as a date value, plus minutes and seconds.
DATE At(int minutes, int seconds = 0) { return 46332.0 + (minutes * 60 + seconds) / 86400.0; }

StoredSwipe Row(int port, int terminal, std::int32_t person, const std::string& time, int occurrence = 1) {
  return {port, terminal, person, time.substr(0, 16), occurrence, time, "2026-11-07T08:00:00Z"};
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

// Pages walked one after another give every selected swipe exactly once, in one order, whatever
// the page size, even where many swipes share a time (a page may end inside such a group).
TEST_P(SwipeStoreContract, PagesGoOnAfterTheirLastSwipeAndNeverRepeatOrSkipOne) {
  auto store = Open();
  std::vector<StoredSwipe> rows;
  for (int i = 0; i < 12; ++i) rows.push_back(Row(1 + i % 2, 1, i % 3, "2026-11-06 08:00:" + std::to_string(10 + i % 4)));
  for (auto& r : rows) r.occurrence = 1 + static_cast<int>(&r - rows.data()) / 6;
  // Identified swipes that share time, person, port, terminal and occurrence: only their log
  // keys (identity, index, epoch) tell them apart, and an unidentified one shares the rest too.
  for (std::uint32_t k = 0; k < 5; ++k) {
    StoredSwipe s = Row(1, 1, 0, "2026-11-06 08:00:10");
    s.identity = 900 + k % 2;
    s.generation = 1;
    s.index = k;
    rows.push_back(s);
  }
  auto added = store->Insert(rows);
  ASSERT_EQ(std::count(added.begin(), added.end(), true), 17);

  struct Case {
    SwipeQuery query;
    std::int64_t expected;
  };
  const Case cases[] = {{Q(), 17}, {Q({}, {}, {0}), 9}, {Q("2026-11-06 08:00:11", "2026-11-06 08:00:12"), 6},
                        {Q({}, {}, {}, 2), 6}, {Q({}, {}, {}, 3), 0}};
  for (const Case& c : cases) {
    for (std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{17}, std::size_t{100}}) {
      SCOPED_TRACE("page size " + std::to_string(size) + ", expected " + std::to_string(c.expected));
      std::vector<SwipePosition> seen;
      SwipeQuery query = c.query;
      for (int pages = 0; pages < 40; ++pages) {
        SwipePage page = store->Page(query, size);
        EXPECT_LE(page.rows.size(), size);
        for (const StoredSwipe& s : page.rows) seen.push_back(SwipePosition::Of(s));
        if (!page.next) break;
        EXPECT_EQ(page.rows.size(), size);  // only the last page is short
        EXPECT_EQ(*page.next, seen.back());
        // A link carries the position as text.
        query.after = SwipePosition::Parse(page.next->Text());
        ASSERT_TRUE(query.after);
      }
      ASSERT_EQ(static_cast<std::int64_t>(seen.size()), c.expected);
      for (std::size_t i = 1; i < seen.size(); ++i) {
        const SwipePosition &a = seen[i - 1], &b = seen[i];
        EXPECT_LT(std::tie(a.time, a.person, a.port, a.terminal, a.occurrence, a.identity, a.generation, a.index, a.epoch),
                  std::tie(b.time, b.person, b.port, b.terminal, b.occurrence, b.identity, b.generation, b.index, b.epoch))
            << "at " << i;
      }
      EXPECT_EQ(store->Count(c.query), c.expected);
    }
  }
}

TEST(SwipePositionText, ReadsBackWhatItWroteAndRefusesEverythingElse) {
  SwipePosition p{"2026-11-06 08:00:10", -7, 3, 12, 2, 4294967295LL, 0, 5, 1};
  EXPECT_EQ(SwipePosition::Parse(p.Text()), p);
  SwipePosition unidentified{"2026-11-06 08:00:10", 2147483647, 1, 1, 1};
  EXPECT_EQ(SwipePosition::Parse(unidentified.Text()), unidentified);
  for (const char* bad : {"", "2026-11-06 08:00:10", "2026-11-06 08:00:10|1|1|1|1|-1|-1|-1",
                          "2026-11-06 08:00:10|1|1|1|1|-1|-1|-1|0|9", "2026-11-06 08:00:1'|1|1|1|1|-1|-1|-1|0",
                          "2026-11-06 08:00:10|x|1|1|1|-1|-1|-1|0", "2026-11-06 08:00:10|1||1|1|-1|-1|-1|0",
                          "2026-11-06 08:00:10|3000000000|1|1|1|-1|-1|-1|0", "2026-11-06 08:00:10|1|1|1|1|-2|-1|-1|0",
                          "2026-11-06 08:00:10|1|1|1|1|4294967296|-1|-1|0", "2026-11-06 08:00:10|1|1|1|1|-|-1|-1|0"})
    EXPECT_FALSE(SwipePosition::Parse(bad)) << bad;
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

// What a page names: the people of its rows, looked up by number, and the departments once each.
TEST_P(SwipeStoreContract, PeopleAreReadByTheirNumbersAndDepartmentsOnceEach) {
  auto store = Open();
  const std::vector<PersonName> people = {{-7, "Minus", ""},       {5, "Five", "Sales"},   {9, "Nine", "Zeta"},
                                          {10, "Ten", "alpha"},    {102, "王小明", "生产部"}, {2147483647, "Max", "Sales"}};
  store->PutPeople(people);
  std::vector<std::int32_t> many;  // more numbers than one statement takes, every person among them
  for (std::int32_t n = -600; n < 700; ++n) many.push_back(n);
  many.push_back(2147483647);
  struct Case {
    const char* what;
    std::vector<std::int32_t> asked;
    std::vector<PersonName> found;
  };
  const std::vector<Case> cases = {
      {"none asked", {}, {}},
      {"one", {5}, {people[1]}},
      {"repeated, unknown and out of order", {2147483647, -7, 5, 5, 404, -7}, {people[0], people[1], people[5]}},
      {"only unknown", {1, 2, 3}, {}},
      {"over many statements", many, people},
  };
  for (const Case& c : cases) EXPECT_EQ(store->PeopleAmong(c.asked), c.found) << c.what;
  // By bytes, whatever the database's collation: capitals before small letters, Chinese last.
  EXPECT_EQ(store->Departments(), (std::vector<std::string>{"Sales", "Zeta", "alpha", "生产部"}));
}

// The monitor's counts of what each terminal holds back: rejected records and the conflicts not
// acknowledged, counted by the database.
TEST_P(SwipeStoreContract, HeldBackRecordsAreCountedByTerminal) {
  auto store = Open();
  auto held = [&] {
    std::vector<std::tuple<int, int, std::int64_t, std::int64_t>> counts;
    auto db = vanto::db::Database::Open(location_);
    for (const auto& [at, h] : ReadStoreFigures(*db->Tables(true)).held)
      counts.emplace_back(at.port, at.terminal, h.rejected, h.conflicts_open);
    return counts;
  };
  EXPECT_TRUE(held().empty());
  auto rejected = [&](int port, int terminal, std::uint32_t index) {
    RejectedRecord r;
    r.port = port;
    r.terminal = terminal;
    r.log = LogKey{static_cast<std::uint32_t>(port * 100 + terminal), 1, 0};
    r.index = index;
    r.year = 2026, r.month = 13, r.day = 1;
    r.reason = "month 13";
    r.first_seen = "2026-12-01T08:00:00Z";
    ASSERT_TRUE(store->AddRejected(r));
  };
  auto conflict = [&](int port, int terminal, std::uint32_t index, bool acknowledged) {
    RecordConflict c;
    c.log = LogKey{static_cast<std::uint32_t>(port * 100 + terminal), 1, 0};
    c.index = index;
    c.port = c.stored_port = port;
    c.terminal = c.stored_terminal = terminal;
    c.found_at = c.stored_downloaded_at = "2026-12-01T08:00:00Z";
    c.person = 1, c.stored_person = 2;
    c.time = c.stored_time = "2026-11-30 08:00:00";
    c.acknowledged = acknowledged;
    if (acknowledged) c.acknowledged_by = "ada", c.acknowledged_at = "2026-12-01T09:00:00Z";
    store->PutConflict(c);
  };
  for (std::uint32_t i = 0; i < 3; ++i) rejected(1, 2, i);
  rejected(2, 1, 0);
  conflict(1, 2, 10, false);
  conflict(1, 2, 11, true);  // acknowledged: not counted
  conflict(3, 4, 10, false);
  conflict(3, 4, 11, false);
  conflict(5, 5, 10, true);  // only acknowledged: the terminal is not listed
  EXPECT_EQ(held(), (std::vector<std::tuple<int, int, std::int64_t, std::int64_t>>{{1, 2, 3, 1}, {2, 1, 1, 0}, {3, 4, 0, 2}}));
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

// A row of log (identity 77, generation 3, `epoch`) at `index`.
StoredSwipe LogRow(std::uint32_t index, std::int32_t person, const std::string& time, std::uint32_t epoch = 0,
                   int port = 1) {
  StoredSwipe r = Row(port, 1, person, time);
  r.identity = 77;
  r.generation = 3;
  r.index = index;
  r.epoch = epoch;
  return r;
}

struct ContentCase {
  const char* what;
  std::int32_t person;
  const char* time;
  bool conflict;
};

TEST_P(SwipeStoreContract, ARecordUnderAHeldKeyIsComparedAndOtherContentIsListedNeverDropped) {
  const ContentCase cases[] = {
      {"the same record", 7, "2026-11-06 08:00:10", false},
      {"another person", 8, "2026-11-06 08:00:10", true},
      {"another second", 7, "2026-11-06 08:00:11", true},
      {"another day", 7, "2026-12-06 08:00:10", true},
      {"both", -1, "2027-01-01 00:00:00", true},
  };
  auto store = Open();
  std::vector<StoredSwipe> held;
  for (std::uint32_t i = 0; i < 3; ++i) held.push_back(LogRow(i, 7, "2026-11-06 08:00:10"));
  ASSERT_EQ(store->InsertChecked(held, OnConflict::Stop).Added(), (std::vector<bool>{true, true, true}));
  std::size_t listed = 0;
  std::uint32_t fresh = 2;
  for (const ContentCase& c : cases) {
    SCOPED_TRACE(c.what);
    // Index 1 delivered with this content, between a held record and a new one (index 3, 4...).
    ++fresh;
    std::vector<StoredSwipe> batch = {held[0], LogRow(1, c.person, c.time, 0, 2), LogRow(fresh, 9, "2026-11-07 09:00:00")};
    InsertResult stop = store->InsertChecked(batch, OnConflict::Stop);
    if (!c.conflict) {
      EXPECT_EQ(stop.rows, (std::vector<RowOutcome>{RowOutcome::Held, RowOutcome::Held, RowOutcome::Added}));
      EXPECT_TRUE(stop.conflicts.empty());
      continue;
    }
    ++listed;
    EXPECT_EQ(stop.rows, (std::vector<RowOutcome>{RowOutcome::Held, RowOutcome::Conflict, RowOutcome::NotStored}));
    ASSERT_EQ(stop.conflicts.size(), 1u);
    const RecordConflict& found = stop.conflicts[0];
    EXPECT_EQ(found.row, 1u);
    EXPECT_EQ(found.log, (LogKey{77, 3, 0}));
    EXPECT_EQ(found.index, 1u);
    EXPECT_EQ(found.port, 2);
    EXPECT_EQ(found.person, c.person);
    EXPECT_EQ(found.time, c.time);
    EXPECT_EQ(found.stored_person, 7);
    EXPECT_EQ(found.stored_time, "2026-11-06 08:00:10");
    EXPECT_EQ(found.stored_port, 1);
    EXPECT_EQ(found.stored_downloaded_at, "2026-11-07T08:00:00Z");
    EXPECT_FALSE(found.found_at.empty());
    EXPECT_FALSE(found.acknowledged);
    // Found again, without stopping: the same listing, and the row after it is stored.
    InsertResult go_on = store->InsertChecked(batch, OnConflict::Continue);
    EXPECT_EQ(go_on.rows, (std::vector<RowOutcome>{RowOutcome::Held, RowOutcome::Conflict, RowOutcome::Added}));
    ASSERT_EQ(go_on.conflicts.size(), 1u);
    EXPECT_EQ(go_on.conflicts[0].id, found.id);
    EXPECT_EQ(go_on.conflicts[0].found_at, found.found_at);
    EXPECT_EQ(store->Conflicts().size(), listed);
  }
  // The held rows kept their content; the plain Insert lists a conflict too.
  EXPECT_EQ(store->Insert(std::vector<StoredSwipe>{LogRow(0, 5, "2026-11-06 08:00:10")}), std::vector<bool>{false});
  EXPECT_EQ(store->Conflicts().size(), listed + 1);
  EXPECT_EQ(store->Count(Q({}, {}, {7})), 3);
  // A row of a terminal without identity keeps its old key and is not compared.
  EXPECT_EQ(store->Insert(std::vector<StoredSwipe>{Row(1, 1, 7, "2026-11-06 08:00:10")}), std::vector<bool>{true});
  EXPECT_EQ(store->Insert(std::vector<StoredSwipe>{Row(1, 1, 7, "2026-11-06 08:00:59")}), std::vector<bool>{false});
  EXPECT_EQ(store->Conflicts().size(), listed + 1);
}

// The log as a terminal delivers it: `count` records from `first`, one per 20 s, persons 0..2.
std::vector<Swipe> Log(int first, int count, int person_shift = 0) {
  std::vector<Swipe> out;
  for (int i = first; i < first + count; ++i) out.push_back({(i + person_shift) % 3, At(i / 3, i % 3 * 20)});
  return out;
}

TEST_P(SwipeStoreContract, AConflictOpensANewEpochThatLaterReadsGoOnInAndNothingIsStoredTwice) {
  auto store = Open();
  const LogKey log{77, 3};
  {
    Delivery first(*store, 1, 1);
    first.Position(store->CurrentLog(77, 3), 0);
    first.Store(Log(0, 10));
  }
  EXPECT_EQ(store->CurrentLog(77, 3), log);
  // A terminal telling the same identity and generation whose records from index 4 on differ
  // (reset, or a clone), read in batches of 5 on another port.
  std::vector<Swipe> other = Log(0, 4);
  for (const Swipe& s : Log(4, 8, 1)) other.push_back(s);
  Delivery d(*store, 2, 1);
  d.Position(store->CurrentLog(77, 3), 0);
  std::vector<Delivery::Keyed> keyed;
  for (std::size_t at = 0; at < other.size(); at += 5) {
    auto part = d.Store(std::span(other).subspan(at, std::min<std::size_t>(5, other.size() - at)));
    keyed.insert(keyed.end(), part.begin(), part.end());
  }
  ASSERT_EQ(keyed.size(), 12u);
  for (std::size_t i = 0; i < keyed.size(); ++i) {
    EXPECT_EQ(keyed[i].added, i >= 4) << i;
    EXPECT_EQ(keyed[i].conflict, i == 4) << i;
  }
  ASSERT_EQ(d.conflicts().size(), 1u);
  const RecordConflict conflict = d.conflicts()[0];
  EXPECT_EQ(conflict.index, 4u);
  EXPECT_EQ(conflict.log, log);
  const LogKey newer{77, 3, 1};
  EXPECT_EQ(d.log(), std::optional<LogKey>(newer));
  EXPECT_EQ(store->CurrentLog(77, 3), newer);
  const auto epochs = store->Epochs(77, 3);
  ASSERT_EQ(epochs.size(), 1u);
  EXPECT_EQ(epochs[0].log, newer);
  EXPECT_EQ(epochs[0].first, 4u);
  EXPECT_EQ(epochs[0].parent, 0u);
  EXPECT_EQ(epochs[0].conflict, std::optional<std::int64_t>(conflict.id));
  EXPECT_EQ(epochs[0].port, 2);
  // Both logs are kept whole: ten records in epoch 0, eight from index 4 in epoch 1.
  EXPECT_EQ(store->CountSwipes(), 18);
  const LogCoverage old_log = store->Coverage(log), new_log = store->Coverage(newer);
  EXPECT_EQ(old_log.count, 10);
  EXPECT_EQ(old_log.next, 10);
  EXPECT_TRUE(old_log.Contiguous());
  EXPECT_EQ(new_log.first, 4);
  EXPECT_EQ(new_log.count, 8);
  EXPECT_EQ(new_log.next, 12);
  EXPECT_TRUE(new_log.Contiguous());
  EXPECT_TRUE(store->Missing(newer, 12, 10).empty());
  EXPECT_EQ(store->Missing(newer, 14, 10), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{12, 13}}));

  // The whole log read again (its records below 4 are held in epoch 0): nothing new, no conflict.
  Delivery again(*store, 2, 1);
  again.Position(store->CurrentLog(77, 3), 0);
  for (const auto& k : again.Store(other)) EXPECT_FALSE(k.added || k.conflict);
  EXPECT_TRUE(again.conflicts().empty());
  // A later read goes on where the epoch ends.
  Delivery later(*store, 2, 1);
  later.Position(store->CurrentLog(77, 3), static_cast<std::uint32_t>(store->Coverage(newer).next));
  std::vector<Swipe> more = Log(12, 3, 1);
  for (const auto& k : later.Store(more)) EXPECT_TRUE(k.added);
  EXPECT_EQ(store->Coverage(newer).next, 15);
  EXPECT_TRUE(store->Coverage(newer).Contiguous());
  EXPECT_EQ(store->CountSwipes(), 21);
  std::int64_t in_newer = 0;
  store->Each({}, [&](const StoredSwipe& s) { return in_newer += s.epoch == 1 ? 1 : 0, true; });
  EXPECT_EQ(in_newer, 11);
  EXPECT_EQ(store->Conflicts().size(), 1u);

  // The conflict stays listed until acknowledged, once.
  EXPECT_TRUE(store->AcknowledgeConflict(conflict.id, "admin"));
  EXPECT_FALSE(store->AcknowledgeConflict(conflict.id, "someone else"));
  EXPECT_FALSE(store->AcknowledgeConflict(conflict.id + 1000, "admin"));
  EXPECT_TRUE(store->Conflicts().empty());
  const auto all = store->Conflicts(true);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_TRUE(all[0].acknowledged);
  EXPECT_EQ(all[0].acknowledged_by, "admin");
  EXPECT_FALSE(all[0].acknowledged_at.empty());
  // A read from index 10 whose very first record conflicts: the log below it is not the stored
  // one either; the epoch opened there is moved down to 0 and the log read again from 0 stores
  // the records below 10 in it, and nothing twice.
  const std::size_t before_reset = static_cast<std::size_t>(store->CountSwipes());
  std::vector<Swipe> reset = Log(0, 17, 2);
  Delivery from_ten(*store, 3, 1);
  from_ten.Position(store->CurrentLog(77, 3), 10);
  from_ten.Store(std::span(reset).subspan(10));
  ASSERT_EQ(from_ten.conflicts().size(), 1u);
  EXPECT_EQ(from_ten.conflicts()[0].index, 10u);
  const LogKey third = *from_ten.log();
  EXPECT_EQ(third.epoch, 2u);
  EXPECT_TRUE(store->LowerEpochStart(third, 0));
  EXPECT_FALSE(store->LowerEpochStart({77, 3, 9}, 0));
  Delivery whole(*store, 3, 1);
  whole.Position(store->CurrentLog(77, 3), 0);
  std::size_t added = 0;
  for (const auto& k : whole.Store(reset)) added += k.added ? 1 : 0;
  EXPECT_EQ(added, 10u);
  EXPECT_TRUE(whole.conflicts().empty());
  EXPECT_EQ(static_cast<std::size_t>(store->CountSwipes()), before_reset + 17);
  const LogCoverage third_log = store->Coverage(third);
  EXPECT_EQ(third_log.first, 0);
  EXPECT_EQ(third_log.count, 17);
  EXPECT_TRUE(third_log.Contiguous());

  // The original terminal read again in epoch 0 still matches there (a clone's log is kept apart).
  Delivery original(*store, 1, 1);
  original.Position(log, 0);
  for (const auto& k : original.Store(Log(0, 10))) EXPECT_FALSE(k.added || k.conflict);
}

// Runs `sql` (several statements) on the database at `location`, whichever engine.
void RunSql(const std::string& location, const std::string& sql) {
  if (IsDatabaseUrl(location)) {
    PgConnection connection(location);
    connection.Exec(sql, "setting up the test");
    return;
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

TEST_P(SwipeStoreContract, ADatabaseOfTheSchemaBeforeEpochsKeepsEveryRowInEpochZero) {
  // The schema as the releases before epochs left it, with a log of five records (one rejected)
  // and a swipe without identity.
  const Engine engine = GetParam() == "postgresql" ? Engine::Postgres : Engine::Sqlite;
  std::string sql = SchemaVersionTableSql(engine) + std::string(";");
  for (const SchemaStep& step : SchemaSteps()) {
    if (step.version > 4) break;
    sql += SchemaStepSql(step, engine);
    sql += "INSERT INTO schema_version VALUES (" + std::to_string(step.version) + ", 'step', 'then');";
  }
  sql +=
      "INSERT INTO swipes (port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, "
      "generation, record_index) VALUES (1, 1, 0, '2026-11-06 00:00', 1, '2026-11-06 00:00:00', 'then', 77, 3, 0), "
      "(1, 1, 1, '2026-11-06 00:00', 1, '2026-11-06 00:00:20', 'then', 77, 3, 1), "
      "(1, 1, 2, '2026-11-06 00:00', 1, '2026-11-06 00:00:40', 'then', 77, 3, 2), "
      "(1, 1, 0, '2026-11-06 00:01', 1, '2026-11-06 00:01:00', 'then', 77, 3, 3), "
      "(4, 2, 9, '2026-11-06 00:01', 1, '2026-11-06 00:01:30', 'then', NULL, NULL, NULL);"
      "INSERT INTO rejected_records (port, terminal, identity, generation, record_index, person, year, month, day, "
      "hour, minute, reason, first_seen) VALUES (1, 1, 77, 3, 4, 1, 2026, 13, 1, 0, 0, 'month 13', 'then');";
  RunSql(location_, sql);

  auto store = Open();
  EXPECT_EQ(store->schema_version(), LatestSchemaVersion());
  EXPECT_EQ(store->CountSwipes(), 5);
  const LogKey log{77, 3};
  EXPECT_EQ(store->CurrentLog(77, 3), log);
  const LogCoverage coverage = store->Coverage(log);
  EXPECT_EQ(coverage.count, 5);
  EXPECT_EQ(coverage.next, 5);
  EXPECT_TRUE(coverage.Contiguous());
  ASSERT_EQ(store->Rejected().size(), 1u);
  EXPECT_EQ(store->Rejected()[0].log, log);
  for (const StoredSwipe& s : store->Swipes()) EXPECT_EQ(s.epoch, 0u);
  // The same log read again: held; one record of other content: a conflict in a new epoch.
  std::vector<Swipe> read = Log(0, 4);
  read.push_back({2, At(1, 20)});  // index 4 was rejected before; index 5 is new
  read.push_back({2, At(1, 40)});
  read[3] = {1, At(1)};            // index 3 differs
  Delivery d(*store, 1, 1);
  d.Position(store->CurrentLog(77, 3), 0);
  auto keyed = d.Store(read);
  EXPECT_FALSE(keyed[2].added || keyed[2].conflict);
  EXPECT_TRUE(keyed[3].conflict);
  ASSERT_EQ(d.conflicts().size(), 1u);
  EXPECT_EQ(d.conflicts()[0].stored_downloaded_at, "then");
  EXPECT_EQ(store->CurrentLog(77, 3), (LogKey{77, 3, 1}));
  EXPECT_EQ(store->Coverage(log).count, 5);
  EXPECT_EQ(store->Coverage({77, 3, 1}).count, 3);
  // Reopened: nothing to migrate, everything there.
  auto again = Open();
  EXPECT_EQ(again->CountSwipes(), 8);
  EXPECT_EQ(again->Conflicts().size(), 1u);
}

// A database of schema step 20 (people keyed by number alone, each with its site): after the
// upgrade every person stays under its site, and from then on each site's person 17 is its own,
// with its names, departments, employee code, rejected records and conflicts read per site.
TEST_P(SwipeStoreContract, PeopleRejectedAndConflictsAreEachSitesOwnAfterTheUpgradeFromSites) {
  const Engine engine = GetParam() == "postgresql" ? Engine::Postgres : Engine::Sqlite;
  std::string sql = SchemaVersionTableSql(engine) + std::string(";");
  for (const SchemaStep& step : SchemaSteps()) {
    if (step.version > 20) break;
    sql += SchemaStepSql(step, engine);
    sql += "INSERT INTO schema_version VALUES (" + std::to_string(step.version) + ", 'step', 'then');";
  }
  sql += "INSERT INTO people (person, name, department, site) VALUES (17, 'Ann', 'Sales', 'north'), "
         "(18, 'Bo', '', 'south'), (19, 'Cy', 'Lab', '');";
  RunSql(location_, sql);

  auto store = Open();
  ASSERT_EQ(store->schema_version(), LatestSchemaVersion());
  const PersonName ann{17, "Ann", "Sales", "north"}, bo{18, "Bo", "", "south"}, cy{19, "Cy", "Lab", ""};
  EXPECT_EQ(store->People(), (std::vector<PersonName>{cy, ann, bo}));  // by site, then number
  // South's person 17 is another person: added, not north's updated.
  const PersonName south17{17, "Dee", "Plant", "south", "E-42"};
  const PeopleImport done = store->PutPeople(std::vector<PersonName>{south17, {17, "Ann", "Sales", "north", "E-42"}});
  EXPECT_EQ(done.added, 1u);
  EXPECT_EQ(done.updated, 1u);  // north's 17 took the employee code
  PersonName ann_coded = ann;
  ann_coded.employee_code = "E-42";
  struct Case {
    std::optional<std::string> site;
    std::vector<PersonName> people, of_17;
    std::vector<std::string> departments;
  } cases[] = {
      {"north", {ann_coded}, {ann_coded}, {"Sales"}},
      {"south", {south17, bo}, {south17}, {"Plant"}},
      {"", {cy}, {}, {"Lab"}},
      {std::nullopt, {cy, ann_coded, south17, bo}, {ann_coded, south17}, {"Lab", "Plant", "Sales"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.site.value_or("(every site)"));
    EXPECT_EQ(store->People(c.site), c.people);
    EXPECT_EQ(store->PeopleAmong(std::vector<std::int32_t>{17, 17}, c.site), c.of_17);
    EXPECT_EQ(store->Departments(c.site), c.departments);
  }

  // Rejected records and conflicts of two sites: each site reads its own.
  RejectedRecord rejected{1, 1, std::nullopt, 4, 17, 2026, 13, 1, 8, 0, "month 13", "2026-12-01T08:00:00Z", "north"};
  ASSERT_TRUE(store->AddRejected(rejected));
  rejected.site = "south";
  ASSERT_TRUE(store->AddRejected(rejected));  // the same version 1 terminal's key at another site
  RecordConflict conflict;
  conflict.log = {77, 3, 0};
  conflict.person = 17;
  conflict.time = "2026-12-01 08:00:00";
  conflict.found_at = "2026-12-01T09:00:00Z";
  conflict.site = "south";
  const std::int64_t id = store->PutConflict(conflict);
  for (const auto& [site, rejected_count, conflicts] :
       {std::tuple<std::optional<std::string>, std::size_t, std::size_t>{"north", 1, 0}, {"south", 1, 1},
        {std::nullopt, 2, 1}}) {
    SCOPED_TRACE(site.value_or("(every site)"));
    const std::vector<RejectedRecord> read = store->Rejected(site);
    EXPECT_EQ(read.size(), rejected_count);
    for (const RejectedRecord& r : read) EXPECT_TRUE(!site || r.site == *site) << r.site;
    const std::vector<RecordConflict> listed = store->Conflicts(true, site);
    ASSERT_EQ(listed.size(), conflicts);
    if (conflicts) {
      EXPECT_EQ(listed[0].id, id);
      EXPECT_EQ(listed[0].site, "south");
    }
  }
}

// A database of schema step 16 (before the feed number became SQLite's row key) with swipes
// whose feed numbers do not follow their rows' order, a push endpoint and a consumer's cursors:
// after the upgrade every cursor is answered with the same swipes, the endpoint is delivered up
// to the same swipe, the log's count stays, and a new swipe comes after them all.
TEST_P(SwipeStoreContract, TheUpgradeToTheFeedNumberAsRowKeyKeepsEveryCursor) {
  const Engine engine = GetParam() == "postgresql" ? Engine::Postgres : Engine::Sqlite;
  std::string sql = SchemaVersionTableSql(engine) + std::string(";");
  for (const SchemaStep& step : SchemaSteps()) {
    if (step.version > 16) break;
    sql += SchemaStepSql(step, engine);
    sql += "INSERT INTO schema_version VALUES (" + std::to_string(step.version) + ", 'step', 'then');";
  }
  // Stored in this order, numbered 10, 3, 7, 12 and (SQLite: by the trigger) 13: the feed's order
  // is not the rows' order. The log 77/3 holds two records.
  sql +=
      "INSERT INTO swipes (port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, "
      "record_index, feed_seq) VALUES (1, 1, 1, '2026-11-06 00:00', 1, '2026-11-06 00:00:10', 'then', NULL, NULL, NULL, 10), "
      "(1, 2, 2, '2026-11-06 00:01', 1, '2026-11-06 00:01:10', 'then', 77, 3, 0, 3), "
      "(1, 2, 3, '2026-11-06 00:02', 1, '2026-11-06 00:02:10', 'then', 77, 3, 1, 7), "
      "(4, 1, 4, '2026-11-06 00:03', 1, '2026-11-06 00:03:10', 'then', NULL, NULL, NULL, 12);";
  sql += engine == Engine::Sqlite
             ? "INSERT INTO swipes (port, terminal, person, minute, occurrence, swipe_time, downloaded_at) VALUES "
               "(4, 1, 5, '2026-11-06 00:04', 1, '2026-11-06 00:04:10', 'then');"
               "INSERT INTO push_endpoints (name, cursor_xid, cursor_seq, added_at) VALUES ('hr', 0, 7, 'then');"
             : "INSERT INTO swipes (port, terminal, person, minute, occurrence, swipe_time, downloaded_at, feed_seq) VALUES "
               "(4, 1, 5, '2026-11-06 00:04', 1, '2026-11-06 00:04:10', 'then', 13);"
               "INSERT INTO push_endpoints (name, cursor_xid, cursor_seq, added_at) "
               "SELECT 'hr', feed_xid::text::bigint, feed_seq, 'then' FROM swipes WHERE feed_seq = 7;";
  RunSql(location_, sql);

  // Every cursor of the feed before the upgrade, with the page after it (two swipes a page).
  auto described = [](const FeedPage& page) {
    std::string text;
    for (const StoredSwipe& s : page.swipes)
      text += std::to_string(s.person) + "@" + s.time + (s.index ? "#" + std::to_string(*s.index) : "") + " ";
    return text;
  };
  auto pages = [&] {
    std::vector<std::pair<FeedCursor, std::string>> read;
    auto feed = OpenSwipeFeed(location_);
    FeedCursor at;
    for (int n = 0; n < 4; ++n) {
      const FeedPage page = feed->Read(at, 2);
      read.emplace_back(at, described(page));
      at = page.next;
    }
    return read;
  };
  const auto before = pages();
  ASSERT_EQ(before[0].second, "2@2026-11-06 00:01:10#0 3@2026-11-06 00:02:10#1 ");
  ASSERT_EQ(before[2].second, "5@2026-11-06 00:04:10 ");
  const FeedCursor endpoint = OpenPushStore(location_, std::chrono::seconds(5))->Endpoints().at(0).cursor;

  auto store = Open();
  EXPECT_EQ(store->schema_version(), LatestSchemaVersion());
  EXPECT_EQ(store->CountSwipes(), 5);
  EXPECT_EQ(store->Coverage({77, 3}).count, 2);
  auto feed = OpenSwipeFeed(location_);
  for (const auto& [cursor, page] : before) EXPECT_EQ(described(feed->Read(cursor, 2)), page) << FormatFeedCursor(cursor);
  auto push = OpenPushStore(location_, std::chrono::seconds(5));
  ASSERT_EQ(push->Endpoints().size(), 1u);
  EXPECT_EQ(push->Endpoints()[0].cursor, endpoint);
  EXPECT_EQ(described(feed->Read(endpoint, 10)), "1@2026-11-06 00:00:10 4@2026-11-06 00:03:10 5@2026-11-06 00:04:10 ");
  if (engine == Engine::Sqlite) {
    // The number is the row key: no index of its own, and a rowid equal to it.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(location_.c_str(), &db), SQLITE_OK);
    auto one = [&](const char* query) {
      sqlite3_stmt* stmt = nullptr;
      EXPECT_EQ(sqlite3_prepare_v2(db, query, -1, &stmt, nullptr), SQLITE_OK) << query;
      const std::int64_t value = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
      sqlite3_finalize(stmt);
      return value;
    };
    EXPECT_EQ(one("SELECT count(*) FROM sqlite_master WHERE name = 'swipes_feed'"), 0);
    EXPECT_EQ(one("SELECT count(*) FROM swipes WHERE rowid = feed_seq"), 5);
    sqlite3_close(db);
  }
  // A swipe stored now comes after every one of them, in the same log's count.
  Delivery d(*store, 1, 2);
  d.Position(store->CurrentLog(77, 3), 2);
  d.Store(std::vector<Swipe>{{6, At(5, 10)}});
  EXPECT_EQ(store->Coverage({77, 3}).count, 3);
  EXPECT_EQ(described(feed->Read(before[3].first, 10)), "6@2026-11-06 00:05:10#2 ");
}

// The audit trail's rows as "actor|origin|action|details", oldest first.
std::vector<std::string> AuditRows(const std::string& location) {
  const std::string sql = "SELECT actor, origin, action, details FROM audit ORDER BY id";
  std::vector<std::string> rows;
  if (IsDatabaseUrl(location)) {
    PgConnection connection(location);
    PgResult result = connection.Exec(sql, "reading the audit trail");
    for (int r = 0; r < result.rows(); ++r)
      rows.push_back(std::string(result.text(r, 0)) + "|" + result.text(r, 1) + "|" + result.text(r, 2) + "|" +
                     result.text(r, 3));
    return rows;
  }
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
  while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < 4; ++i) row += (i ? "|" : "") + std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
    rows.push_back(row);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

// A change to the people and its audit row are one transaction: both are kept, or (the audit
// row failing) neither.
TEST_P(SwipeStoreContract, PeopleChangedWithAnAuditNoteKeepBothOrNeither) {
  auto store = Open();
  store->PutPeople(std::vector<PersonName>{{1, "One", ""}});
  AuditNote note{"2026-12-08T10:00:00Z", "hal", "10.0.0.9", "people.edit", "person 1"};
  PeopleImport done = store->PutPeopleAudited(std::vector<PersonName>{{1, "Uno", "Sales"}, {2, "Two", ""}}, note);
  EXPECT_EQ(done.added, 1u);
  EXPECT_EQ(done.updated, 1u);
  EXPECT_EQ(AuditRows(location_),
            (std::vector<std::string>{"hal|10.0.0.9|people.edit|person 1 (1 added, 1 updated, 0 unchanged)"}));

  RunSql(location_, "ALTER TABLE audit RENAME TO audit_elsewhere");
  EXPECT_THROW(store->PutPeopleAudited(std::vector<PersonName>{{1, "Changed", ""}, {3, "Three", ""}}, note), StoreError);
  EXPECT_EQ(store->People(), (std::vector<PersonName>{{1, "Uno", "Sales"}, {2, "Two", ""}}));
  RunSql(location_, "ALTER TABLE audit_elsewhere RENAME TO audit");
  EXPECT_EQ(AuditRows(location_).size(), 1u);
}

TEST_P(SwipeStoreContract, TheEnrolmentListingNamesWhoseKindAndTerminalOnly) {
  auto store = Open();
  EXPECT_TRUE(store->Enrolments().empty());
  const bool pg = IsDatabaseUrl(location_);
  const std::string columns = pg ? "(\"cPsn_Num\", \"iFingerprintNO\", \"imachineno\", \"npassword\")"
                                 : "(cPsn_Num, iFingerprintNO, imachineno, npassword)";
  RunSql(location_, "INSERT INTO enrolment " + columns + " VALUES (7, 10, 2, 1234), (7, 0, 1, NULL), (-3, 0, NULL, NULL)");
  EXPECT_EQ(store->Enrolments(), (std::vector<EnrolmentEntry>{{-3, 0, std::nullopt}, {7, 0, 1}, {7, 10, 2}}));
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
