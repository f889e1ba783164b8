// The Enrolments page's actions over the simulator on pseudo-terminals: an admin backs up a
// person from a terminal into the host's table and copies it to chosen terminals, each terminal
// with its result; every action on a terminal leaves its intent and outcome rows under the
// signed-in user; bad fields are refused with nothing done; a sync holding the port makes the
// action wait its bound and say the port is busy.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "host/control_settings.h"
#include "host/enrolment.h"
#include "host/db/record_store.h"
#include "host/site_choice.h"
#include "terminal/control/settings.h"
#include "terminal/sim/front_end.h"
#include "terminal/sim/simulator.h"
#include "tests/host/simulator_folder.h"
#include "tests/web/console_fixture.h"
#include "tests/web/raw_client.h"
#include "web/enrolments_page.h"
#include "host/db/database.h"
#include "host/db/sites.h"
#include "platform/ado/enrolment.h"

namespace vanto::web::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kFingerprintPerson = 7, kPasswordPerson = 8;

// Ports 1 (terminals 1, 2) and 2 (terminal 3) of the simulator: terminal 1 holds person 7's
// fingerprint, terminal 2 person 8's password, terminal 3 nobody; port 3 has no device.
class EnrolmentActions : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VANTO_MODULES_BUILT) GTEST_SKIP() << "the driver and control modules are not part of this build";
    folder_ = vanto::testing::PrepareSimulatorFolder(sim_, "enrol");
    template_.fill(0);
    for (std::size_t i = 0; i + 1 < template_.size(); ++i) template_[i] = static_cast<std::int32_t>(i * 37 % 1000) - 500;
    sim_.AddTerminal(1, 1).persons[kFingerprintPerson].fingerprints[0] = template_;
    sim_.AddTerminal(1, 2).persons[kPasswordPerson].password = 4321;
    sim_.AddTerminal(2, 3).records.push_back({kFingerprintPerson, 2026, 11, 2, 8, 0});
    paths_ = sim_.Start();
    host::ControlSettingValues settings;
    std::map<int, std::string> devices = paths_;
    devices[3] = (folder_ / "no-such-device").string();  // port 3's device is missing
    for (const auto& [name, value] : terminal::sim::PortSettings(devices)) settings[name] = value;
    // A port another program holds keeps a sync waiting for as long as the test needs.
    settings[terminal::control::kLockTimeoutVariable] = "120000";
    host::PinControlSettings(settings);
    ServerOptions options;
    options.terminal_wait = std::chrono::milliseconds(300);
    options.streams = streams_;
    options.records.site = served_;
    console_ = std::make_unique<Console>(options, [this](const std::string& database) {
      site::Site site;
      site.path = "site.toml";
      // Port 3's device is missing.
      for (auto [number, terminals] :
           {std::pair{1, std::vector<int>{1, 2}}, std::pair{2, std::vector<int>{3}}, std::pair{3, std::vector<int>{1}}}) {
        site::SitePort port;
        port.number = number;
        port.device = number == 3 ? (folder_ / "no-such-device").string() : paths_.at(number);
        port.terminals = terminals;
        site.ports.push_back(port);
      }
      host::SyncSettings sync;
      sync.db = vanto::db::Database::Open(database);
      sync.site_name = served_.value_or("");
      return std::make_unique<host::SyncJobs>(site, sync);
    });
    admin_ = console_->Login(console_->users.admin);
  }
  void TearDown() override {
    console_.reset();
    host::UnpinControlSettings();
    sim_.Stop();
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }

  httplib::Result Post(const std::string& path, httplib::Params form) {
    form.emplace("csrf", admin_.csrf);
    return console_->Post(path, form, admin_.cookie);
  }
  // The result row of (port, terminal) of the page: "done" or "failed", then the row's text.
  static std::string Result(const std::string& page, const std::string& action, int port, int terminal) {
    const std::string start = "<tr class=\"enrolment-result ";
    for (std::size_t at = page.find(start); at != std::string::npos; at = page.find(start, at + 1)) {
      const std::string row = page.substr(at, page.find("</tr>", at) - at);
      if (row.find("data-port=\"" + std::to_string(port) + "\" data-terminal=\"" + std::to_string(terminal) + "\"") !=
              std::string::npos &&
          row.find("<td>" + action + "</td>") != std::string::npos)
        return row.substr(start.size());
    }
    return "(no row)";
  }
  // The audit rows written since `before` rows were there, oldest first: "action|details|actor|origin".
  std::vector<std::string> AuditSince(std::size_t before) {
    std::vector<accounts::AuditEntry> all = console_->accounts().AuditTrail(1000);
    std::vector<std::string> rows;
    for (std::size_t i = all.size() - before; i-- > 0;)
      rows.push_back(all[i].action + "|" + all[i].details + "|" + all[i].actor + "|" + all[i].origin);
    return rows;
  }
  std::size_t AuditCount() { return console_->accounts().AuditTrail(1000).size(); }
  std::vector<store::EnrolmentEntry> Stored() {
    return vanto::db::Database::Open(console_->database(), vanto::db::DatabaseOptions{.create = false, .read_only = true})
        ->Swipes()
        ->Enrolments();
  }

  fs::path folder_;
  terminal::sim::SimulatorSite sim_;
  std::map<int, std::string> paths_;
  terminal::sim::Template template_{};
  std::unique_ptr<Console> console_;
  Session admin_;
  StreamLimits streams_;  // a fixture of its own may change them before SetUp
  std::optional<std::string> served_;  // the console's site (none: a database of no site)
};

