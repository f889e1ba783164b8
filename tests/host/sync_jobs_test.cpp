// The console's syncs over the simulator: "Sync now" runs in the background and refuses a second
// one while it runs (the port held by another program keeps it running), the run is recorded as
// the console user's, one port is synced alone, the schedule starts syncs of its own, and Stop
// ends everything.
#include <algorithm>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "host/control_settings.h"
#include "host/db/record_store.h"
#include "host/check.h"
#include "host/clear.h"
#include "host/clock.h"
#include "host/db/civil_time.h"
#include "host/enrolment.h"
#include "host/facade.h"
#include "host/machine.h"
#include "host/said_values.h"
#include "host/text/messages.h"
#include "host/sync_jobs.h"
#include "present/sync_words.h"
#include "terminal/control/port_lock.h"
#include "terminal/control/settings.h"
#include "terminal/sim/front_end.h"
#include "terminal/sim/simulator.h"
#include "tests/host/simulator_folder.h"
#include "host/db/openers.h"
#include "host/db/database.h"

namespace fs = std::filesystem;
using namespace vanto::host;
namespace store = vanto::store;

namespace {

constexpr int kRecords = 300;  // per terminal
constexpr auto kBound = std::chrono::seconds(120);

class SyncJobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VANTO_MODULES_BUILT) GTEST_SKIP() << "the driver and control modules are not part of this build";
    folder_ = vanto::testing::PrepareSimulatorFolder(sim_, "jobs");
    for (int port = 1; port <= 2; ++port) {
      auto& terminal = sim_.AddTerminal(port, 1);
      for (int i = 0; i < kRecords; ++i)
        terminal.records.push_back({100 + i % 7, 2026, 11, 1 + i / 600, 7 + (i % 600) / 60, i % 60});
    }
    paths_ = sim_.Start();
    ControlSettingValues settings;
    for (const auto& [name, value] : terminal::sim::PortSettings(paths_)) settings[name] = value;
    // A port another program holds is waited for long enough for the test to see the sync run.
    settings[terminal::control::kLockTimeoutVariable] = "120000";
    PinControlSettings(settings);
    site_.path = "test";
    for (int number = 1; number <= 2; ++number) {
      vanto::site::SitePort port;
      port.number = number;
      port.device = paths_.at(number);
      port.terminals = {1};
      site_.ports.push_back(port);
    }
    settings_.db = vanto::db::Database::Open((folder_ / "site.db").string());
  }
  void TearDown() override {
    UnpinControlSettings();
    sim_.Stop();
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }
  // The state once `finished` syncs have ended (bounded).
  SyncJobs::State Finished(const SyncJobs& jobs, std::uint64_t finished) {
    const auto until = std::chrono::steady_clock::now() + kBound;
    SyncJobs::State state = jobs.Snapshot();
    while (state.finished < finished && std::chrono::steady_clock::now() < until)
      state = jobs.WaitFor(state.version, std::chrono::seconds(5));
    EXPECT_GE(state.finished, finished) << "no sync ended within the bound";
    return state;
  }

  fs::path folder_;
  terminal::sim::SimulatorSite sim_;
  std::map<int, std::string> paths_;
  vanto::site::Site site_;
  SyncSettings settings_;
};

