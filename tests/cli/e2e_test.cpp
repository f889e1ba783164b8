// The host end to end: vanto's subcommands, through the component runtime, the driver, the
// terminal control and a pseudo-terminal or a loopback TCP connection, against the simulator.
#include <sqlite3.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "accounts/accounts_store.h"
#include "host/enrolment.h"
#include "host/db/record_store.h"
#include "host/site_choice.h"
#include "platform/ado/enrolment_schema.h"
#include "tests/cli/sim_fixture.h"
#include "host/db/database.h"

namespace vanto::cli::testing {
namespace {

using terminal::sim::CardRecordFields;

class HostE2E : public SimSite {
 protected:
  void SeedThreeTerminals() {
    auto& one = site_.AddTerminal(1, 1);
    for (int i = 0; i < 300; ++i) one.records.push_back(Swipe(1 + i % 12, 2 + i / 200, 8 + (i % 200) / 60, i % 60));
    one.persons[7].fingerprints[0] = TemplateOf(7);
    one.persons[8].password = 4321;
    site_.AddTerminal(1, 2).records.push_back(Swipe(3, 4, 9, 0));
    site_.AddTerminal(2, 3);
  }
  std::int64_t Stored(int port, int terminal) {
    return store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes(port, terminal);
  }
  // The stored enrolment rows of `person` (everyone's when none), read through a handle.
  ComPtr<RowSet> StoredEnrolments(std::optional<LONG> person) {
    db::DatabaseOptions options;
    options.read_only = true;
    ComPtr<RowSet> rows;
    EXPECT_EQ(db::Database::Open(db_, options)->EnrolmentRows(host::SiteChoice{}, person, std::nullopt, &rows, true), S_OK);
    return rows;
  }
};

TEST_P(HostE2E, ScanListsTheTerminalsByPortThenNumber) {
  SeedThreeTerminals();
  Start();
  Result table = Vanto({"scan", "--ports", "1-2", "--terminals", "1-4"});
  ASSERT_EQ(table.status, kExitOk) << table.err;
  EXPECT_EQ(table.out, "PORT  TERMINAL\n   1         1\n   1         2\n   2         3\n");
  Result json = Vanto({"scan", "--ports", "1-2", "--terminals", "1-4", "--json"});
  ASSERT_EQ(json.status, kExitOk) << json.err;
  EXPECT_EQ(json.out, "[{\"port\":1,\"terminal\":1},{\"port\":1,\"terminal\":2},{\"port\":2,\"terminal\":3}]\n");
  Result none = Vanto({"scan", "--ports", "2", "--terminals", "4-5"});
  EXPECT_EQ(none.status, kExitOk);
  EXPECT_NE(none.out.find("no terminal answered"), std::string::npos);
}

TEST_P(HostE2E, DownloadingTwiceStoresEverySwipeOnce) {
  SeedThreeTerminals();
  Start();
  Result first = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  ASSERT_EQ(first.status, kExitOk) << first.err;
  EXPECT_NE(first.out.find("300 records delivered, 300 new, 0 already stored"), std::string::npos) << first.out;
  Result fresh = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  ASSERT_EQ(fresh.status, kExitOk) << fresh.err;
  EXPECT_NE(fresh.out.find("1 record delivered, 0 new, 1 already stored"), std::string::npos) << fresh.out;
  EXPECT_NE(fresh.out.find("read from record 299"), std::string::npos) << fresh.out;
  Result again = Vanto(Db({"download", "--port", "1", "--terminal", "1", "--csv", "--all"}));
  ASSERT_EQ(again.status, kExitOk) << again.err;
  EXPECT_NE(again.err.find("300 records delivered, 0 new, 300 already stored"), std::string::npos) << again.err;
  EXPECT_EQ(std::count(again.out.begin(), again.out.end(), '\n'), 301);
  EXPECT_EQ(again.out.substr(0, again.out.find('\n')), "port,terminal,person,time,occurrence,new");
  EXPECT_NE(again.out.find("\n1,1,1,2026-11-02 08:00:00,1,false\n"), std::string::npos);
  EXPECT_EQ(Stored(1, 1), 300);
  Result other = Vanto(Db({"download", "--port", "1", "--terminal", "2", "--json"}));
  ASSERT_EQ(other.status, kExitOk) << other.err;
  EXPECT_EQ(other.out,
            "[{\"port\":1,\"terminal\":2,\"person\":3,\"time\":\"2026-11-04 09:00:00\",\"occurrence\":1,"
            "\"new\":true}]\n");
  EXPECT_EQ(Stored(1, 2), 1);
}

TEST_P(HostE2E, TwoSwipesOfOnePersonInOneMinuteStayTwo) {
  auto& t = site_.AddTerminal(1, 1);
  t.records = {Swipe(5, 6, 9, 5), Swipe(6, 6, 9, 5), Swipe(5, 6, 9, 5), Swipe(5, 6, 9, 6)};
  Start();
  for (int run = 0; run < 2; ++run) {
    Result r = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
    ASSERT_EQ(r.status, kExitOk) << r.err;
  }
  auto stored = store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).Swipes(1, 1);
  ASSERT_EQ(stored.size(), 4u);
  int pair = 0;
  for (const auto& s : stored)
    if (s.person == 5 && s.minute == "2026-11-06 09:05") pair += s.occurrence;
  EXPECT_EQ(pair, 1 + 2);
}

TEST_P(HostE2E, AHangUpMidDownloadKeepsWhatCameAndTheNextRunAddsTheRest) {
  auto& t = site_.AddTerminal(1, 1);
  for (int i = 0; i < 2000; ++i) t.records.push_back(Swipe(100 + i % 7, 3 + i / 600, 7 + (i % 600) / 60, i % 60));
  Start();
  terminal::sim::FaultPlan plan;
  plan.hangUpAfterAnswers = 20;
  site_.SetFaults(1, plan);
  setenv(::terminal::control::kBatchVariable, "100", 1);  // twenty answers come well before the end
  std::uint64_t generation = site_.LineGeneration(1);

  Result broken = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  EXPECT_EQ(broken.status, kExitFalse);
  // The host's words, the driver's fixed message after them, marked as the driver's; then the
  // cause: port, device, what failed and how much was stored.
  std::int64_t kept = Stored(1, 1);
  const std::string cause_start =
      "terminal 1 on port 1: the download failed (driver: 编号为1的考勤机不能下载刷卡数据！)\nvanto download: port 1 (" + paths_.at(1) +
                                  "), terminal 1: the line broke: ";
  const std::string cause_end = "; " + std::to_string(kept) + " records delivered, " +
                                std::to_string(kept) + " new stored in " + db_ + "\n";
  EXPECT_EQ(broken.err.substr(0, cause_start.size()), cause_start);
  ASSERT_GE(broken.err.size(), cause_end.size());
  EXPECT_EQ(broken.err.substr(broken.err.size() - cause_end.size()), cause_end);
  EXPECT_GT(kept, 0);
  EXPECT_LT(kept, 2000);

  ASSERT_TRUE(site_.WaitForLineGeneration(1, generation + 1, std::chrono::seconds(10)));
  Result resumed = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  ASSERT_EQ(resumed.status, kExitOk) << resumed.err;
  const std::string rest = std::to_string(2000 - kept);
  EXPECT_NE(resumed.out.find(std::to_string(2000 - kept + 1) + " records delivered, " + rest + " new, 1 already stored"), std::string::npos) << resumed.out;
  EXPECT_NE(resumed.out.find("read from record " + std::to_string(kept - 1)), std::string::npos) << resumed.out;
  EXPECT_EQ(Stored(1, 1), 2000);
}

TEST_P(HostE2E, BackupAndCopyCarryTheTemplateToTheOtherTerminal) {
  SeedThreeTerminals();
  Start();
  Result backup = Vanto(Db({"backup", "--port", "1", "--terminal", "1", "--person", "7"}));
  ASSERT_EQ(backup.status, kExitOk) << backup.err;
  EXPECT_NE(backup.out.find("backed up person 7 from terminal 1 on port 1: fingerprint"), std::string::npos) << backup.out;

  Result copy = Vanto(Db({"copy", "--from-port", "1", "--from-terminal", "1", "--to-port", "2", "--to-terminal", "3",
                          "--person", "7"}));
  ASSERT_EQ(copy.status, kExitOk) << copy.err;
  EXPECT_NE(copy.out.find("restored person 7 to terminal 3 on port 2: fingerprint"), std::string::npos) << copy.out;
  auto target = site_.Terminal(2, 3);
  ASSERT_TRUE(target && target->persons.count(7) && target->persons.at(7).fingerprints.count(0));
  auto expected = TemplateOf(7), got = target->persons.at(7).fingerprints.at(0);
  EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 459, got.begin())) << "template differs";

  // A password enrolment travels the same way.
  Result password = Vanto(Db({"copy", "--from-port", "1", "--from-terminal", "1", "--to-port", "2", "--to-terminal",
                              "3", "--person", "8"}));
  ASSERT_EQ(password.status, kExitOk) << password.err;
  target = site_.Terminal(2, 3);
  ASSERT_TRUE(target && target->persons.count(8));
  EXPECT_EQ(target->persons.at(8).password, 4321);

  // Restoring only reads: a database made read-only still serves it.
  chmod(db_.c_str(), 0444);
  Result readonly = Vanto(Db({"restore", "--port", "1", "--terminal", "2", "--person", "7"}));
  chmod(db_.c_str(), 0644);
  ASSERT_EQ(readonly.status, kExitOk) << readonly.err;
  auto two = site_.Terminal(1, 2);
  ASSERT_TRUE(two && two->persons.count(7) && two->persons.at(7).fingerprints.count(0));
  EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 459, two->persons.at(7).fingerprints.at(0).begin()));
  EXPECT_NE(readonly.err.find("the restore goes unaudited"), std::string::npos) << readonly.err;

  // Each action on a terminal left its intent and its outcome, under the operating-system
  // user's name, from the command line; the restore from the read-only copy none.
  const passwd* pw = getpwuid(geteuid());
  ASSERT_TRUE(pw);
  std::vector<std::string> trail;
  for (const vanto::accounts::AuditEntry& e :
       vanto::db::Database::Open(db_)->Accounts()->AuditTrail(100, std::nullopt)) {
    EXPECT_EQ(e.actor, pw->pw_name) << e.action;
    EXPECT_EQ(e.origin, "command line") << e.action;
    trail.insert(trail.begin(), e.action + ": " + e.details);
  }
  const std::vector<std::string> audited = {
      "enrolment.backup: person 7 from port 1 terminal 1",
      "enrolment.backup.done: person 7 from port 1 terminal 1; fingerprint",
      "enrolment.backup: person 7 from port 1 terminal 1",
      "enrolment.backup.done: person 7 from port 1 terminal 1; fingerprint",
      "enrolment.write: person 7 to port 2 terminal 3 (fingerprint)",
      "enrolment.write.done: person 7 to port 2 terminal 3 (fingerprint); fingerprint",
      "enrolment.backup: person 8 from port 1 terminal 1",
      "enrolment.backup.done: person 8 from port 1 terminal 1; password",
      "enrolment.write: person 8 to port 2 terminal 3 (password)",
      "enrolment.write.done: person 8 to port 2 terminal 3 (password); password",
  };
  EXPECT_EQ(trail, audited);
}

