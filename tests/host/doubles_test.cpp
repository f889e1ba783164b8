// Swipes stored twice by versions that opened a new epoch for a log read on another port: listed,
// folded once (the first stored kept, the other withdrawn in the feed), folded again to nothing.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "host/db/openers.h"
#include "host/db/swipe_feed.h"
#include "tests/host/store_engines.h"

namespace vanto::store {
namespace {

constexpr std::uint32_t kSerial = 0x7701, kGeneration = 2;

StoredSwipe Row(int port, std::uint32_t index, std::int32_t person, int second, std::uint32_t epoch) {
  StoredSwipe s;
  s.port = port;
  s.terminal = 1;
  s.person = person;
  s.minute = "2026-03-01 08:" + std::string(index < 10 ? "0" : "") + std::to_string(index);
  s.time = s.minute + ":" + (second < 10 ? "0" : "") + std::to_string(second);
  s.downloaded_at = "2026-03-02T10:00:00Z";
  s.identity = kSerial;
  s.generation = kGeneration;
  s.index = index;
  s.epoch = epoch;
  return s;
}

using Content = std::tuple<std::uint32_t, std::int32_t, std::string>;  // index, person, time
Content Of(const StoredSwipe& s) { return {*s.index, s.person, s.time}; }

class DoublesTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DoublesTest, FoldKeepsTheFirstOfEachRecordAndWithdrawsTheOtherInTheFeed) {
  std::unique_ptr<testing::StoreEngine> engine;
  VANTO_STORE_ENGINE(GetParam(), engine);
  const std::string location = engine->FreshLocation();
  auto swipes = OpenSwipeStore(location);
  // Each row: whether it is a double of a row stored before it.
  struct Case {
    StoredSwipe row;
    bool doubled;
  };
  std::vector<Case> cases;
  for (std::uint32_t i = 0; i < 6; ++i) cases.push_back({Row(1, i, 100 + static_cast<int>(i), 5, 0), false});
  // The cables swapped: the old choice by port stored the whole log again in epoch 1.
  for (std::uint32_t i = 0; i < 6; ++i) cases.push_back({Row(2, i, 100 + static_cast<int>(i), 5, 1), true});
  // A log reset to this generation (epoch 2): new records at held indexes are no doubles, not
  // even the same person at the same index in another second.
  cases.push_back({Row(3, 0, 100, 6, 2), false});
  cases.push_back({Row(3, 1, 900, 5, 2), false});
  cases.push_back({Row(3, 6, 106, 5, 2), false});
  std::map<std::uint32_t, std::vector<StoredSwipe>> by_epoch;
  for (const Case& c : cases) by_epoch[c.row.epoch].push_back(c.row);
  swipes->InsertChecked(by_epoch[0], OnConflict::Continue);
  LogKey log{kSerial, kGeneration, 0};
  for (std::uint32_t e : {1u, 2u}) {
    const auto [opened, result] = swipes->OpenEpoch(log, 0, std::nullopt, by_epoch[e]);
    ASSERT_EQ(opened.epoch, e);
    log = opened;
  }
  ASSERT_EQ(swipes->CountSwipes(), static_cast<std::int64_t>(cases.size()));

  std::vector<StoredSwipe> expected;
  for (const Case& c : cases)
    if (c.doubled) expected.push_back(c.row);
  const std::vector<StoredDouble> listed = swipes->Doubles();
  ASSERT_EQ(listed.size(), expected.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(Of(listed[i].doubled), Of(expected[i]));
    EXPECT_EQ(listed[i].doubled.epoch, 1u);
    EXPECT_EQ(listed[i].kept.epoch, 0u);
    EXPECT_EQ(Of(listed[i].kept), Of(expected[i]));
  }

  // A read-only handle refuses the fold; nothing changes.
  {
    auto reading = OpenSwipeStoreForReading(location);
    try {
      reading->FoldDoubles({"2026-03-03T00:00:00Z", "test", "test", "swipes.fold", ""});
      ADD_FAILURE() << "a read-only handle folded";
    } catch (const StoreError& e) {
      EXPECT_EQ(e.failure(), StoreFailure::ReadOnly) << e.what();
    }
  }
  ASSERT_EQ(swipes->Doubles().size(), expected.size());

  auto feed = OpenSwipeFeed(location);
  const FeedPage before = feed->Read({}, 1000);
  ASSERT_EQ(before.swipes.size(), cases.size());
  const AuditNote note{"2026-03-03T00:00:00Z", "test", "command line", "swipes.fold", ""};
  EXPECT_EQ(swipes->FoldDoubles(note).size(), expected.size());
  EXPECT_TRUE(swipes->FoldDoubles(note).empty()) << "folded twice";
  EXPECT_TRUE(swipes->Doubles().empty());

  // Counted by content: every record once, none lost.
  std::map<Content, int> held;
  for (const StoredSwipe& s : swipes->Swipes()) ++held[Of(s)];
  std::map<Content, int> wanted;
  for (const Case& c : cases) wanted[Of(c.row)] = 1;
  EXPECT_EQ(held, wanted);

  // A swipe stored after the fold comes after the withdrawals (no position handed out twice).
  swipes->InsertChecked(std::vector<StoredSwipe>{Row(1, 7, 107, 5, 0)}, OnConflict::Continue);
  const FeedPage after = feed->Read(before.next, 1000);
  ASSERT_EQ(after.swipes.size(), expected.size() + 1);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(after.swipes[i].withdrawn);
    EXPECT_EQ(Of(after.swipes[i]), Of(expected[i]));
    EXPECT_EQ(after.swipes[i].epoch, 1u);
    EXPECT_EQ(after.swipes[i].port, 2);
  }
  EXPECT_FALSE(after.swipes.back().withdrawn);
  EXPECT_EQ(*after.swipes.back().index, 7u);
  // From the start: each kept swipe, the withdrawn ones once each, the new one; nothing twice.
  const FeedPage all = feed->Read({}, 1000);
  EXPECT_EQ(all.swipes.size(), cases.size() - expected.size() + expected.size() + 1);
  EXPECT_TRUE(feed->Read(all.next, 1000).swipes.empty());
}

INSTANTIATE_TEST_SUITE_P(Engines, DoublesTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::store
