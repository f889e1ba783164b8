// The host against a PostgreSQL server end to end: downloads from the simulator into the
// central database (also when the server ends the session mid-download), and an enrolment
// backed up at one terminal and restored at another through it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "host/db/database.h"
#include "host/db/record_store.h"
#include "host/enrolment.h"
#include "host/site_choice.h"
#include "tests/cli/sim_fixture.h"
#include "tests/support/pg_server.h"
#include "host/db/database.h"

extern char** environ;

namespace vanto::cli::testing {
namespace {

class PostgresE2E : public SimSite {
 protected:
  void SetUp() override {
    SimSite::SetUp();
    if (IsSkipped()) return;
    VANTO_REQUIRE_PG();
    url_ = databases_.Fresh();
    db_ = url_;  // every Db(...) command line goes to the server
  }
  std::string DbName() const {
    std::size_t start = url_.find('/', url_.find("://") + 3) + 1;
    return url_.substr(start, url_.find('?', start) - start);
  }
  vanto::testing::PgDatabases databases_;
  std::string url_;
};

VANTO_OVER_BOTH_TRANSPORTS(PostgresE2E);

TEST_P(PostgresE2E, DownloadsBackupsAndRestoresGoThroughTheServer) {
  auto& one = site_.AddTerminal(1, 1);
  for (int i = 0; i < 700; ++i) one.records.push_back(Swipe(1 + i % 12, 2 + i / 200, 8 + (i % 200) / 60, i % 60));
  one.persons[7].fingerprints[0] = TemplateOf(7);
  site_.AddTerminal(2, 3);
  Start();
  Result first = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  ASSERT_EQ(first.status, kExitOk) << first.err;
  EXPECT_NE(first.out.find("700 records delivered, 700 new, 0 already stored"), std::string::npos) << first.out;
  Result fresh = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  ASSERT_EQ(fresh.status, kExitOk) << fresh.err;
  EXPECT_NE(fresh.out.find("1 record delivered, 0 new, 1 already stored"), std::string::npos) << fresh.out;
  Result again = Vanto(Db({"download", "--port", "1", "--terminal", "1", "--all"}));
  ASSERT_EQ(again.status, kExitOk) << again.err;
  EXPECT_NE(again.out.find("700 records delivered, 0 new, 700 already stored"), std::string::npos) << again.out;
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(url_)->Swipes()).CountSwipes(1, 1), 700);

  // Backed up at one site, restored at another through the central database.
  Result backup = Vanto(Db({"backup", "--port", "1", "--terminal", "1", "--person", "7"}));
  ASSERT_EQ(backup.status, kExitOk) << backup.err;
  // A read-only server still serves a restore.
  vanto::testing::PgAdmin("ALTER DATABASE " + DbName() + " SET default_transaction_read_only = on");
  Result restore = Vanto(Db({"restore", "--port", "2", "--terminal", "3", "--person", "7"}));
  vanto::testing::PgAdmin("ALTER DATABASE " + DbName() + " SET default_transaction_read_only = off");
  ASSERT_EQ(restore.status, kExitOk) << restore.err;
  EXPECT_NE(restore.err.find("the restore goes unaudited"), std::string::npos) << restore.err;
  auto target = site_.Terminal(2, 3);
  ASSERT_TRUE(target && target->persons.count(7) && target->persons.at(7).fingerprints.count(0));
  auto expected = TemplateOf(7), got = target->persons.at(7).fingerprints.at(0);
  EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 459, got.begin())) << "template differs";
}

