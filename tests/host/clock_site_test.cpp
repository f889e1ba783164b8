// Terminal clocks over the simulator, on pseudo-terminals and tcp://, with the host's time pinned
// (the simulated clocks follow the same pinned time, so drifts are exact): a mixed bus of protocol
// versions 1, 2 and 3, drift shown and mended, a refused set, the unsynchronised host's refusal,
// the audit rows, and a sync that flags implausible record times, keeps them and sets a clock.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <string>

#include "host/clock.h"
#include "host/errors.h"
#include "host/text/messages.h"
#include "present/sync_words.h"
#include "host/db/sync_runs.h"
#include "host/control_settings.h"
#include "host/db/record_store.h"
#include "host/sync.h"
#include "terminal/sim/front_end.h"
#include "terminal/sim/simulator.h"
#include "tests/host/simulator_folder.h"
#include "host/db/openers.h"
#include "host/db/database.h"

namespace fs = std::filesystem;
using namespace vanto::host;
using vanto::site::WallTime;

namespace {

// The bus: terminal, protocol version, clock offset (s), clock locked, silent, lost power year.
struct BusTerminal {
  int address, version;
  std::int64_t offset;
  bool locked = false, silent = false;
  int lost_power = 0;
};
const BusTerminal kBus[] = {
    {1, 1, 0}, {2, 2, 0}, {3, 3, 3600}, {4, 3, -90}, {5, 3, 600, true}, {6, 3, 0, false, true}, {7, 3, 0, false, false, 2000},
};

class ClockSite : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!VANTO_MODULES_BUILT) GTEST_SKIP() << "the driver and control modules are not part of this build";
    // The simulator's clocks follow the process's local time: UTC here, as the host's zone below.
    setenv("TZ", "UTC", 1);
    tzset();
    folder_ = vanto::testing::PrepareSimulatorFolder(sim_, "clock");
    sim_.Options().tcp = GetParam();
    sim_.Options().now = [this] { return now_; };
    for (const BusTerminal& b : kBus) {
      auto& t = sim_.AddTerminal(1, b.address);
      t.version = b.version, t.clockOffset = b.offset, t.clockLocked = b.locked, t.silent = b.silent;
      t.lostPowerYear = b.lost_power;
    }
    // A record from the future and one a week back, among ordinary ones.
    auto& t3 = sim_.AddTerminal(1, 3);
    t3.records = {{101, 2026, 12, 7, 8, 0}, {102, 2026, 12, 7, 9, 0}, {103, 2027, 6, 1, 8, 0},
                  {104, 2026, 12, 7, 10, 0}, {105, 2026, 11, 30, 8, 0}, {106, 2026, 11, 30, 9, 0}};
    paths_ = sim_.Start();
    ControlSettingValues settings;
    for (const auto& [name, value] : terminal::sim::PortSettings(paths_)) settings[name] = value;
    PinControlSettings(settings);
    options_.zone = *vanto::site::TimeZone::Find("UTC");
    options_.now = [this] { return now_; };
    options_.audit = [this](const ClockAudit& a) { audit_.push_back(a); };
  }
  void TearDown() override {
    UnpinControlSettings();
    sim_.Stop();
    unsetenv("TZ");
    tzset();
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }
  // The bus but its silent terminal (whose time-outs the set tests need not wait out).
  vanto::site::Site Site(bool with_silent = false) const {
    vanto::site::Site site;
    site.path = "test";
    vanto::site::SitePort port;
    port.number = 1;
    port.device = paths_.at(1);
    for (const BusTerminal& b : kBus)
      if (with_silent || !b.silent) port.terminals.push_back(b.address);
    site.ports.push_back(port);
    return site;
  }
  std::int64_t Offset(int address) const { return sim_.Terminal(1, address)->clockOffset; }
  const TerminalClock& Row(const std::vector<TerminalClock>& rows, int address) const {
    for (const TerminalClock& r : rows)
      if (r.terminal == address) return r;
    throw std::runtime_error("no row for terminal " + std::to_string(address));
  }

  // 2026-12-08 12:00:00 UTC.
  std::chrono::system_clock::time_point now_{std::chrono::seconds(vanto::site::WallSeconds({2026, 12, 8, 12, 0, 0}))};
  fs::path folder_;
  terminal::sim::SimulatorSite sim_;
  std::map<int, std::string> paths_;
  ClockOptions options_;
  std::vector<ClockAudit> audit_;
};

