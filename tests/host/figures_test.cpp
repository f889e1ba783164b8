// The figures a monitor scrapes (host/metrics.h) of a site synced from the simulator, on both
// engines: each terminal's last complete sync and swipes stored, the open conflicts, the rejected
// records and each push endpoint's backlog and failures match what the database holds.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "host/control_settings.h"
#include "host/db/database.h"
#include "host/metrics.h"
#include "host/sync.h"
#include "present/sync_words.h"
#include "terminal/sim/front_end.h"
#include "terminal/sim/simulator.h"
#include "tests/host/simulator_folder.h"
#include "tests/host/store_engines.h"

namespace fs = std::filesystem;
using namespace vanto::host;

namespace {

constexpr std::uint32_t kSerial2 = 70002, kSerial3 = 70003, kReplaced = 69999;

class Figures : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!VANTO_MODULES_BUILT) GTEST_SKIP() << "the driver and control modules are not part of this build";
    VANTO_STORE_ENGINE(GetParam(), engine_);
    folder_ = vanto::testing::PrepareSimulatorFolder(sim_, "figures");
    auto& old = sim_.AddTerminal(1, 1);  // no identity
    old.version = 1;
    for (int i = 0; i < 50; ++i) old.records.push_back({100 + i % 5, 2026, 11, 2, 7, i});
    auto& second = sim_.AddTerminal(1, 2);
    second.identity = kSerial2;
    for (int i = 0; i < 80; ++i) second.records.push_back({200 + i % 3, 2026, 11, 3, 8, i % 60});
    second.records[40].month = 13;  // kept as a rejected record
    auto& third = sim_.AddTerminal(2, 3);
    third.identity = kSerial3;
    for (int i = 0; i < 30; ++i) third.records.push_back({300, 2026, 11, 4, 9, i});
    paths_ = sim_.Start();
    ControlSettingValues settings;
    for (const auto& [name, value] : terminal::sim::PortSettings(paths_)) settings[name] = value;
    PinControlSettings(settings);
  }
  void TearDown() override {
    UnpinControlSettings();
    sim_.Stop();
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }
  vanto::site::Site Site() const {
    vanto::site::Site site;
    site.path = "test";
    vanto::site::SitePort one;
    one.number = 1;
    one.device = paths_.at(1);
    one.terminals = {1, 2};
    vanto::site::SitePort two;
    two.number = 2;
    two.device = paths_.at(2);
    two.terminals = {3};
    site.ports = {one, two};
    vanto::site::SitePush hr;
    hr.name = "hr";
    hr.ports = {1};
    vanto::site::SitePush later;
    later.name = "later";  // named in the site file, not drained yet
    site.pushes = {hr, later};
    return site;
  }

  std::unique_ptr<vanto::store::testing::StoreEngine> engine_;
  fs::path folder_;
  terminal::sim::SimulatorSite sim_;
  std::map<int, std::string> paths_;
};