TEST_F(EnrolmentActions, BackUpThenCopyToChosenTerminalsEachWithItsResultAndAuditRows) {
  const std::size_t before = AuditCount();
  httplib::Result backup = Post("/enrolments/backup", {{"terminal", "1.1"}, {"person", "7"}});
  ASSERT_TRUE(backup);
  ASSERT_EQ(backup->status, 200) << backup->body;
  EXPECT_EQ(Result(backup->body, "Back up", 1, 1).rfind("done", 0), 0u) << backup->body;
  std::vector<store::EnrolmentEntry> stored = Stored();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].person, kFingerprintPerson);
  EXPECT_EQ(stored[0].kind, 0);
  EXPECT_EQ(stored[0].terminal, 1);
  EXPECT_NE(backup->body.find("<tr class=\"enrolment\" data-person=\"7\">"), std::string::npos);

  // Backed up from terminal 1 again and written to terminals 2 (port 1) and 3 (port 2), on
  // another request's thread: the first backup left no port held.
  httplib::Result copy = Post("/enrolments/write", {{"person", "7"}, {"from", "1.1"}, {"to", "1.2"}, {"to", "2.3"}});
  ASSERT_TRUE(copy);
  ASSERT_EQ(copy->status, 200) << copy->body;
  EXPECT_EQ(Result(copy->body, "Back up", 1, 1).rfind("done", 0), 0u) << copy->body;
  for (auto [port, terminal] : {std::pair{2, 3}, std::pair{1, 2}}) {
    const std::string row = Result(copy->body, "Copy", port, terminal);
    EXPECT_EQ(row.rfind("done", 0), 0u) << port << "." << terminal << ": " << row;
    EXPECT_NE(row.find("fingerprint"), std::string::npos) << row;
    auto t = sim_.Terminal(port, terminal);
    ASSERT_TRUE(t && t->persons.count(kFingerprintPerson) && t->persons.at(kFingerprintPerson).fingerprints.count(0));
    const auto& got = t->persons.at(kFingerprintPerson).fingerprints.at(0);
    EXPECT_TRUE(std::equal(template_.begin(), template_.end() - 1, got.begin())) << "template differs on " << terminal;
  }
  EXPECT_EQ(Stored().size(), 1u);  // writing to terminals changes no stored row
  // Terminal 3 gives it back: the copy left port 2 free too.
  httplib::Result again = Post("/enrolments/backup", {{"terminal", "2.3"}, {"person", "7"}});
  ASSERT_TRUE(again);
  EXPECT_EQ(Result(again->body, "Back up", 2, 3).rfind("done", 0), 0u) << again->body;
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_EQ(Stored()[0].terminal, 3);

  const std::vector<std::string> expected = {
      "enrolment.backup|person 7 from port 1 terminal 1|ada|127.0.0.1",
      "enrolment.backup.done|person 7 from port 1 terminal 1; fingerprint|ada|127.0.0.1",
      "enrolment.backup|person 7 from port 1 terminal 1|ada|127.0.0.1",
      "enrolment.backup.done|person 7 from port 1 terminal 1; fingerprint|ada|127.0.0.1",
      "enrolment.write|person 7 to port 1 terminal 2 (fingerprint)|ada|127.0.0.1",
      "enrolment.write.done|person 7 to port 1 terminal 2 (fingerprint); fingerprint|ada|127.0.0.1",
      "enrolment.write|person 7 to port 2 terminal 3 (fingerprint)|ada|127.0.0.1",
      "enrolment.write.done|person 7 to port 2 terminal 3 (fingerprint); fingerprint|ada|127.0.0.1",
      "enrolment.backup|person 7 from port 2 terminal 3|ada|127.0.0.1",
      "enrolment.backup.done|person 7 from port 2 terminal 3; fingerprint|ada|127.0.0.1",
  };
  EXPECT_EQ(AuditSince(before), expected);
}