// Backups and copies of several people through one handle whose pool has two connections, on a
// server that lets the database's role hold no more than two: every row set works over a
// connection of the pool (one of its own would be refused), and each goes back when the driver
// and the host have released its row set.
TEST_P(PostgresE2E, EnrolmentsUseOnlyThePoolsConnectionsAndGiveThemBack) {
  auto& one = site_.AddTerminal(1, 1);
  constexpr int kPeople = 5;
  for (int p = 1; p < kPeople; ++p) one.persons[p].fingerprints[0] = TemplateOf(p);
  one.persons[kPeople].password = 2468;
  site_.AddTerminal(2, 3);
  Start();
  // A role of its own (the test server's usual role is a superuser, whom no limit binds); the
  // database and the role go before the fixture's clean-up.
  const std::string role = "vanto_enrol_" + std::to_string(::getpid());
  vanto::testing::PgAdmin("CREATE ROLE " + role + " LOGIN CONNECTION LIMIT 2");
  vanto::testing::PgAdmin("ALTER DATABASE " + DbName() + " OWNER TO " + role);
  struct Drop {
    std::string database, role;
    ~Drop() {
      vanto::testing::PgAdmin("DROP DATABASE IF EXISTS " + database + " WITH (FORCE)");
      vanto::testing::PgAdmin("DROP ROLE IF EXISTS " + role);
    }
  } drop{DbName(), role};
  const std::size_t at = url_.find("://") + 3;
  const std::string as_role = url_.substr(0, at) + role + url_.substr(url_.find('@', at));

  db::DatabaseOptions options;
  options.pool_size = 2;
  std::shared_ptr<db::Database> database = db::Database::Open(as_role, options);
  {  // both connections open (and idle): any connection beside them is over the role's limit
    auto swipes = database->Swipes();
    auto feed = database->Feed();
  }
  ASSERT_EQ(database->open_connections(), 2u);
  const host::EnrolmentAuditHook audit = [&](const host::EnrolmentAudit& a) {
    database->Audit({0, "2026-12-09T10:00:00Z", "tester", "test", a.action, a.details});
  };
  std::vector<std::string> failures;
  host::RunReleasingPorts({{1, 1}, {2, 3}}, [&] {
    host::Machine machine = host::Machine::Create();
    for (int p = 1; p <= kPeople; ++p) {
      const host::EnrolmentCopy copy = host::CopyEnrolment(machine, *database, host::SiteChoice{}, p, host::TerminalAt{1, 1}, {{2, 3}}, audit);
      if (!copy.Done())
        failures.push_back("person " + std::to_string(p) + ": " +
                           (copy.writes.empty() ? copy.backup->outcome.message : (copy.writes[0].failure ? copy.writes[0].failure->English() : std::string()) +
                                                                                     copy.writes[0].result.outcome.message));
      if (database->lent_connections() != 0) failures.push_back("person " + std::to_string(p) + ": a connection still lent");
      // A restore of the stored row alone reads it through the pool too.
      const host::EnrolmentResult restored = host::RestoreEnrolment(machine, *database, host::SiteChoice{}, 2, 3, p, std::nullopt, audit);
      if (restored.status != host::EnrolmentResult::Status::kDone)
        failures.push_back("person " + std::to_string(p) + ": restore " + restored.outcome.message);
    }
  });
  EXPECT_EQ(failures, std::vector<std::string>{});
  EXPECT_EQ(database->open_connections(), 2u);
  EXPECT_EQ(database->lent_connections(), 0u);
  auto target = site_.Terminal(2, 3);
  ASSERT_TRUE(target);
  for (int p = 1; p < kPeople; ++p) EXPECT_TRUE(target->persons.count(p) && target->persons.at(p).fingerprints.count(0)) << p;
  EXPECT_TRUE(target->persons.count(kPeople) && target->persons.at(kPeople).password == 2468);
  // Each action left its intent and its outcome (backup and write of each copy, and the restore).
  EXPECT_EQ(vanto::testing::PgAdmin("SELECT count(*) FROM audit WHERE action LIKE '%.done'", DbName()),
            std::to_string(3 * kPeople));
}

// A new, empty database on the server passes check as a database file not written yet does: the
// first sync creates the tables (check itself creates nothing).
TEST_P(PostgresE2E, CheckPassesOnANewEmptyDatabase) {
  site_.AddTerminal(1, 1);
  Start();
  const std::string site = (folder_ / "site.toml").string();
  std::ofstream(site) << "[[port]]\nnumber = 1\ndevice = \"" << paths_.at(1) << "\"\nterminals = [1]\n";
  Result check = Vanto(Db({"check", "--site", site}));
  EXPECT_EQ(check.status, kExitOk) << check.out << check.err;
  EXPECT_NE(check.out.find("holds no tables yet; the first sync creates them"), std::string::npos) << check.out;
  EXPECT_EQ(vanto::testing::PgAdmin("SELECT count(*) FROM pg_catalog.pg_tables WHERE schemaname = 'public'", DbName()), "0");
  // A database holding other tables is no vanto database: still a failure.
  vanto::testing::PgAdmin("CREATE TABLE other (x integer)", DbName());
  Result other = Vanto(Db({"check", "--site", site}));
  EXPECT_EQ(other.status, kExitFalse);
  EXPECT_NE(other.out.find("FAIL  database: "), std::string::npos) << other.out;
}