TEST_P(Figures, MatchWhatTheDatabaseHolds) {
  const vanto::site::Site site = Site();
  const auto db = vanto::db::Database::Open(engine_->FreshLocation());
  SyncSettings settings;
  settings.db = db;
  // The first sync keeps terminal 2's record apart (not a complete sync of it); the second reads
  // on after it.
  for (const bool second : {false, true})
    for (const TerminalSync& row : SyncSite(site, settings))
      EXPECT_EQ(row.ok, second || row.terminal != 2)
          << row.port << "/" << row.terminal << ": " << CauseText(Language::kEnglish, row);
  const std::vector<vanto::store::SyncRun> runs = db->SyncRuns()->Recent(1);
  ASSERT_EQ(runs.size(), 1u);
  ASSERT_TRUE(runs[0].ended_at);
  const std::string synced_at = *runs[0].ended_at;
  // A later run that failed on terminal 3 leaves its last complete sync as it was.
  {
    auto record = db->SyncRuns();
    const std::int64_t later = record->Begin("2099-01-01T00:00:00Z", vanto::store::RunStarter::Command, "", "2", "");
    vanto::store::RunTerminal failed;
    failed.port = 2;
    failed.terminal = 3;
    failed.outcome = "failed";
    failed.cause_code = "no-terminal";
    record->Finish(later, "2099-01-01T00:00:05Z", {failed});
  }
  // One conflict open, one acknowledged.
  {
    auto swipes = db->Swipes();
    vanto::store::RecordConflict c;
    c.log = {kSerial3, 1, 0};
    c.port = 2;
    c.terminal = 3;
    c.found_at = "2026-12-01T00:00:00Z";
    c.time = c.stored_time = "2026-11-04 09:00:00";
    c.stored_downloaded_at = c.found_at;
    for (std::uint32_t index : {5u, 6u}) {
      c.index = index;
      c.person = static_cast<std::int32_t>(900 + index);
      const std::int64_t id = swipes->PutConflict(c);
      if (index == 6) {
        ASSERT_TRUE(swipes->AcknowledgeConflict(id, "tester"));
      }
    }
  }
  // Terminal 3's place held another terminal before it (stored earlier): a row of its own.
  {
    std::vector<vanto::store::StoredSwipe> rows;
    for (std::uint32_t i = 0; i < 4; ++i) {
      vanto::store::StoredSwipe s;
      s.port = 2;
      s.terminal = 3;
      s.person = 400;
      s.minute = "2026-10-01 08:0" + std::to_string(i);
      s.time = s.minute + ":00";
      s.occurrence = 1;
      s.downloaded_at = "2026-10-01T09:00:00Z";
      s.identity = kReplaced;
      s.generation = 1;
      s.index = i;
      rows.push_back(s);
    }
    db->Swipes()->Insert(rows);
  }
  // The endpoint "hr" takes port 1's swipes, from the start, and has failed twice.
  {
    auto push = db->Push();
    ASSERT_TRUE(push->Add("hr", vanto::store::FeedCursor{}, "2026-12-01T00:00:00Z"));
    push->Failed("hr", 2, 0, "refused", "2026-12-01T00:00:01Z");
  }

  const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(*UnixSecondsOfUtc(synced_at) + 100));
  // A terminal the site file lists that was never synced (added since) is shown all the same.
  FigureScope scope = FigureScopeOf(site, "");
  scope.terminals[0].second.push_back(4);
  const SiteFigures f = ReadSiteFigures(*db, scope, now);

  auto swipes = db->Swipes();
  struct Expected {
    int port, terminal;
    std::optional<std::uint32_t> identity;
    bool synced;
    std::int64_t swipes;
  } expected[] = {
      {1, 1, std::nullopt, true, 50},
      {1, 2, kSerial2, true, 79},  // one of its 80 records is a rejected one
      {1, 4, std::nullopt, false, 0},
      {2, 3, kSerial3, true, 30},
      {2, 3, kReplaced, false, 4},
  };
  ASSERT_EQ(f.terminals.size(), std::size(expected));
  std::int64_t total = 0;
  for (std::size_t i = 0; i < f.terminals.size(); ++i) {
    const TerminalFigures& t = f.terminals[i];
    const Expected& e = expected[i];
    SCOPED_TRACE(std::to_string(e.port) + "/" + std::to_string(e.terminal));
    EXPECT_EQ(t.port, e.port);
    EXPECT_EQ(t.terminal, e.terminal);
    EXPECT_EQ(t.identity, e.identity);
    EXPECT_EQ(t.swipes, e.swipes);
    total += t.swipes;
    if (e.synced) {
      EXPECT_EQ(t.last_complete_sync, synced_at);
      EXPECT_EQ(t.last_sync_age_seconds, 100);
    } else {
      EXPECT_FALSE(t.last_complete_sync);
      EXPECT_FALSE(t.last_sync_age_seconds);
    }
  }
  // Every stored swipe is some terminal's, once.
  EXPECT_EQ(total, swipes->CountSwipes());
  for (const Expected& e : expected) {
    if (e.identity != kReplaced) {
      EXPECT_EQ(e.swipes + (e.terminal == 3 ? 4 : 0), swipes->CountSwipes(e.port, e.terminal));
    }
  }
  EXPECT_EQ(f.rejected, static_cast<std::int64_t>(swipes->Rejected().size()));
  EXPECT_EQ(f.rejected, 1);
  EXPECT_EQ(f.conflicts_open, static_cast<std::int64_t>(swipes->Conflicts(false).size()));
  EXPECT_EQ(f.conflicts_open, 1);
  ASSERT_EQ(f.pushes.size(), 2u);
  EXPECT_EQ(f.pushes[0].endpoint, "hr");
  EXPECT_TRUE(f.pushes[0].in_store);
  EXPECT_EQ(f.pushes[0].backlog, swipes->CountSwipes(1));
  EXPECT_EQ(f.pushes[0].failures, 2);
  EXPECT_EQ(f.pushes[1].endpoint, "later");
  EXPECT_FALSE(f.pushes[1].in_store);
}

TEST(FigureTimes, OnlyTheHostsUtcFormIsRead) {
  EXPECT_EQ(UnixSecondsOfUtc("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(UnixSecondsOfUtc("2026-12-09T17:00:01Z"), 1796835601);
  for (const char* bad : {"", "2026-12-09 17:00:01", "2026-12-09T17:00:01", "2026-02-30T00:00:00Z",
                          "2026-12-09T24:00:00Z", "2026-1a-09T17:00:01Z"})
    EXPECT_FALSE(UnixSecondsOfUtc(bad)) << bad;
}

INSTANTIATE_TEST_SUITE_P(Engines, Figures, ::testing::Values("sqlite", "postgresql"));

}  // namespace