TEST_F(EnrolmentActions, WhatATerminalOrTheHostCannotDoIsShownPerTerminalAndAudited) {
  struct Case {
    const char* name;
    const char* path;
    httplib::Params form;
    std::string action;  // the result row's action
    int port, terminal;
    std::string shown;   // in the row
    std::string outcome; // the outcome audit row's action
  } cases[] = {
      {"nobody of that number on the terminal", "/enrolments/backup", {{"terminal", "1.1"}, {"person", "99"}},
       "Back up", 1, 1, "the terminal holds no enrolment of this person", "enrolment.backup.refused"},
      {"nothing stored of that person", "/enrolments/write", {{"person", "99"}, {"to", "2.3"}},
       "Copy", 2, 3, "the host holds no enrolment of this person", "enrolment.write.refused"},
      {"a port whose device is missing", "/enrolments/backup", {{"terminal", "3.1"}, {"person", "7"}},
       "Back up", 3, 1, "the port could not be used</td><td class=\"words\">port 3 (", "enrolment.backup.refused"},
      {"a copy to it", "/enrolments/write", {{"person", "7"}, {"from", "1.1"}, {"to", "3.1"}},
       "Copy", 3, 1, "no-such-device): the device does not exist", "enrolment.write.failed"},
      // A copy from a terminal writes the kind it gave: the password of person 8.
      {"a password copied from terminal 2", "/enrolments/write", {{"person", "8"}, {"from", "1.2"}, {"to", "2.3"}},
       "Copy", 2, 3, "password", "enrolment.write.done"},
  };
  for (const Case& c : cases) {
    const std::size_t before = AuditCount();
    httplib::Result r = Post(c.path, c.form);
    ASSERT_TRUE(r) << c.name;
    EXPECT_EQ(r->status, 200) << c.name;
    EXPECT_NE(Result(r->body, c.action, c.port, c.terminal).find(c.shown), std::string::npos)
        << c.name << ": " << Result(r->body, c.action, c.port, c.terminal);
    const std::vector<std::string> rows = AuditSince(before);
    ASSERT_FALSE(rows.empty()) << c.name;
    EXPECT_EQ(rows.back().substr(0, rows.back().find('|')), c.outcome) << c.name;
    EXPECT_EQ(rows.size() % 2, 0u) << c.name;  // each intent with its outcome
  }
  auto t = sim_.Terminal(2, 3);
  ASSERT_TRUE(t && t->persons.count(kPasswordPerson));
  EXPECT_EQ(t->persons.at(kPasswordPerson).password, 4321);
}

TEST_F(EnrolmentActions, BadFieldsAreRefusedWithNothingDone) {
  const std::size_t before = AuditCount();
  struct Case {
    const char* path;
    httplib::Params form;
  } cases[] = {
      {"/enrolments/backup", {{"terminal", "1.1"}, {"person", "x"}}},
      {"/enrolments/backup", {{"terminal", "1.1"}, {"person", "7; DROP TABLE enrolments"}}},
      {"/enrolments/backup", {{"terminal", "1.1"}, {"person", "99999999999"}}},
      {"/enrolments/backup", {{"terminal", "9.9"}, {"person", "7"}}},  // no terminal of the site
      {"/enrolments/backup", {{"terminal", "<script>"}, {"person", "7"}}},
      {"/enrolments/backup", {{"terminal", "../1.1"}, {"person", "7"}}},
      {"/enrolments/backup", {{"person", "7"}}},
      {"/enrolments/write", {{"person", "7"}}},  // no target
      {"/enrolments/write", {{"person", "7"}, {"to", "2.3"}, {"to", "2.4"}}},
      {"/enrolments/write", {{"person", "40000"}, {"to", "2.3"}}},  // beyond the protocol's person numbers
      {"/enrolments/write", {{"person", "7"}, {"from", "4.1"}, {"to", "2.3"}}},
  };
  for (const Case& c : cases) {
    httplib::Result r = Post(c.path, c.form);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << c.path << " " << c.form.begin()->second;
    EXPECT_EQ(r->body.find("<script>"), std::string::npos);
  }
  EXPECT_EQ(AuditCount(), before);
  EXPECT_TRUE(Stored().empty());
  EXPECT_FALSE(sim_.Terminal(2, 3)->persons.count(kFingerprintPerson));
}