// The server ends the host's session while a download stores into it: the download still
// stores every swipe (connecting again), and the next one adds nothing.
TEST_P(PostgresE2E, ASessionEndedMidDownloadLosesAndDoublesNothing) {
  auto& t = site_.AddTerminal(1, 1);
  const int total = 3000;
  for (int i = 0; i < total; ++i) t.records.push_back(Swipe(200 + i % 9, 1 + i / 700, 7 + (i % 700) / 60, i % 60));
  site_.Options().pace = true;  // at the line's speed, so the download takes a few seconds
  Start();
  { store::RecordStore(vanto::db::Database::Open(url_)->Swipes()); }  // the schema, so the watcher can count
  std::atomic<bool> done{false};
  std::string killed;
  std::thread killer([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      std::string stored = vanto::testing::PgAdmin("SELECT count(*) FROM swipes", DbName());
      if (!stored.empty() && std::stoi(stored) > 0) {
        killed = vanto::testing::PgAdmin(
            "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE application_name = 'vanto' AND "
            "datname = '" + DbName() + "'");
        return;
      }
      std::this_thread::yield();
    }
  });
  Result run = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  done = true;
  killer.join();
  ASSERT_EQ(run.status, kExitOk) << run.err;
  EXPECT_EQ(killed, "1") << "no session was ended";
  EXPECT_NE(run.out.find("3000 records delivered, 3000 new"), std::string::npos) << run.out;
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(url_)->Swipes()).CountSwipes(), total);
  site_.Stop();
  site_.Options().pace = false;
  Start();
  Result rerun = Vanto(Db({"download", "--port", "1", "--terminal", "1", "--all"}));
  ASSERT_EQ(rerun.status, kExitOk) << rerun.err;
  EXPECT_NE(rerun.out.find("3000 records delivered, 0 new, 3000 already stored"), std::string::npos) << rerun.out;
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(url_)->Swipes()).CountSwipes(), total);
}

// The demo's site database moves into PostgreSQL and back: every swipe and enrolment arrives,
// and copying again adds nothing.
TEST_P(PostgresE2E, TheDemoDatabaseMovesToTheServerAndBack) {
  const std::string demo = (folder_ / "demo.db").string(), back = (folder_ / "back.db").string();
  Result made = Vanto({"demo", "--db", demo});
  ASSERT_EQ(made.status, kExitOk) << made.out << made.err;
  const std::int64_t swipes = store::RecordStore(vanto::db::Database::Open(demo)->Swipes()).CountSwipes();
  ASSERT_GT(swipes, 0);
  for (int run = 0; run < 2; ++run) {
    Result there = Vanto({"db", "copy", "--from", demo, "--to", url_});
    ASSERT_EQ(there.status, kExitOk) << there.err;
    Result home = Vanto({"db", "copy", "--from", url_, "--to", back});
    ASSERT_EQ(home.status, kExitOk) << home.err;
    const std::string added = run == 0 ? std::to_string(swipes) + " new" : "(0 new";
    EXPECT_NE(there.out.find(added), std::string::npos) << there.out;
    EXPECT_NE(home.out.find(added), std::string::npos) << home.out;
  }
  auto a = store::RecordStore(vanto::db::Database::Open(demo)->Swipes()).Swipes(), b = store::RecordStore(vanto::db::Database::Open(back)->Swipes()).Swipes();
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    ASSERT_EQ(std::tie(a[i].port, a[i].terminal, a[i].person, a[i].time, a[i].occurrence),
              std::tie(b[i].port, b[i].terminal, b[i].person, b[i].time, b[i].occurrence)) << i;
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(url_)->Swipes()).CountSwipes(), swipes);
}

// Four vanto processes, one per port of a site, download into one PostgreSQL database at once,
// twice over: every swipe is stored exactly once.
TEST_P(PostgresE2E, FourHostProcessesAtOnceStoreEverySwipeOnce) {
  const int total = 1500;
  for (int port = 1; port <= 4; ++port) {
    auto& t = site_.AddTerminal(port, port);
    for (int i = 0; i < total; ++i) t.records.push_back(Swipe(300 + i % 11, 1 + i / 500, 6 + (i % 500) / 60, i % 60));
  }
  Start();
  for (int round = 0; round < 2; ++round) {
    std::vector<pid_t> children;
    std::vector<std::string> outputs;
    for (int port = 1; port <= 4; ++port) {
      std::string out = (folder_ / ("out" + std::to_string(round) + std::to_string(port))).string();
      outputs.push_back(out);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
      std::vector<std::string> args = {VANTO_EXE, "download", "--port", std::to_string(port), "--terminal",
                                       std::to_string(port), "--quiet", "--all", "--db", url_};
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      pid_t child = 0;
      ASSERT_EQ(posix_spawn(&child, VANTO_EXE, &actions, nullptr, argv.data(), environ), 0);
      posix_spawn_file_actions_destroy(&actions);
      children.push_back(child);
    }
    for (std::size_t i = 0; i < children.size(); ++i) {
      int status = 0;
      ASSERT_EQ(waitpid(children[i], &status, 0), children[i]);
      std::ifstream in(outputs[i]);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
      std::string want = round == 0 ? "1500 records delivered, 1500 new" : "1500 records delivered, 0 new";
      EXPECT_NE(text.find(want), std::string::npos) << text;
    }
  }
  auto store = store::RecordStore(vanto::db::Database::Open(url_)->Swipes());
  EXPECT_EQ(store.CountSwipes(), 4 * total);
  for (int port = 1; port <= 4; ++port) EXPECT_EQ(store.CountSwipes(port, port), total) << port;
}

}  // namespace
}  // namespace vanto::cli::testing