TEST_P(HostE2E, AFingerprintAndAPasswordOfOnePersonStaySideBySide) {
  SeedThreeTerminals();
  // Person 7: a fingerprint on terminal 1 (seeded), only a password on terminal 2.
  site_.AddTerminal(1, 2).persons[7].password = 2468;
  Start();
  Result fingerprint = Vanto(Db({"backup", "--port", "1", "--terminal", "1", "--person", "7"}));
  ASSERT_EQ(fingerprint.status, kExitOk) << fingerprint.err;
  Result password = Vanto(Db({"backup", "--port", "1", "--terminal", "2", "--person", "7"}));
  ASSERT_EQ(password.status, kExitOk) << password.err;
  EXPECT_NE(password.out.find(": password"), std::string::npos) << password.out;
  // Both rows stored; a second backup of a kind replaces its row only.
  ASSERT_EQ(Vanto(Db({"backup", "--port", "1", "--terminal", "2", "--person", "7"})).status, kExitOk);
  {
    ComPtr<RowSet> rows = StoredEnrolments(7);
    std::vector<EnrolmentRow> stored;
    ASSERT_EQ(ReadEnrolmentRows(rows.Get(), &stored), S_OK);
    ASSERT_EQ(stored.size(), 2u);
    std::map<LONG, EnrolmentRow> by_kind;
    for (const auto& r : stored) by_kind[r.enrolmentNumber.value_or(-1)] = r;
    ASSERT_EQ(by_kind.count(0), 1u);
    ASSERT_EQ(by_kind.count(10), 1u);
    EXPECT_EQ(by_kind[10].password, 2468);
    EXPECT_EQ(by_kind[0].machineNumber, 1);
    EXPECT_FALSE(by_kind[0].fingerprint.value_or(std::vector<BYTE>{}).empty());
  }
  // restore writes the fingerprint when one is stored; --password the password.
  Result restored = Vanto(Db({"restore", "--port", "2", "--terminal", "3", "--person", "7"}));
  ASSERT_EQ(restored.status, kExitOk) << restored.err;
  EXPECT_NE(restored.out.find(": fingerprint"), std::string::npos) << restored.out;
  auto three = site_.Terminal(2, 3);
  ASSERT_TRUE(three && three->persons.count(7));
  EXPECT_TRUE(three->persons.at(7).fingerprints.count(0));
  Result by_password = Vanto(Db({"restore", "--port", "2", "--terminal", "3", "--person", "7", "--password"}));
  ASSERT_EQ(by_password.status, kExitOk) << by_password.err;
  EXPECT_EQ(site_.Terminal(2, 3)->persons.at(7).password, 2468);
  // A copy writes the kind the first terminal gave, though a fingerprint is stored too.
  site_.EditTerminal(2, 3, [](terminal::sim::SimTerminal& t) { t.persons.erase(7); });
  Result copy = Vanto(Db({"copy", "--from-port", "1", "--from-terminal", "2", "--to-port", "2", "--to-terminal", "3",
                          "--person", "7"}));
  ASSERT_EQ(copy.status, kExitOk) << copy.err;
  EXPECT_NE(copy.out.find("restored person 7 to terminal 3 on port 2: password"), std::string::npos) << copy.out;
  EXPECT_EQ(site_.Terminal(2, 3)->persons.at(7).password, 2468);
  EXPECT_FALSE(site_.Terminal(2, 3)->persons.at(7).fingerprints.count(0));
  // --password with no password stored: refused, nothing written.
  Result none = Vanto(Db({"restore", "--port", "2", "--terminal", "3", "--person", "8", "--password"}));
  EXPECT_EQ(none.status, kExitFalse);
  EXPECT_NE(none.err.find("no password of person 8 is stored"), std::string::npos) << none.err;
}