TEST_F(EnrolmentActions, OnlyAnAdminWithTheFormsTokenActsAndTheResultsSpeakTheUsersLanguage) {
  Session hr = console_->Login(console_->users.hr);
  const std::size_t before = AuditCount();
  struct Case {
    const char* who;
    std::string cookie, csrf;
  } refused[] = {{"hr", hr.cookie, hr.csrf}, {"admin, hr's token", admin_.cookie, hr.csrf}, {"admin, no token", admin_.cookie, ""}};
  for (const Case& c : refused)
    for (const char* path : {"/enrolments/backup", "/enrolments/write"}) {
      httplib::Result r = console_->Post(path, {{"csrf", c.csrf}, {"terminal", "1.1"}, {"person", "7"}, {"to", "2.3"}}, c.cookie);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->status, 403) << c.who << " " << path;
    }
  // Only the refusals themselves are in the audit trail.
  const std::vector<std::string> rows = AuditSince(before);
  EXPECT_EQ(rows.size(), 6u);
  for (const std::string& row : rows) EXPECT_EQ(row.rfind("refused|POST /enrolments/", 0), 0u) << row;
  EXPECT_TRUE(Stored().empty());
  EXPECT_FALSE(sim_.Terminal(2, 3)->persons.count(kFingerprintPerson));
  // hr reads the list but gets no forms.
  httplib::Result page = console_->Get("/enrolments", hr.cookie);
  ASSERT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("id=\"host-copy\""), std::string::npos);
  EXPECT_EQ(page->body.find("action=\"/enrolments/"), std::string::npos);

  httplib::Result zh = console_->Post("/enrolments/write", {{"csrf", admin_.csrf}, {"person", "99"}, {"to", "2.3"}},
                                      admin_.cookie, {{"Accept-Language", "zh-CN"}});
  ASSERT_TRUE(zh);
  EXPECT_NE(Result(zh->body, "复制", 2, 3).find("主机没有此人员的登记"), std::string::npos) << zh->body;
}

TEST_F(EnrolmentActions, ASyncHoldingThePortMakesTheActionSayBusyAfterItsBound) {
  // Port 2's line held by another program: the console's sync of port 2 waits for it, running.
  const int held = open(paths_.at(2).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(console_->sync()->Begin(store::RunStarter::Console, "ada", 2), host::SyncJobs::Start::Started);
  const std::size_t before = AuditCount();
  httplib::Result busy = Post("/enrolments/write", {{"person", "7"}, {"to", "2.3"}});
  // A port the sync does not use is free.
  httplib::Result free = Post("/enrolments/backup", {{"terminal", "1.1"}, {"person", "7"}});
  close(held);
  ASSERT_TRUE(busy && free);
  EXPECT_EQ(busy->status, 409);
  EXPECT_NE(busy->body.find("The port is busy"), std::string::npos);
  EXPECT_EQ(free->status, 200) << free->body;
  const std::vector<std::string> rows = AuditSince(before);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], "enrolment.write.refused|port 2 terminal 3: the port is busy|ada|127.0.0.1");
  EXPECT_EQ(rows[2].rfind("enrolment.backup.done|", 0), 0u) << rows[2];
  EXPECT_FALSE(sim_.Terminal(2, 3)->persons.count(kFingerprintPerson));
  // The sync goes on once the line is free, and ends.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  host::SyncJobs::State state = console_->sync()->Snapshot();
  while (state.finished < 1 && std::chrono::steady_clock::now() < until)
    state = console_->sync()->WaitFor(state.version, std::chrono::seconds(5));
  EXPECT_EQ(state.finished, 1u);
}

