// A site sync of the simulator cancelled midway (while a terminal's records arrive, between
// terminals, while scanning): it returns at once with the port released, what was delivered is
// stored, and the next sync stores the rest: no record lost, none stored twice.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "host/control_settings.h"
#include "host/db/record_store.h"
#include "host/sync.h"
#include "present/sync_words.h"
#include "terminal/control/port_lock.h"
#include "terminal/sim/front_end.h"
#include "terminal/sim/simulator.h"
#include "tests/host/simulator_folder.h"
#include "host/db/openers.h"
#include "host/db/database.h"

namespace fs = std::filesystem;
using namespace vanto::host;

namespace {

constexpr int kRecords = 1200;  // per terminal

struct CancelCase {
  const char* name;
  bool scan;
  // When the progress callback cancels: while terminal `terminal` is read, at `records`
  // records (0: when the stage is reached).
  PortProgress::Stage stage;
  int terminal;
  long records;
  // Expected after the cancelled sync: terminal 1 complete, terminal 1 stopped midway.
  bool first_complete, first_partial;
};

const CancelCase kCases[] = {
    {"while_reading", false, PortProgress::Stage::kReading, 1, 150, false, true},
    {"between_terminals", false, PortProgress::Stage::kStarting, 2, 0, true, false},
    {"while_scanning", true, PortProgress::Stage::kScanning, 0, 0, false, false},
};

class SyncCancel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VANTO_MODULES_BUILT) GTEST_SKIP() << "the driver and control modules are not part of this build";
    folder_ = vanto::testing::PrepareSimulatorFolder(sim_, "cancel");
    for (int t = 1; t <= 2; ++t) {
      auto& terminal = sim_.AddTerminal(1, t);
      for (int i = 0; i < kRecords; ++i)
        terminal.records.push_back({100 + i % 7, 2026, 11, 1 + i / 600, 7 + (i % 600) / 60, i % 60});
    }
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
  vanto::site::Site SiteOf(bool scan) const {
    vanto::site::Site site;
    site.path = "test";
    vanto::site::SitePort port;
    port.number = 1;
    port.device = paths_.at(1);
    port.terminals = scan ? std::vector<int>{1, 4} : std::vector<int>{1, 2};
    port.scan = scan;
    site.ports.push_back(port);
    return site;
  }

  fs::path folder_;
  terminal::sim::SimulatorSite sim_;
  std::map<int, std::string> paths_;
};

TEST_F(SyncCancel, ACancelledSyncFreesThePortAndTheNextSyncStoresTheRestOnce) {
  for (const CancelCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string db = (folder_ / (std::string(c.name) + ".db")).string();
    SyncSettings settings;
    settings.db = vanto::db::Database::Open(db);
    settings.batch_records = 64;
    settings.cancel = CancelToken::Make();
    settings.on_progress = [&](int, const PortProgress& p) {
      if (p.stage == c.stage && p.terminal == c.terminal && p.records >= c.records) settings.cancel.Cancel();
    };
    const std::vector<TerminalSync> first = SyncSite(SiteOf(c.scan), settings);

    // The port is free the moment the sync returns: another user locks it without waiting.
    EXPECT_NO_THROW(terminal::control::PortLock::Acquire(paths_.at(1), std::chrono::milliseconds(0)));

    ASSERT_FALSE(first.empty());
    std::size_t delivered = 0;
    for (const TerminalSync& row : first) {
      SCOPED_TRACE("terminal " + std::to_string(row.terminal));
      EXPECT_FALSE(row.host_failed) << CauseText(Language::kEnglish, row);
      const bool complete = row.terminal == 1 && c.first_complete;
      EXPECT_EQ(row.ok, complete) << CauseText(Language::kEnglish, row);
      EXPECT_EQ(row.cancelled, !complete);
      if (row.terminal == 1 && c.first_partial) {
        EXPECT_GE(row.delivered, static_cast<std::size_t>(c.records));
        EXPECT_LT(row.delivered, static_cast<std::size_t>(kRecords));
      } else {
        EXPECT_EQ(row.delivered, complete ? static_cast<std::size_t>(kRecords) : 0u);
      }
      delivered += row.delivered;
    }
    // What was delivered is stored, nothing more (no file at all when nothing was opened).
    if (fs::exists(db)) {
      EXPECT_EQ(vanto::store::OpenRecordStore(db).CountSwipes(), static_cast<std::int64_t>(delivered));
    } else {
      EXPECT_EQ(delivered, 0u);
    }

    SyncSettings again;
    again.db = vanto::db::Database::Open(db);
    const std::vector<TerminalSync> second = SyncSite(SiteOf(c.scan), again);
    ASSERT_EQ(second.size(), 2u);
    std::size_t added = 0;
    for (const TerminalSync& row : second) {
      EXPECT_TRUE(row.ok) << CauseText(Language::kEnglish, row);
      added += row.added;
    }
    EXPECT_EQ(added + delivered, 2u * kRecords);  // none lost, none stored twice
    const auto store = vanto::store::OpenRecordStore(db);
    for (int t = 1; t <= 2; ++t) EXPECT_EQ(store.CountSwipes(1, t), kRecords) << "terminal " << t;
  }
}

}  // namespace