TEST_P(HostE2E, AnOlderEnrolmentTableKeepsEveryRow) {
  SeedThreeTerminals();
  Start();
  // A table as older hosts left it: one row per person, of whichever kind the last backup gave.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           VANTO_ENROLMENT_SQLITE_SQL
                           "INSERT INTO enrolment VALUES (7, 10, 2, 1111, x'');"
                           "INSERT INTO enrolment VALUES (9, 0, 1, NULL, x'0102');"
                           "INSERT INTO enrolment VALUES (9, 0, 2, NULL, x'0304');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  // A fingerprint backup of person 7 adds the fingerprint row beside the stored password.
  Result backup = Vanto(Db({"backup", "--port", "1", "--terminal", "1", "--person", "7"}));
  ASSERT_EQ(backup.status, kExitOk) << backup.err;
  ComPtr<RowSet> rows = StoredEnrolments(std::nullopt);
  std::vector<EnrolmentRow> stored;
  ASSERT_EQ(ReadEnrolmentRows(rows.Get(), &stored), S_OK);
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(stored[0].password, 1111);
  EXPECT_EQ(stored[1].fingerprint, (std::vector<BYTE>{1, 2}));
  EXPECT_EQ(stored[2].fingerprint, (std::vector<BYTE>{3, 4}));
  EXPECT_EQ(stored[3].personNumber, 7);
  EXPECT_EQ(stored[3].enrolmentNumber, 0);
}

