// The record of site syncs on both engines: a run begun and finished with its terminals, a run
// whose end was never recorded, the newest first, each terminal's last sync (a port's own failure
// under terminal 0), a finish that fails leaving the run unfinished; and the schedule's settings:
// [schedule] in the site file and whether the package's timer is enabled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "host/schedule.h"
#include "present/sync_words.h"
#include "host/site/site.h"
#include "host/db/sync_runs.h"
#include "host/db/store_failure.h"
#include "tests/host/store_engines.h"
#include "host/db/openers.h"

namespace vanto::store::testing {
namespace {

RunTerminal T(int port, int terminal, const std::string& outcome, const std::string& code, std::int64_t added) {
  RunTerminal t;
  t.port = port, t.terminal = terminal, t.outcome = outcome, t.cause_code = code, t.added = added;
  if (!code.empty()) t.cause = "port " + std::to_string(port) + ": " + code;
  // Values with what their text form escapes (a line break, a percent sign, an equals sign).
  if (code == "busy") t.cause_values = {{"port", "1"}, {"device", "/dev/tty=1"}, {"holder_name", "a%0Ab\nc%"}};
  t.delivered = added + 1, t.held = 100 + added, t.capacity = 50000;
  return t;
}

RunTerminal WithClock(RunTerminal t, const std::string& clock, std::optional<std::int64_t> drift) {
  t.clock = clock, t.clock_drift = drift;
  return t;
}

class SyncRunsTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    VANTO_STORE_ENGINE(GetParam(), engine_);
    location_ = engine_->FreshLocation();
  }
  std::unique_ptr<StoreEngine> engine_;
  std::string location_;
};

TEST_P(SyncRunsTest, RunsAreRecordedWithWhoStartedThemAndEachTerminalsLastSyncIsRead) {
  auto runs = OpenSyncRunStore(location_, std::chrono::milliseconds(5000));
  struct Run {
    RunStarter by;
    const char* who;
    std::vector<RunTerminal> terminals;
    bool finished;
  };
  const std::vector<Run> plan = {
      {RunStarter::Command, "root", {WithClock(T(1, 1, "synced", "", 40), "read", -3725), WithClock(T(1, 2, "synced", "", 2), "none", {}), T(2, 0, "failed", "missing", 0)}, true},
      {RunStarter::Timer, "", {T(1, 1, "failed", "busy", 0), WithClock(T(1, 2, "synced", "", 5), "set", 86400LL * 400)}, true},
      {RunStarter::Console, "ada", {}, false},  // its process stopped before recording the end
      {RunStarter::Schedule, "", {T(2, 3, "cancelled", "cancelled", 7)}, true},
  };
  std::vector<std::int64_t> ids;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    ids.push_back(runs->Begin("2026-12-08T10:0" + std::to_string(i) + ":00Z", plan[i].by, plan[i].who, "1,2", ""));
    if (plan[i].finished) runs->Finish(ids.back(), "2026-12-08T10:0" + std::to_string(i) + ":30Z", plan[i].terminals);
  }
  for (std::size_t i = 1; i < ids.size(); ++i) EXPECT_GT(ids[i], ids[i - 1]);

  // A second connection reads what the first wrote: newest first, terminals in port order.
  std::vector<SyncRun> recent = OpenSyncRunStore(location_, std::chrono::milliseconds(5000))->Recent(3);
  ASSERT_EQ(recent.size(), 3u);
  for (std::size_t k = 0; k < recent.size(); ++k) {
    const Run& expected = plan[plan.size() - 1 - k];
    SCOPED_TRACE(k);
    EXPECT_EQ(recent[k].id, ids[plan.size() - 1 - k]);
    EXPECT_EQ(recent[k].started_by, expected.by);
    EXPECT_EQ(recent[k].who, expected.who);
    EXPECT_EQ(recent[k].ports, "1,2");
    EXPECT_EQ(recent[k].ended_at.has_value(), expected.finished);
    ASSERT_EQ(recent[k].terminals.size(), expected.terminals.size());
    for (std::size_t t = 0; t < expected.terminals.size(); ++t) {
      EXPECT_EQ(recent[k].terminals[t].port, expected.terminals[t].port);
      EXPECT_EQ(recent[k].terminals[t].terminal, expected.terminals[t].terminal);
      EXPECT_EQ(recent[k].terminals[t].outcome, expected.terminals[t].outcome);
      EXPECT_EQ(recent[k].terminals[t].cause_code, expected.terminals[t].cause_code);
      EXPECT_EQ(recent[k].terminals[t].cause, expected.terminals[t].cause);
      EXPECT_EQ(recent[k].terminals[t].cause_values, expected.terminals[t].cause_values);
      EXPECT_EQ(recent[k].terminals[t].added, expected.terminals[t].added);
      EXPECT_EQ(recent[k].terminals[t].held, expected.terminals[t].held);
      EXPECT_EQ(recent[k].terminals[t].capacity, 50000);
      EXPECT_EQ(recent[k].terminals[t].clock, expected.terminals[t].clock);
      EXPECT_EQ(recent[k].terminals[t].clock_drift, expected.terminals[t].clock_drift);
    }
  }
  EXPECT_EQ(runs->Recent(100).size(), 4u);

  // Each terminal's newest row, whichever run it came from.
  auto last = runs->LastByTerminal("");
  ASSERT_EQ(last.size(), 4u);
  EXPECT_EQ(last.at({1, 1}).terminal.cause_code, "busy");  // the timer's run, not the command's
  EXPECT_EQ(last.at({1, 1}).run, ids[1]);
  EXPECT_EQ(last.at({1, 1}).ended_at, "2026-12-08T10:01:30Z");
  EXPECT_EQ(last.at({1, 2}).terminal.added, 5);
  EXPECT_EQ(last.at({1, 2}).terminal.clock, "set");
  EXPECT_EQ(last.at({1, 2}).terminal.clock_drift, 86400LL * 400);
  EXPECT_EQ(last.at({1, 1}).terminal.clock_drift, std::nullopt);
  EXPECT_EQ(last.at({2, 0}).terminal.cause_code, "missing");
  EXPECT_EQ(last.at({2, 0}).run, ids[0]);
  EXPECT_EQ(last.at({2, 3}).terminal.outcome, "cancelled");

  // Another site's port 1, terminal 1 is another terminal: a newer run of that site is not this
  // site's last, and that site sees only its own.
  const std::int64_t other = runs->Begin("2026-12-08T12:00:00Z", RunStarter::Timer, "", "1", "north");
  runs->Finish(other, "2026-12-08T12:00:05Z", {T(1, 1, "synced", "", 9)});
  EXPECT_EQ(runs->LastByTerminal("").at({1, 1}).run, ids[1]);
  const auto north = runs->LastByTerminal("north");
  ASSERT_EQ(north.size(), 1u);
  EXPECT_EQ(north.at({1, 1}).terminal.added, 9);
}