// The Terminals page's clear: refused (nothing cleared) while the database lacks a record of the
// terminal, cleared once a sync stored them all; each try with its intent and outcome rows.
TEST_F(EnrolmentActions, AClearRefusesWhileTheDatabaseLacksRecordsAndClearsOnceItHoldsThemAll) {
  httplib::Result page = console_->Get("/terminals", admin_.cookie);
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("id=\"clear-2-3\""), std::string::npos) << page->body;
  const std::string intent = "terminal.clear|port 2 terminal 3; cleared only when the database holds every record of its log|ada|127.0.0.1";
  struct Case {
    const char* name;
    httplib::Params form;
    bool sync_first;
    int status;
    std::string shown;
    std::size_t left;  // records the terminal still holds
    std::vector<std::string> audit;
  } cases[] = {
      {"unconfirmed", {{"terminal", "2.3"}}, false, 400, "confirm that its records are deleted", 1, {}},
      {"no terminal of the site", {{"terminal", "2.9"}, {"understood", "yes"}}, false, 400, "Choose a terminal", 1, {}},
      {"the database lacks its record", {{"terminal", "2.3"}, {"understood", "yes"}}, false, 200,
       "not cleared: the database misses records (sync first)</td><td class=\"words\">0</td>", 1,
       {intent, "terminal.clear.incomplete|port 2 terminal 3; log generation 1, 1 records held; the database misses "
                "records 0; nothing cleared|ada|127.0.0.1"}},
      {"synced first", {{"terminal", "2.3"}, {"understood", "yes"}}, true, 200, "cleared: every record is stored", 0,
       {intent, "terminal.clear.done|port 2 terminal 3; log generation 1, 1 records held; generation now 2|ada|127.0.0.1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.sync_first) {
      ASSERT_EQ(console_->sync()->Begin(store::RunStarter::Console, "ada", 2), host::SyncJobs::Start::Started);
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      host::SyncJobs::State state = console_->sync()->Snapshot();
      while ((state.running || state.finished < 1) && std::chrono::steady_clock::now() < until)
        state = console_->sync()->WaitFor(state.version, std::chrono::seconds(5));
      ASSERT_FALSE(state.running);
    }
    const std::size_t before = AuditCount();
    httplib::Result r = Post("/terminals/clear", c.form);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    EXPECT_NE(r->body.find(c.shown), std::string::npos) << r->body;
    EXPECT_EQ(AuditSince(before), c.audit);
    EXPECT_EQ(sim_.Terminal(2, 3)->records.size(), c.left);
  }
  // In the user's language, and the port left free for the next action.
  httplib::Result zh = console_->Post("/terminals/clear", {{"csrf", admin_.csrf}, {"terminal", "2.3"}, {"understood", "yes"}},
                                      admin_.cookie, {{"Accept-Language", "zh-CN"}});
  ASSERT_TRUE(zh);
  EXPECT_NE(zh->body.find("已清除：全部记录均已保存"), std::string::npos) << zh->body;
}

// A scanned port offers, before any sync, its range when small and nothing when large; once a
// sync has reached terminals (here 1 and 2 of port 1), those alone, also to a server started later.
TEST_F(EnrolmentActions, AScannedPortOffersTheTerminalsASyncReached) {
  const auto jobs_for = [&](int last) {
    site::Site site;
    site::SitePort port;
    port.number = 1, port.device = paths_.at(1), port.scan = true;
    for (int t = 1; t <= last; ++t) port.terminals.push_back(t);
    site.ports.push_back(port);
    host::SyncSettings sync;
    sync.db = vanto::db::Database::Open(console_->database());
    return std::make_unique<host::SyncJobs>(site, sync);
  };
  const std::shared_ptr<db::Database> database = db::Database::Open(console_->database());
  const auto offered = [&database](const host::SyncJobs& jobs) {
    std::string text;
    for (const host::TerminalAt& at : OfferedTerminals(jobs, [&]() -> db::Database& { return *database; })) text += std::to_string(at.port) + "." + std::to_string(at.terminal) + " ";
    return text;
  };
  EXPECT_EQ(offered(*jobs_for(4)), "1.1 1.2 1.3 1.4 ");
  EXPECT_EQ(offered(*jobs_for(33)), "");

  std::unique_ptr<host::SyncJobs> jobs = jobs_for(33);
  ASSERT_EQ(jobs->Begin(store::RunStarter::Console, "ada", std::nullopt), host::SyncJobs::Start::Started);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  host::SyncJobs::State state = jobs->Snapshot();
  while ((state.running || state.finished < 1) && std::chrono::steady_clock::now() < until)
    state = jobs->WaitFor(state.version, std::chrono::seconds(5));
  ASSERT_FALSE(state.running);
  EXPECT_EQ(offered(*jobs), "1.1 1.2 ");
  jobs.reset();
  EXPECT_EQ(offered(*jobs_for(33)), "1.1 1.2 ") << "from the recorded run";
  EXPECT_EQ(offered(*jobs_for(4)), "1.1 1.2 ");
}