TEST_P(ClockSite, AMixedBusShowsEachClockOrWhyNot) {
  const std::vector<TerminalClock> rows = SiteClocks(Site(true), options_);
  ASSERT_EQ(rows.size(), std::size(kBus));
  const struct {
    int address;
    ClockState state;
    std::int64_t drift;
  } expected[] = {{1, ClockState::kNoClock, 0}, {2, ClockState::kNoClock, 0},  {3, ClockState::kRead, 3600},
                  {4, ClockState::kRead, -90},  {5, ClockState::kRead, 600},   {6, ClockState::kSilent, 0},
                  // Restarted at 2000-01-01 00:00:00 after losing power: the drift tells it.
                  {7, ClockState::kRead, vanto::site::WallSeconds({2000, 1, 1, 0, 0, 0}) -
                                             vanto::site::WallSeconds({2026, 12, 8, 12, 0, 0})}};
  for (const auto& e : expected) {
    const TerminalClock& r = Row(rows, e.address);
    EXPECT_EQ(r.state, e.state) << "terminal " << e.address << ": " << r.message.English();
    EXPECT_EQ(r.drift, e.drift) << "terminal " << e.address;
    EXPECT_EQ(r.set, ClockSet::kNotAsked) << "terminal " << e.address;
  }
  EXPECT_EQ(Row(rows, 2).version, 2);
  EXPECT_EQ(Row(rows, 3).host, (WallTime{2026, 12, 8, 12, 0, 0}));
  EXPECT_EQ(Row(rows, 3).clock, (WallTime{2026, 12, 8, 13, 0, 0}));
  EXPECT_TRUE(audit_.empty());  // reading is no terminal action
}