TEST_P(SyncRunsTest, AFinishThatFailsLeavesTheRunUnfinishedWithoutATerminal) {
  auto runs = OpenSyncRunStore(location_, std::chrono::milliseconds(5000));
  const std::int64_t id = runs->Begin("2026-12-08T11:00:00Z", RunStarter::Console, "ada", "1", "");
  // A row the database refuses (no such outcome) after a good one: neither the end nor a row stays.
  RunTerminal good = T(1, 1, "synced", "", 3), bad = T(1, 2, "lost", "line", 0);
  EXPECT_THROW(runs->Finish(id, "2026-12-08T11:00:09Z", {good, bad}), StoreError);
  EXPECT_THROW(runs->Finish(id + 1, "2026-12-08T11:00:09Z", {good}), StoreError);  // no such run
  std::vector<SyncRun> recent = runs->Recent(5);
  ASSERT_EQ(recent.size(), 1u);
  EXPECT_FALSE(recent[0].ended_at);
  EXPECT_TRUE(recent[0].terminals.empty());
  EXPECT_TRUE(runs->LastByTerminal("").empty());
  // The same finish, whole, goes through afterwards.
  runs->Finish(id, "2026-12-08T11:00:10Z", {good, T(1, 2, "failed", "line", 0)});
  EXPECT_EQ(runs->Recent(5)[0].terminals.size(), 2u);
}