TEST_P(HostE2E, RefusalsExitOneWithAMessage) {
  SeedThreeTerminals();
  Start();
  // Nobody enrolled as 99: the terminal refuses both reads; nothing is stored.
  Result none = Vanto(Db({"backup", "--port", "1", "--terminal", "1", "--person", "99"}));
  EXPECT_EQ(none.status, kExitFalse);
  EXPECT_EQ(none.err, "terminal 1 on port 1 holds no enrolment of person 99\n");
  Result restore = Vanto(Db({"restore", "--port", "2", "--terminal", "3", "--person", "99"}));
  EXPECT_EQ(restore.status, kExitFalse);
  EXPECT_NE(restore.err.find("no enrolment of person 99 is stored"), std::string::npos) << restore.err;
  // A terminal that is not there.
  ASSERT_EQ(Vanto(Db({"backup", "--port", "1", "--terminal", "1", "--person", "7"})).status, kExitOk);
  Result absent = Vanto(Db({"restore", "--port", "2", "--terminal", "9", "--person", "7"}));
  EXPECT_EQ(absent.status, kExitFalse);
  EXPECT_EQ(absent.err, "terminal 9 on port 2 does not answer\n");
}

TEST_P(HostE2E, UnusableDatabasesWriteNothing) {
  SeedThreeTerminals();
  Start();
  // restore never creates a database.
  Result missing = Vanto(Db({"restore", "--port", "2", "--terminal", "3", "--person", "7"}));
  EXPECT_EQ(missing.status, kExitHost);
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(db_));
  // A first download from a terminal that does not answer stores nothing, so it makes no file.
  EXPECT_NE(Vanto(Db({"download", "--port", "2", "--terminal", "9"})).status, kExitOk);
  EXPECT_FALSE(std::filesystem::exists(db_));

  ASSERT_EQ(Vanto(Db({"download", "--port", "1", "--terminal", "2"})).status, kExitOk);
  // Locked by another process for longer than the wait: a clear error, no swipe stored.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  Result locked = Vanto(Db({"download", "--port", "1", "--terminal", "1", "--lock-timeout", "0.1"}));
  EXPECT_EQ(locked.status, kExitHost);
  EXPECT_NE(locked.err.find("locked by another process"), std::string::npos) << locked.err;
  EXPECT_EQ(std::count(locked.err.begin(), locked.err.end(), '\n'), 1) << locked.err;
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(Stored(1, 1), 0);

  chmod(db_.c_str(), 0444);
  Result readonly = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  EXPECT_EQ(readonly.status, kExitHost);
  EXPECT_NE(readonly.err.find("read-only"), std::string::npos) << readonly.err;
  chmod(db_.c_str(), 0644);
  EXPECT_EQ(Stored(1, 1), 0);
}