TEST_P(ClockSite, SetMendsTheDriftOnlyWhenAllowedAndAuditsEachSet) {
  const struct {
    const char* name;
    bool synchronised, override_it, set_all;
    std::optional<std::int64_t> above;
    // terminal -> what becomes of it (kNotAsked: untouched)
    std::map<int, ClockSet> sets;
  } cases[] = {
      {"unsynchronised host refuses", false, false, true, std::nullopt,
       {{3, ClockSet::kUnsynchronised}, {4, ClockSet::kUnsynchronised}, {5, ClockSet::kUnsynchronised}, {7, ClockSet::kUnsynchronised}}},
      {"only drifts above two minutes", true, false, false, 120,
       {{3, ClockSet::kSet}, {4, ClockSet::kNotAsked}, {5, ClockSet::kRefused}, {7, ClockSet::kSet}}},
      {"unsynchronised, overridden", false, true, true, std::nullopt,
       {{3, ClockSet::kSet}, {4, ClockSet::kSet}, {5, ClockSet::kRefused}, {7, ClockSet::kSet}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    audit_.clear();
    std::map<int, std::int64_t> before;
    for (const BusTerminal& b : kBus)
      sim_.EditTerminal(1, b.address, [&](terminal::sim::SimTerminal& t) {
        t.clockOffset = b.offset;
        t.lostPowerYear = b.lost_power;
        t.clockAnchor.reset();
      });
    for (const BusTerminal& b : kBus) before[b.address] = Offset(b.address);
    ClockOptions options = options_;
    options.host_clock = {c.synchronised, c.synchronised ? "" : "STA_UNSYNC"};
    options.even_if_unsynchronised = c.override_it;
    options.set = c.set_all;
    options.set_when_drift_above = c.above;
    const std::vector<TerminalClock> rows = SiteClocks(Site(), options);
    std::size_t tried = 0;
    for (const BusTerminal& b : kBus) {
      if (b.silent) continue;
      const TerminalClock& r = Row(rows, b.address);
      const auto wanted = c.sets.count(b.address) ? c.sets.at(b.address) : ClockSet::kNotAsked;
      EXPECT_EQ(r.set, wanted) << "terminal " << b.address << ": " << r.message.English();
      if (wanted == ClockSet::kSet) {
        EXPECT_EQ(Offset(b.address), 0) << "terminal " << b.address;  // in step with the host now
        EXPECT_EQ(r.set_to, (WallTime{2026, 12, 8, 12, 0, 0}));
      } else if (b.lost_power == 0) {
        EXPECT_EQ(Offset(b.address), before[b.address]) << "terminal " << b.address << " changed";
      }
      if (wanted == ClockSet::kRefused) {
        EXPECT_EQ(r.refusal, 10);  // its clock is locked
      }
      if (wanted == ClockSet::kSet || wanted == ClockSet::kRefused) ++tried;
    }
    // An intent before and an outcome after every set tried, nothing for the others.
    ASSERT_EQ(audit_.size(), 2 * tried);
    for (std::size_t i = 0; i + 1 < audit_.size(); i += 2) {
      EXPECT_EQ(audit_[i].stage, ClockAudit::Stage::kIntent);
      EXPECT_EQ(audit_[i].action, "clock.set");
      EXPECT_EQ(audit_[i + 1].stage, ClockAudit::Stage::kOutcome);
      EXPECT_EQ(audit_[i + 1].terminal, audit_[i].terminal);
      EXPECT_EQ(audit_[i + 1].action, audit_[i].terminal == 5 ? "clock.set.refused" : "clock.set.done");
      EXPECT_NE(audit_[i].details.find("set to 2026-12-08 12:00:00 (UTC)"), std::string::npos) << audit_[i].details;
    }
    // With the host mended, reading again shows every set clock in step.
    ClockOptions look = options_;
    for (const TerminalClock& r : SiteClocks(Site(), look))
      if (r.set == ClockSet::kNotAsked && c.sets.count(r.terminal) && c.sets.at(r.terminal) == ClockSet::kSet) {
        EXPECT_EQ(r.drift, 0) << "terminal " << r.terminal;
      }
  }
}

TEST_P(ClockSite, AnAuditTrailThatCannotBeWrittenSetsNothing) {
  ClockOptions options = options_;
  options.host_clock = {true, ""};
  options.set = true;
  // Another part's words are kept as they are; the host's own are said in the reader's language.
  const struct {
    std::function<void()> fail;
    const char *english, *chinese;
  } cases[] = {
      {[] { throw std::runtime_error("database is locked"); }, "database is locked", "database is locked"},
      {[] { throw HostError(Message("database {0} is read-only", {"/x.db"})); }, "database /x.db is read-only",
       "数据库 /x.db 是只读的"},
  };
  for (const auto& c : cases) {
    options.audit = [&c](const ClockAudit&) { c.fail(); };
    const std::vector<TerminalClock> rows = SiteClocks(Site(), options);
    const TerminalClock& r3 = Row(rows, 3);
    EXPECT_EQ(r3.set, ClockSet::kNotAudited);
    EXPECT_EQ(r3.message.English(), c.english);
    EXPECT_EQ(Translate(r3.message, Language::kChinese), c.chinese);
  }
  EXPECT_EQ(Offset(3), 3600);
}

TEST_P(ClockSite, SyncFlagsImplausibleTimesKeepsThemAndSetsAClockThatDriftsTooFar) {
  vanto::site::Site site = Site();
  site.ports[0].terminals = {2, 3, 4};
  site.clock.set_when_drift_above = 120;
  SyncSettings settings;
  settings.db = vanto::db::Database::Open((folder_ / "vanto.db").string());
  settings.clock = options_;
  settings.clock.host_clock = {true, ""};
  const std::vector<TerminalSync> rows = SyncSite(site, settings);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_TRUE(rows[0].ok) << CauseText(Language::kEnglish, rows[0]);
  const TerminalSync& t3 = rows[1];
  EXPECT_TRUE(t3.ok) << CauseText(Language::kEnglish, t3);
  EXPECT_EQ(t3.delivered, 6u);
  // 2027-06-01 lies months ahead of the host; 2026-11-30 lies a week before the record before it.
  EXPECT_EQ(t3.implausible, 2u);
  EXPECT_EQ(vanto::store::RecordStore(settings.db->Swipes()).CountSwipes(1, 3), 6);  // kept
  ASSERT_TRUE(t3.clock.has_value());
  EXPECT_EQ(t3.clock->drift, 3600);
  EXPECT_EQ(t3.clock->set, ClockSet::kSet);
  EXPECT_EQ(Offset(3), 0);
  ASSERT_TRUE(rows[2].clock.has_value());
  EXPECT_EQ(rows[2].clock->set, ClockSet::kNotAsked);  // 90 s behind: within the limit
  EXPECT_EQ(Offset(4), -90);
  EXPECT_EQ(audit_.size(), 2u);
  // The run keeps each clock as the sync found it, for the console's dashboard.
  const auto last = settings.db->SyncRuns()->LastByTerminal("");
  const std::tuple<int, std::string, std::optional<std::int64_t>> kept[] = {
      {2, "none", std::nullopt}, {3, "set", 3600}, {4, "read", -90}};
  for (const auto& [terminal, clock, drift] : kept) {
    ASSERT_EQ(last.count({1, terminal}), 1u) << terminal;
    EXPECT_EQ(last.at({1, terminal}).terminal.clock, clock) << terminal;
    EXPECT_EQ(last.at({1, terminal}).terminal.clock_drift, drift) << terminal;
  }
  // Setting the clock changed no stored swipe: the times are the terminal's, as delivered.
  const auto stored = vanto::store::RecordStore(settings.db->Swipes()).Swipes(1, 3);
  ASSERT_EQ(stored.size(), 6u);
  EXPECT_EQ(stored.back().time, "2027-06-01 08:00:00");
}

// Not a clock's matter, but this bus serves it: a terminal of a scanned range that answered an
// earlier sync and falls silent keeps a row, failed, rather than dropping out of the table.
TEST_P(ClockSite, AScannedTerminalThatFallsSilentKeepsAFailedRow) {
  vanto::site::Site site = Site();
  site.ports[0].terminals = {2, 4};
  site.ports[0].scan = true;
  SyncSettings settings;
  settings.db = vanto::db::Database::Open((folder_ / "vanto.db").string());
  settings.clock = options_;
  auto outcome = [](const std::vector<TerminalSync>& rows) {
    std::string text;
    for (const TerminalSync& r : rows) text += std::to_string(r.terminal) + (r.ok ? ":ok " : ":" + r.cause_code + " ");
    return text;
  };
  EXPECT_EQ(outcome(SyncSite(site, settings)), "2:ok 3:ok 4:ok ");
  sim_.EditTerminal(1, 4, [](terminal::sim::SimTerminal& t) { t.silent = true; });
  EXPECT_EQ(outcome(SyncSite(site, settings)), "2:ok 3:ok 4:terminal ");
  EXPECT_EQ(outcome(SyncSite(site, settings)), "2:ok 3:ok 4:terminal ") << "it stays reported";
}

INSTANTIATE_TEST_SUITE_P(Transports, ClockSite, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tcp" : "Pty"; });

}  // namespace