TEST_F(SyncJobsTest, ASyncRunsInTheBackgroundOneAtATimeAndIsRecordedAsTheConsoleUsers) {
  SyncJobs jobs(site_, settings_);
  std::vector<TerminalSync> done_rows;
  {
    // Port 2 held by "another program": the sync waits for it, so it is surely running below.
    auto held = terminal::control::PortLock::Acquire(paths_.at(2), std::chrono::milliseconds(0));
    ASSERT_EQ(jobs.Begin(store::RunStarter::Console, "ada", std::nullopt,
                         [&](const std::vector<TerminalSync>& rows) { done_rows = rows; }),
              SyncJobs::Start::Started);
    EXPECT_TRUE(jobs.Snapshot().running);
    EXPECT_EQ(jobs.Begin(store::RunStarter::Console, "bob", std::nullopt), SyncJobs::Start::Busy);
    EXPECT_EQ(jobs.Begin(store::RunStarter::Console, "bob", 9), SyncJobs::Start::NoSuchPort);
    // Port 1's terminal is read meanwhile: its progress is told.
    const auto until = std::chrono::steady_clock::now() + kBound;
    SyncJobs::State state = jobs.Snapshot();
    while (!(state.ports.count(1) && state.ports.at(1).stage == PortProgress::Stage::kDone) &&
           std::chrono::steady_clock::now() < until)
      state = jobs.WaitFor(state.version, std::chrono::seconds(5));
    ASSERT_TRUE(state.ports.count(1));
    EXPECT_EQ(state.ports.at(1).stage, PortProgress::Stage::kDone);
    EXPECT_TRUE(state.running);
    held.Release();
  }
  SyncJobs::State state = Finished(jobs, 1);
  EXPECT_FALSE(state.running);
  ASSERT_EQ(state.last.size(), 2u);
  ASSERT_EQ(done_rows.size(), 2u);
  for (const TerminalSync& row : state.last) {
    EXPECT_TRUE(row.ok) << row.port << ": " << CauseText(Language::kEnglish, row);
    EXPECT_EQ(row.added, static_cast<std::size_t>(kRecords));
  }
  std::vector<store::SyncRun> runs = settings_.db->SyncRuns()->Recent(5);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].started_by, store::RunStarter::Console);
  EXPECT_EQ(runs[0].who, "ada");
  EXPECT_EQ(runs[0].ports, "1,2");
  EXPECT_TRUE(runs[0].ended_at);
  ASSERT_EQ(runs[0].terminals.size(), 2u);
  EXPECT_EQ(runs[0].terminals[1].outcome, "synced");
  EXPECT_EQ(runs[0].terminals[1].added, kRecords);

  // One port alone: only it is synced and recorded.
  ASSERT_EQ(jobs.Begin(store::RunStarter::Console, "ada", 2), SyncJobs::Start::Started);
  state = Finished(jobs, 2);
  ASSERT_EQ(state.last.size(), 1u);
  EXPECT_EQ(state.last[0].port, 2);
  EXPECT_EQ(settings_.db->SyncRuns()->Recent(1)[0].ports, "2");

  jobs.Stop();
  EXPECT_EQ(jobs.Begin(store::RunStarter::Console, "ada", std::nullopt), SyncJobs::Start::Stopping);
}

TEST_F(SyncJobsTest, TheScheduleStartsSyncsOfItsOwn) {
  SyncJobs jobs(site_, settings_);
  std::atomic<int> scheduled{0};
  jobs.Schedule(std::chrono::seconds(1), [&](const std::vector<TerminalSync>&) { ++scheduled; });
  SyncJobs::State state = Finished(jobs, 2);
  EXPECT_GE(scheduled.load(), 2);
  EXPECT_EQ(state.started_by, store::RunStarter::Schedule);
  jobs.Stop();
  std::vector<store::SyncRun> runs = settings_.db->SyncRuns()->Recent(10);
  ASSERT_GE(runs.size(), 2u);
  for (const store::SyncRun& run : runs) {
    EXPECT_EQ(run.started_by, store::RunStarter::Schedule);
    EXPECT_TRUE(run.ended_at);
  }
  // The first stored everything; the later ones read on and found nothing new.
  EXPECT_EQ(store::RecordStore(settings_.db->Swipes()).CountSwipes(), 2 * kRecords);
  EXPECT_EQ(runs.back().terminals.at(0).added, kRecords);
  EXPECT_EQ(runs.front().terminals.at(0).added, 0);
}