TEST_P(HostE2E, ADatabaseLockedLongerThanTheWaitStopsEveryCommandAlike) {
  SeedThreeTerminals();
  Start();
  ASSERT_EQ(Vanto(Db({"download", "--port", "1", "--terminal", "2"})).status, kExitOk);
  auto rows = [&](const char* table) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    std::int64_t n = -1;
    if (sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW)
      n = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    sqlite3_close(db);
    return n;
  };
  const std::int64_t audit_before = rows("audit"), swipes_before = rows("swipes");
  // Another process writes and does not let go within the wait.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const std::vector<std::vector<std::string>> commands = {
      {"download", "--port", "1", "--terminal", "1"},
      {"clear", "--port", "1", "--terminal", "1", "--yes"},
      {"backup", "--port", "1", "--terminal", "1", "--person", "7"},
      {"token", "add", "payroll", "--scope", "swipes:read"},
  };
  for (std::vector<std::string> args : commands) {
    const std::string name = args[0];
    args.insert(args.end(), {"--lock-timeout", "0.1"});
    Result locked = Vanto(Db(args));
    EXPECT_EQ(locked.status, kExitHost) << name << ": " << locked.err;
    EXPECT_NE(locked.err.find("locked by another process"), std::string::npos) << name << ": " << locked.err;
    EXPECT_EQ(std::count(locked.err.begin(), locked.err.end(), '\n'), 1) << name << ": " << locked.err;
  }
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  // Nothing of any of them was stored, and the terminal kept its records.
  EXPECT_EQ(rows("swipes"), swipes_before);
  EXPECT_EQ(rows("audit"), audit_before);
  EXPECT_EQ(rows("api_tokens"), 0);
  EXPECT_EQ(Stored(1, 1), 0);
  EXPECT_EQ(Vanto(Db({"download", "--port", "1", "--terminal", "1"})).status, kExitOk);
  EXPECT_EQ(Stored(1, 1), 300);
}

TEST_P(HostE2E, TheDemoShowsTheSiteTheRecordsAndTheCopiedEnrolment) {
  // The demo runs a site of its own; this fixture only gives it a registry of its own.
  Result demo = Vanto(Tcp() ? std::vector<std::string>{"demo", "--tcp"} : std::vector<std::string>{"demo"});
  ASSERT_EQ(demo.status, kExitOk) << demo.out << demo.err;
  for (const char* line : {"PORT  TERMINAL\n   1         1\n   1         2\n   2         3\n",
                           "terminal 1 on port 1: 1500 records delivered, 1500 new",
                           "terminal 1 on port 1: 1500 records delivered, 0 new, 1500 already stored",
                           "backed up person 109 from terminal 2 on port 1: password",
                           "restored person 101 to terminal 3 on port 2: fingerprint",
                           "person 101's fingerprint there equals the one on terminal 1",
                           "The database holds 3200 swipes (", "kept) and 2 enrolments."})
    EXPECT_NE(demo.out.find(line), std::string::npos) << line << "\n" << demo.out;
}

VANTO_OVER_BOTH_TRANSPORTS(HostE2E);

}  // namespace
}  // namespace vanto::cli::testing