// The progress streams while a sync runs (port 2's line held by "another program"): held, a few
// per session and per user, released when their client goes; each ends when the sync does, or
// when nothing changed for the idle bound.
// The console serves north in a database that also holds south, whose person 7 is another
// human with another fingerprint: the console's backup, copy and listing are north's only.
class SiteEnrolmentActions : public EnrolmentActions {
 protected:
  void SetUp() override {
    served_ = "north";
    EnrolmentActions::SetUp();
  }
  // Person 7's stored rows at `site`.
  std::vector<EnrolmentRow> Rows(const std::string& site) {
    host::SiteChoice choice;
    choice.name = site;
    choice.filter = site;
    ComPtr<RowSet> rows;
    std::vector<EnrolmentRow> read;
    EXPECT_EQ(vanto::db::Database::Open(console_->database())->EnrolmentRows(choice, kFingerprintPerson, 0, &rows, true),
              S_OK);
    if (rows) {
      EXPECT_EQ(ReadEnrolmentRows(rows.Get(), &read), S_OK);
    }
    return read;
  }
};

TEST_F(SiteEnrolmentActions, BackUpCopyAndListingAreTheServingSitesOwn) {
  const EnrolmentRow south{kFingerprintPerson, 0, 1, 0, std::vector<BYTE>(1836, 0x5A)};
  {
    auto db = vanto::db::Database::Open(console_->database());
    auto tables = db->Tables(false);
    ASSERT_TRUE(store::AddSite(*tables, "north", "test"));
    ASSERT_TRUE(store::AddSite(*tables, "south", "test"));
    host::SiteChoice choice;
    choice.name = "south";
    choice.filter = "south";
    ComPtr<RowSet> rows;
    ASSERT_EQ(db->EnrolmentRows(choice, kFingerprintPerson, 0, &rows), S_OK);
    ASSERT_EQ(AddEnrolmentRow(rows.Get(), south), S_OK);
  }
  // North holds no enrolment yet: nothing listed, and a copy of the stored one has none.
  httplib::Result page = console_->Get("/enrolments", admin_.cookie);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200) << page->body;
  EXPECT_EQ(page->body.find("data-person=\"7\""), std::string::npos);
  httplib::Result none = Post("/enrolments/write", {{"person", "7"}, {"from", ""}, {"to", "1.2"}});
  ASSERT_TRUE(none);
  EXPECT_NE(Result(none->body, "Copy", 1, 2).find("the host holds no enrolment of this person"), std::string::npos)
      << none->body;
  EXPECT_FALSE(sim_.Terminal(1, 2)->persons.count(kFingerprintPerson));

  httplib::Result backup = Post("/enrolments/backup", {{"terminal", "1.1"}, {"person", "7"}});
  ASSERT_TRUE(backup);
  EXPECT_EQ(Result(backup->body, "Back up", 1, 1).rfind("done", 0), 0u) << backup->body;
  EXPECT_NE(backup->body.find("<tr class=\"enrolment\" data-person=\"7\">"), std::string::npos);
  EXPECT_EQ(Rows("south"), std::vector<EnrolmentRow>{south});  // south's row as it was, byte for byte
  ASSERT_EQ(Rows("north").size(), 1u);
  httplib::Result copy = Post("/enrolments/write", {{"person", "7"}, {"from", ""}, {"to", "1.2"}});
  ASSERT_TRUE(copy);
  EXPECT_EQ(Result(copy->body, "Copy", 1, 2).rfind("done", 0), 0u) << copy->body;
  auto t = sim_.Terminal(1, 2);
  ASSERT_TRUE(t && t->persons.count(kFingerprintPerson) && t->persons.at(kFingerprintPerson).fingerprints.count(0));
  const auto& got = t->persons.at(kFingerprintPerson).fingerprints.at(0);
  EXPECT_TRUE(std::equal(template_.begin(), template_.end() - 1, got.begin()));  // north's, not south's
  EXPECT_EQ(AuditSince(AuditCount() - 2).front(),
            "enrolment.write|person 7 of site north to port 1 terminal 2|ada|127.0.0.1");
}