TEST_F(SyncJobsTest, NoSyncStartsOnAPortWhileAnActionOnItsTerminalsRuns) {
  SyncJobs jobs(site_, settings_);
  std::mutex audit_mutex;
  std::vector<std::string> audit;  // "action: details", from this thread and the syncs'
  const AuditWriter writer = [&](const std::string& action, const std::string& details) {
    std::lock_guard lock(audit_mutex);
    audit.push_back(action + ": " + details);
  };
  struct Attempt {
    std::optional<int> port;
    SyncJobs::Start expected;
  };
  const TerminalActionResult result = RunTerminalAction(
      jobs, "enrolment.write", {{1, 1}}, std::chrono::steady_clock::now() + kBound, writer,
      [&](const EnrolmentAuditHook& hook) {
        hook({EnrolmentAudit::Stage::kIntent, "enrolment.write", "port 1 terminal 1"});
        // While the action holds port 1: neither a sync of it nor of the site starts (the
        // schedule's go through the same door), and each refusal is audited.
        for (const Attempt& a : {Attempt{1, SyncJobs::Start::Busy}, Attempt{std::nullopt, SyncJobs::Start::Busy}})
          EXPECT_EQ(StartSync(jobs, store::RunStarter::Console, "ada", a.port, writer, {}), a.expected)
              << SyncScope(a.port);
        EXPECT_FALSE(jobs.Snapshot().running);
        // Port 2 is no part of the action: its sync runs.
        EXPECT_EQ(StartSync(jobs, store::RunStarter::Schedule, "", 2, writer, {}), SyncJobs::Start::Started);
        Finished(jobs, 1);
      });
  ASSERT_EQ(result.status, TerminalActionResult::Status::kDone) << result.failure.English();
  // The hold ended with the action: port 1 syncs now.
  EXPECT_EQ(StartSync(jobs, store::RunStarter::Console, "ada", 1, writer, {}), SyncJobs::Start::Started);
  SyncJobs::State state = Finished(jobs, 2);
  ASSERT_EQ(state.last.size(), 1u);
  EXPECT_EQ(state.last[0].port, 1);
  EXPECT_TRUE(state.last[0].ok);
  jobs.Stop();
  std::lock_guard lock(audit_mutex);
  EXPECT_EQ(audit, (std::vector<std::string>{
                       "enrolment.write: port 1 terminal 1", "sync.start: port 1", "sync.refused: port 1: a port is busy",
                       "sync.start: site", "sync.refused: site: a port is busy", "sync.start: port 2",
                       "sync.done: port 2: 1/1 terminals synced, " + std::to_string(kRecords) + " new records",
                       "sync.start: port 1",
                       "sync.done: port 1: 1/1 terminals synced, " + std::to_string(kRecords) + " new records"}));
}

TEST_F(SyncJobsTest, AnActionWaitsForASyncOfItsPortAndIsRefusedWhenTheWaitEnds) {
  SyncJobs jobs(site_, settings_);
  std::vector<std::string> audit;
  const AuditWriter writer = [&](const std::string& action, const std::string& details) {
    audit.push_back(action + ": " + details);
  };
  // Port 2 held by "another program" keeps the site's sync running.
  auto held = terminal::control::PortLock::Acquire(paths_.at(2), std::chrono::milliseconds(0));
  ASSERT_EQ(jobs.Begin(store::RunStarter::Console, "ada", std::nullopt), SyncJobs::Start::Started);
  bool ran = false;
  const TerminalActionResult result = RunTerminalAction(
      jobs, "enrolment.write", {{2, 1}}, std::chrono::steady_clock::now(), writer,
      [&](const EnrolmentAuditHook&) { ran = true; });
  EXPECT_EQ(result.status, TerminalActionResult::Status::kBusy);
  EXPECT_FALSE(ran);
  EXPECT_EQ(audit, std::vector<std::string>{"enrolment.write.refused: port 2 terminal 1: the port is busy"});
  held.Release();
  Finished(jobs, 1);
}