TEST_P(SyncRunsTest, EachTerminalsLastCompleteSyncIsTheNewestRunOfItsSiteThatSyncedIt) {
  struct Run {
    const char* site;
    std::vector<RunTerminal> terminals;
  };
  using Expected = std::map<std::pair<int, int>, std::string>;
  struct Case {
    const char* name;
    std::vector<Run> runs;  // oldest first; run i ends at 2026-03-0(i+1)T18:00:00Z
    Expected main;          // LastCompleteSyncs("main")
  };
  const std::vector<Case> cases = {
      {"the newest run failed, an older one synced: the older end",
       {{"main", {T(1, 1, "synced", "", 1), T(1, 2, "synced", "", 1)}},
        {"main", {T(1, 1, "synced", "", 1), T(1, 2, "failed", "line", 0)}},
        {"main", {T(1, 1, "synced", "", 1), T(1, 2, "cancelled", "cancelled", 0)}}},
       {{{1, 1}, "2026-03-03T18:00:00Z"}, {{1, 2}, "2026-03-01T18:00:00Z"}}},
      {"never synced: reached, with no end",
       {{"main", {T(1, 1, "failed", "line", 0)}}, {"main", {T(1, 1, "failed", "busy", 0)}}},
       {{{1, 1}, ""}}},
      {"terminal 0 is no terminal",
       {{"main", {T(2, 0, "failed", "missing", 0), T(3, 1, "synced", "", 1)}}, {"main", {T(2, 0, "failed", "missing", 0)}}},
       {{{3, 1}, "2026-03-01T18:00:00Z"}}},
      {"another site's runs are ignored",
       {{"main", {T(1, 1, "synced", "", 1)}},
        {"main", {T(1, 1, "failed", "line", 0)}},
        {"north", {T(1, 1, "synced", "", 1), T(4, 4, "synced", "", 1)}}},
       {{{1, 1}, "2026-03-01T18:00:00Z"}}},
      {"no run of the site", {{"north", {T(1, 1, "synced", "", 1)}}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto runs = OpenSyncRunStore(engine_->FreshLocation(), std::chrono::milliseconds(5000));
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
      const std::string day = "2026-03-0" + std::to_string(i + 1);
      const std::int64_t id = runs->Begin(day + "T17:59:00Z", RunStarter::Timer, "", "", c.runs[i].site);
      runs->Finish(id, day + "T18:00:00Z", c.runs[i].terminals);
    }
    // A run still going (no end, no rows yet) changes nothing.
    runs->Begin("2026-03-09T10:00:00Z", RunStarter::Console, "ada", "", "main");
    EXPECT_EQ(runs->LastCompleteSyncs("main"), c.main);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, SyncRunsTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

TEST(SyncSchedule, TheSiteFilesScheduleIsReadAndBadIntervalsAreProblemsWithTheirLine) {
  const std::string ports = "\n[[port]]\nnumber = 1\ndevice = \"/dev/ttyS0\"\nterminals = [1]\n";
  struct Case {
    const char* schedule;
    std::optional<long long> seconds;  // absent: refused
  } cases[] = {
      {"", std::nullopt},  // no [schedule]: none, and no refusal
      {"[schedule]\nsync_every = \"5m\"\n", 300},
      {"[schedule]\nsync_every = \"30s\"\n", 30},
      {"[schedule]\nsync_every = \"24h\"\n", 86400},
      {"[schedule]\nsync_every = \"29s\"\n", std::nullopt},
      {"[schedule]\nsync_every = \"25h\"\n", std::nullopt},
      {"[schedule]\nsync_every = \"5\"\n", std::nullopt},
      {"[schedule]\nsync_every = \"5 m\"\n", std::nullopt},
      {"[schedule]\nsync_every = \"-5m\"\n", std::nullopt},
      {"[schedule]\nsync_every = 300\n", std::nullopt},
      {"[schedule]\nevery = \"5m\"\n", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.schedule);
    const std::string text = std::string("database = \"x.db\"\n") + c.schedule + ports;
    if (c.seconds || std::string(c.schedule).empty()) {
      site::Site s = site::ParseSite(text, "site.toml");
      EXPECT_EQ(s.sync_every.has_value(), c.seconds.has_value());
      if (c.seconds) {
        EXPECT_EQ(s.sync_every->count(), *c.seconds);
      }
    } else {
      // Refused as the schedule's problem: the console runs without its own syncs, and says why.
      site::Site s = site::ParseSite(text, "site.toml");
      EXPECT_FALSE(s.sync_every);
      const site::SiteProblem* problem = s.ProblemOf(site::SitePart::kSchedule);
      ASSERT_TRUE(problem);
      EXPECT_NE(problem->message.find("site.toml:3: key 'schedule."), std::string::npos) << problem->message;
    }
  }
}

TEST(SyncSchedule, BothSchedulesAreToldOnlyWhenTheTimersLinkIsThereAndTheSiteHasASchedule) {
  char pattern[] = "/tmp/vanto-timer-XXXXXX";
  const std::filesystem::path root = mkdtemp(pattern);
  const std::filesystem::path wants = root / "etc/systemd/system/timers.target.wants";
  site::Site with = site::ParseSite(
      "[schedule]\nsync_every = \"5m\"\n[[port]]\nnumber = 1\ndevice = \"/dev/ttyS0\"\nterminals = [1]\n", "site.toml");
  site::Site without = site::ParseSite("[[port]]\nnumber = 1\ndevice = \"/dev/ttyS0\"\nterminals = [1]\n", "site.toml");
  EXPECT_FALSE(host::SyncTimerEnabled(root));
  EXPECT_FALSE(host::BothSchedules(with, root));
  std::filesystem::create_directories(wants);
  // Enabled: the link systemctl leaves (its target need not be readable from here).
  std::filesystem::create_symlink("/usr/lib/systemd/system/vanto-sync.timer", wants / "vanto-sync.timer");
  EXPECT_TRUE(host::SyncTimerEnabled(root));
  auto where = host::BothSchedules(with, root);
  ASSERT_TRUE(where);
  EXPECT_NE(where->find("site.toml:2"), std::string::npos) << *where;
  // Worded by the front end, in its reader's language.
  for (host::Language language : {host::Language::kEnglish, host::Language::kChinese}) {
    const std::string warning = host::BothSchedulesText(language, *where);
    EXPECT_NE(warning.find("site.toml:2"), std::string::npos) << warning;
    EXPECT_NE(warning.find("vanto-sync.timer"), std::string::npos) << warning;
  }
  EXPECT_NE(host::BothSchedulesText(host::Language::kChinese, *where),
            host::BothSchedulesText(host::Language::kEnglish, *where));
  EXPECT_FALSE(host::BothSchedules(without, root));
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace vanto::store::testing