class ProgressStreams : public EnrolmentActions {
 protected:
  // Idle streams last as long as each test needs (the idle test's own fixture says otherwise).
  ProgressStreams() { streams_.idle = std::chrono::minutes(10); }

  void HoldPortTwo() {
    held_ = open(paths_.at(2).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held_, 0);
    ASSERT_EQ(flock(held_, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(console_->sync()->Begin(store::RunStarter::Console, "ada", 2), host::SyncJobs::Start::Started);
  }
  void Release() {
    if (held_ >= 0) close(held_);
    held_ = -1;
  }
  void TearDown() override {
    Release();
    EnrolmentActions::TearDown();
  }

  // A stream asked for with `cookie`; whether the server holds it (a chunked answer that goes on)
  // rather than answering one event.
  std::unique_ptr<RawClient> Open(const Session& s, bool& held) {
    auto client = std::make_unique<RawClient>(console_->port());
    client->Send("GET /sync/events HTTP/1.1\r\nHost: x\r\nCookie: " + s.cookie + "\r\n\r\n");
    const std::string head = client->ReadUntil("\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    held = head.find("Transfer-Encoding: chunked") != std::string::npos;
    return client;
  }
  bool OpenHeld(const Session& s, std::vector<std::unique_ptr<RawClient>>& into) {
    bool held = false;
    into.push_back(Open(s, held));
    return held;
  }

  int held_ = -1;
};

TEST_F(ProgressStreams, AreCappedPerSessionAndPerUserAndFreedWhenTheirClientGoes) {
  HoldPortTwo();
  const Session v1 = console_->Login(console_->users.viewer), v2 = console_->Login(console_->users.viewer),
                v3 = console_->Login(console_->users.viewer);
  std::vector<std::unique_ptr<RawClient>> open;
  struct Step {
    const Session* session;
    bool held;
    const char* why;
  };
  const Step steps[] = {
      {&v1, true, "first of its session"},  {&v1, true, "second of its session"},
      {&v1, false, "third of its session"}, {&v2, true, "the user's third"},
      {&v2, true, "the user's fourth"},     {&v3, false, "the user's fifth, the session's first"},
      {&admin_, true, "another user's"},
  };
  for (const Step& step : steps) EXPECT_EQ(OpenHeld(*step.session, open), step.held) << step.why;
  // The first stream's client goes: its session may hold one again once the server saw it go.
  open.erase(open.begin());
  bool held = false;
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       !held && std::chrono::steady_clock::now() < until;) {
    std::unique_ptr<RawClient> again = Open(v1, held);  // each one not held is closed at once
    if (held) open.push_back(std::move(again));
  }
  EXPECT_TRUE(held);
  // The sync ends once the line is free: a held stream (the session's second) tells so and ends.
  Release();
  const std::string rest = open[0]->ReadUntil("\r\n0\r\n\r\n", std::chrono::seconds(120));
  EXPECT_NE(rest.find("\"running\":false"), std::string::npos) << rest;
  EXPECT_NE(rest.find("\r\n0\r\n\r\n"), std::string::npos) << rest;
}

class IdleProgressStreams : public ProgressStreams {
 protected:
  IdleProgressStreams() { streams_.idle = std::chrono::seconds(1); }
};

TEST_F(IdleProgressStreams, EndWhenNothingChangedForTheIdleBound) {
  HoldPortTwo();
  bool held = false;
  std::unique_ptr<RawClient> stream = Open(admin_, held);
  EXPECT_TRUE(held);
  // Nothing changes while the line is held: the stream ends by itself, the sync still running.
  const std::string rest = stream->ReadUntil("\r\n0\r\n\r\n", std::chrono::seconds(60));
  EXPECT_NE(rest.find("\r\n0\r\n\r\n"), std::string::npos) << rest;
  EXPECT_TRUE(console_->sync()->Snapshot().running);
}

}  // namespace
}  // namespace vanto::web::testing