// A host part failing with words of the catalogue (a database opened for reading refuses the
// audit trail's row, the run's record and the records; a folder where the database should be) is
// said in the reader's language in every result that carries it, live and as recorded; the
// values a program reads keep the English text and gain nothing.
TEST_F(SyncJobsTest, AFailingPartIsSaidInTheReadersLanguageInEveryResult) {
  vanto::db::DatabaseOptions reading;
  reading.read_only = true;
  const std::string path = (folder_ / "site.db").string();
  const std::shared_ptr<vanto::db::Database> readonly = vanto::db::Database::Open(path, reading);
  const AuditWriter refused = [&](const std::string& action, const std::string& details) {
    readonly->Audit({0, "", "ada", "test", action, details});
  };
  // The records and the run refused by the handle, the audit trail by the file.
  const std::string stored = "数据库 " + path + " 以只读方式打开，不能写入";
  const std::string chinese = "数据库 " + path + " 是只读的";
  const std::string english = "database " + path + " is opened for reading";
  SyncJobs jobs(site_, settings_);
  struct Case {
    const char* what;
    std::function<std::string()> said;  // the result's detail as a front end says it in Chinese
    std::string chinese;
  };
  std::vector<SyncNote> record_failures;
  std::vector<TerminalSync> rows;
  TerminalSync failed;  // the row of the terminal whose records the database refused
  const Case cases[] = {
      {"a sync whose records the database refuses",
       [&] {
         SyncSettings settings = settings_;
         settings.db = readonly;
         settings.on_record_failure = [&](const SyncNote& note) { record_failures.push_back(note); };
         rows = SyncSite(site_, settings);
         // The terminals sync at once: the one whose records were refused first says so (the
         // others, that the database failed on another terminal), whichever it is.
         const auto own = std::find_if(rows.begin(), rows.end(), [&](const TerminalSync& r) {
           return !r.cause_values.empty() && r.cause_values.at(0).second.rfind(english, 0) == 0;
         });
         if (own == rows.end()) return std::string("no terminal says the database refused its records");
         failed = *own;
         EXPECT_EQ(failed.cause_code, "store");
         EXPECT_EQ(ErrorValue(failed.cause_values, "error").English().rfind(english, 0), 0u);
         return CauseText(Language::kChinese, failed);
       },
       stored},
      {"the run's record refused", [&] { return NoteText(Language::kChinese, record_failures.at(0)); }, chinese},
      {"the sync as recorded and shown by the console",
       [&] {
         std::unique_ptr<store::SyncRunStore> runs = settings_.db->SyncRuns();
         const std::int64_t id = runs->Begin(store::UtcNowText(), store::RunStarter::Console, "ada", "", "");
         store::RunTerminal t;
         t.port = failed.port, t.terminal = failed.terminal, t.outcome = "failed";
         t.cause_code = failed.cause_code, t.cause_values = failed.cause_values;
         runs->Finish(id, store::UtcNowText(), {t});
         const std::optional<store::SyncRun> run = runs->Find(id);
         // The JSON of `sync --json` and the API: "error" in English, nothing added.
         const auto json = SyncRowJson(ReportOf(*run).terminals.at(0));
         EXPECT_EQ(json["cause_values"].value("error", "").rfind(english, 0), 0u) << json.dump();
         EXPECT_EQ(json["cause_values"].size(), 3u) << json.dump();
         return CauseText(Language::kChinese, run->terminals.at(0));
       },
       stored},
      {"a clear whose intent the audit trail refuses",
       [&] {
         HostControl control = HostControl::Create();
         const ClearResult clear = ClearIfComplete(store::RecordStore(settings_.db->Swipes()), control, 1, 1,
                                                   [&](const ClearAudit& a) { refused(a.action, a.details); });
         EXPECT_EQ(clear.status, ClearResult::Status::kNotAudited);
         return Translate(clear.terminal_error, Language::kChinese);
       },
       chinese},
      {"a backup whose intent the audit trail refuses",
       [&] {
         EnrolmentResult result;
         RunReleasingPorts({{1, 1}}, [&] {
           Machine machine = Machine::Create();
           result = BackupEnrolment(machine, *settings_.db, SiteChoice{}, 1, 1, 100,
                                    [&](const EnrolmentAudit& a) { refused(a.action, a.details); });
         });
         EXPECT_EQ(result.status, EnrolmentResult::Status::kNotAudited);
         return Translate(result.failure, Language::kChinese);
       },
       chinese},
      {"an action on terminals that fails",
       [&] {
         const TerminalActionResult result = RunTerminalAction(
             jobs, "enrolment.write", {{1, 1}}, std::chrono::steady_clock::now() + kBound, {},
             [&](const EnrolmentAuditHook&) { refused("enrolment.write", "port 1 terminal 1"); });
         EXPECT_EQ(result.status, TerminalActionResult::Status::kFailed);
         return Translate(result.failure, Language::kChinese);
       },
       chinese},
      {"a check whose database cannot be opened",
       [&] {
         const fs::path dir = folder_ / "a-folder";
         fs::create_directories(dir);
         CheckSettings settings;
         settings.database = dir.string();
         settings.open_database = [&] { return vanto::db::Database::Open(dir.string(), reading); };
         const CheckResult check = CheckSite(site_, settings);
         for (const CheckFinding& f : check.findings)
           if (f.code == "database-failed") {
             EXPECT_EQ(f.Value("error"), "database " + dir.string() + " is a folder, not a file");
             return Translate(ErrorValue(f.values, "error"), Language::kChinese);
           }
         return std::string("no database-failed finding");
       },
       "数据库 " + (folder_ / "a-folder").string() + " 是文件夹，不是文件"},
  };
  for (const Case& c : cases) {
    const std::string said = c.said();
    EXPECT_NE(said.find(c.chinese), std::string::npos) << c.what << ": " << said;
    EXPECT_EQ(said.find("database "), std::string::npos) << c.what << ": English inside Chinese: " << said;
  }
  jobs.Stop();
}

}  // namespace
