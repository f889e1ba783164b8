// Incremental, loss-proof downloads end to end: only new records are read, a terminal is known
// by its identity wherever it is, a record the driver cannot convert is quarantined and the
// records after it flow on, and the terminal is cleared only when everything is stored.
#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

#include "accounts/accounts.h"
#include "cli/command_support.h"
#include "host/clear.h"
#include "host/machine.h"
#include "host/db/record_store.h"
#include "host/terminal_sync.h"
#include "host/db/schema.h"
#include "tests/cli/sim_fixture.h"
#include "host/db/database.h"

namespace vanto::cli::testing {
namespace {

using terminal::sim::CardRecordFields;
using terminal::sim::DefaultIdentity;

// Swipes at one a minute from a day in November 2026, persons cycling through 11.
std::vector<CardRecordFields> Swipes(int count, int first = 0) {
  std::vector<CardRecordFields> out;
  for (int i = first; i < first + count; ++i)
    out.push_back({100 + i % 11, 2026, 11, 1 + i / 1440, (i % 1440) / 60, i % 60});
  return out;
}

class Incremental : public SimSite {
 protected:
  terminal::sim::SimTerminal& Terminal(int port, int address, int count) {
    auto& t = site_.AddTerminal(port, address);
    t.records = Swipes(count);
    return t;
  }
  Result Download(int port, int terminal, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"download", "--port", std::to_string(port), "--terminal", std::to_string(terminal)};
    args.insert(args.end(), more.begin(), more.end());
    return Vanto(Db(args));
  }
  std::int64_t Count(const char* sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    std::int64_t n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
  }
  // The database holds exactly the terminal's records of its current log (by index), except the
  // indexes in `rejected`, and nothing else of that log.
  void ExpectExactly(int port, int address, std::set<std::uint32_t> rejected = {}) {
    const auto t = site_.Terminal(port, address);
    ASSERT_TRUE(t);
    std::map<std::uint32_t, std::pair<int, std::string>> got;
    for (const auto& s : store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).Swipes()) {
      if (s.identity != t->identity || s.generation != t->generation) continue;
      ASSERT_TRUE(s.index);
      EXPECT_TRUE(got.emplace(*s.index, std::make_pair(s.person, s.time)).second) << "index " << *s.index << " twice";
    }
    std::map<std::uint32_t, std::pair<int, std::string>> want;
    for (std::uint32_t i = 0; i < t->records.size(); ++i)
      if (!rejected.contains(i)) want[i] = {t->records[i].person, TimeText(t->records[i])};
    EXPECT_EQ(got, want);
  }
};

TEST_P(Incremental, ReadsOnlyTheNewRecordsAndStoresEachOnce) {
  Terminal(1, 1, 1000);
  Start();
  Result first = Download(1, 1);
  ASSERT_EQ(first.status, kExitOk) << first.err;
  EXPECT_NE(first.out.find("1000 records delivered, 1000 new"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("read them all: the database holds no record"), std::string::npos) << first.out;
  site_.EditTerminal(1, 1, [](auto& t) {
    auto more = Swipes(100, 1000);
    t.records.insert(t.records.end(), more.begin(), more.end());
  });
  const auto before = site_.Stats(1).requests;
  Result next = Download(1, 1);
  ASSERT_EQ(next.status, kExitOk) << next.err;
  EXPECT_NE(next.out.find("101 records delivered, 100 new, 1 already stored"), std::string::npos) << next.out;
  // The last record stored is read again and compared, so a log that is not the stored one shows.
  EXPECT_NE(next.out.find("read from record 999"), std::string::npos) << next.out;
  EXPECT_LE(site_.Stats(1).requests - before, 6u) << "info, begin and two batches (a retry at most)";
  Result all = Download(1, 1, {"--all"});
  ASSERT_EQ(all.status, kExitOk) << all.err;
  EXPECT_NE(all.out.find("1100 records delivered, 0 new, 1100 already stored"), std::string::npos) << all.out;
  ExpectExactly(1, 1);
}

TEST_P(Incremental, AReplacedTerminalClearedRecordsAndALostDatabaseAreReadInFull) {
  Terminal(1, 1, 300);
  Start();
  ASSERT_EQ(Download(1, 1).status, kExitOk);

  // Another terminal with the same address: its own records, all read.
  site_.EditTerminal(1, 1, [](auto& t) {
    t.identity = 77;
    t.records = Swipes(200, 5000);
  });
  Result replaced = Download(1, 1);
  ASSERT_EQ(replaced.status, kExitOk) << replaced.err;
  EXPECT_NE(replaced.out.find("200 records delivered, 200 new"), std::string::npos) << replaced.out;
  ExpectExactly(1, 1);

  // Records cleared on the terminal: a new generation, read from its start.
  site_.EditTerminal(1, 1, [](auto& t) {
    t.ClearRecords();
    t.records = Swipes(50, 9000);
  });
  Result cleared = Download(1, 1);
  ASSERT_EQ(cleared.status, kExitOk) << cleared.err;
  EXPECT_NE(cleared.out.find("50 records delivered, 50 new"), std::string::npos) << cleared.out;
  ExpectExactly(1, 1);
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes(), 550);

  // Rows lost from the database (or the database gone): read everything again.
  ASSERT_EQ(Count("SELECT count(*) FROM swipes"), 550);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DELETE FROM swipes WHERE record_index = 10 AND identity = 77", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  Result gap = Download(1, 1);
  ASSERT_EQ(gap.status, kExitOk) << gap.err;
  EXPECT_NE(gap.out.find("50 records delivered, 1 new"), std::string::npos) << gap.out;
  EXPECT_NE(gap.out.find("the database misses 1 of the first 50"), std::string::npos) << gap.out;
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db_ + suffix);
  Result lost = Download(1, 1);
  ASSERT_EQ(lost.status, kExitOk) << lost.err;
  EXPECT_NE(lost.out.find("50 records delivered, 50 new"), std::string::npos) << lost.out;
  ExpectExactly(1, 1);

  // A terminal that now holds fewer records than the log stored says it had: read in full.
  site_.EditTerminal(1, 1, [](auto& t) { t.records.resize(20); });
  Result fewer = Download(1, 1);
  ASSERT_EQ(fewer.status, kExitOk) << fewer.err;
  EXPECT_NE(fewer.out.find("fewer than the 50 stored"), std::string::npos) << fewer.out;
}

TEST_P(Incremental, AVersion1TerminalIsReadInFullAndKeyedAsBefore) {
  Terminal(1, 2, 300).version = 1;
  Start();
  for (int run = 0; run < 2; ++run) {
    Result r = Download(1, 2);
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_NE(r.out.find(run ? "300 records delivered, 0 new" : "300 records delivered, 300 new"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("serial"), std::string::npos) << r.out;
  }
  EXPECT_EQ(Count("SELECT count(*) FROM swipes WHERE identity IS NULL AND port = 1 AND terminal = 2"), 300);
  Result clear = Vanto(Db({"clear", "--port", "1", "--terminal", "2", "--yes"}));
  EXPECT_EQ(clear.status, kExitFalse);
  EXPECT_NE(clear.err.find("protocol version 1"), std::string::npos) << clear.err;
  EXPECT_EQ(site_.Terminal(1, 2)->records.size(), 300u);
}

TEST_P(Incremental, AVersion1TerminalGoesOnPastARecordItCannotConvertToo) {
  auto& t = Terminal(1, 3, 100);
  t.version = 1;
  t.records[50].minute = 60;
  Start();
  for (int run = 0; run < 2; ++run) {
    Result r = Download(1, 3);
    EXPECT_EQ(r.status, kExitFalse) << r.err;
    EXPECT_NE(r.out.find(run ? "99 records delivered, 0 new" : "99 records delivered, 99 new"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find(run ? "1 record quarantined (0 new)" : "1 record quarantined (1 new)"), std::string::npos)
        << r.err;
  }
  EXPECT_EQ(Count("SELECT count(*) FROM swipes WHERE identity IS NULL AND port = 1 AND terminal = 3"), 99);
  const auto rejected = store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).Rejected();
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_FALSE(rejected[0].log);
  EXPECT_EQ(rejected[0].index, 50u);
  EXPECT_EQ(rejected[0].reason, "minute 60");
}

TEST_P(Incremental, ATerminalMovedToAnotherPortStoresNothingTwice) {
  Terminal(1, 1, 400);
  Start();
  ASSERT_EQ(Download(1, 1).status, kExitOk);
  site_.Stop();
  auto moved = *site_.Terminal(1, 1);
  site_.EditTerminal(1, 1, [](auto& t) { t.silent = true; });
  auto& there = site_.AddTerminal(2, 9);
  there = moved;
  there.address = 9;
  there.records.push_back({555, 2026, 12, 1, 8, 0});
  Start();
  Result r = Download(2, 9);
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.out.find("2 records delivered, 1 new, 1 already stored"), std::string::npos) << r.out;
  Result all = Download(2, 9, {"--all"});
  ASSERT_EQ(all.status, kExitOk) << all.err;
  EXPECT_NE(all.out.find("401 records delivered, 0 new"), std::string::npos) << all.out;
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes(), 401);
  ExpectExactly(2, 9);
}

TEST_P(Incremental, AnImpossibleDateIsQuarantinedAndLaterSwipesKeepFlowing) {
  auto& t = Terminal(1, 1, 3000);
  t.records[1234].month = 13;
  Start();
  Result r = Download(1, 1);
  EXPECT_EQ(r.status, kExitFalse);
  EXPECT_NE(r.out.find("2999 records delivered, 2999 new"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("1 record quarantined (1 new)"), std::string::npos) << r.err;
  ExpectExactly(1, 1, {1234});

  site_.EditTerminal(1, 1, [](auto& t) {
    auto more = Swipes(10, 3000);
    t.records.insert(t.records.end(), more.begin(), more.end());
  });
  Result later = Download(1, 1);
  ASSERT_EQ(later.status, kExitOk) << later.err;
  EXPECT_NE(later.out.find("11 records delivered, 10 new, 1 already stored"), std::string::npos) << later.out;
  EXPECT_NE(later.out.find("read from record 2999"), std::string::npos) << later.out;
  ExpectExactly(1, 1, {1234});

  // Read in full again, it meets the record again and keeps it once.
  Result all = Download(1, 1, {"--all"});
  EXPECT_EQ(all.status, kExitFalse);
  EXPECT_NE(all.err.find("1 record quarantined (0 new)"), std::string::npos) << all.err;
  EXPECT_EQ(Count("SELECT count(*) FROM rejected_records"), 1);

  Result table = Vanto(Db({"rejected"}));
  ASSERT_EQ(table.status, kExitOk) << table.err;
  EXPECT_NE(table.out.find("REASON"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("month 13"), std::string::npos) << table.out;
  const auto held = site_.Terminal(1, 1)->records[1234];
  Result csv = Vanto(Db({"rejected", "--csv"}));
  ASSERT_EQ(csv.status, kExitOk);
  const std::string row = "1,1," + std::to_string(DefaultIdentity(1, 1)) + ",1,1234," + std::to_string(held.person) +
                          ",2026,13," + std::to_string(held.day) + "," + std::to_string(held.hour) + "," +
                          std::to_string(held.minute) + ",month 13,";
  EXPECT_NE(csv.out.find(row), std::string::npos) << csv.out;
  Result json = Vanto(Db({"rejected", "--json"}));
  ASSERT_EQ(json.status, kExitOk);
  EXPECT_NE(json.out.find("\"index\": 1234"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"reason\": \"month 13\""), std::string::npos) << json.out;
}

TEST_P(Incremental, ImpossibleFieldsOfEveryKindAreQuarantined) {
  auto& t = Terminal(1, 1, 40);
  const std::pair<std::size_t, CardRecordFields> bad[] = {
      {3, {1, 2026, 2, 30, 8, 0}},  {7, {1, 2026, 11, 32, 8, 0}}, {11, {1, 2026, 11, 1, 24, 0}},
      {15, {1, 2026, 11, 1, 8, 60}}, {19, {1, -1, 11, 1, 8, 0}},   {23, {1, 10000, 11, 1, 8, 0}},
      {24, {1, 2026, 0, 1, 8, 0}}};
  for (const auto& [index, fields] : bad) t.records[index] = fields;
  Start();
  Result r = Download(1, 1);
  EXPECT_EQ(r.status, kExitFalse);
  EXPECT_NE(r.err.find("7 records quarantined"), std::string::npos) << r.err;
  std::set<std::uint32_t> rejected;
  for (const auto& [index, fields] : bad) rejected.insert(static_cast<std::uint32_t>(index));
  ExpectExactly(1, 1, rejected);
  std::vector<std::string> reasons;
  for (const auto& rec : store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).Rejected()) reasons.push_back(rec.reason);
  std::sort(reasons.begin(), reasons.end());
  EXPECT_EQ(reasons, (std::vector<std::string>{"day 30 in month 2 of 2026", "day 32 in month 11 of 2026", "hour 24",
                                               "minute 60", "month 0", "year -1", "year 10000"}));
}

TEST_P(Incremental, AnEarlyLastBatchIsAnErrorNeverSuccess) {
  Terminal(1, 1, 3018).earlyLast = 800;
  Start();
  Result r = Download(1, 1);
  EXPECT_EQ(r.status, kExitFalse);
  EXPECT_EQ(r.err.find("quarantined"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("编号为1的考勤机不能下载刷卡数据"), std::string::npos) << r.err;
  EXPECT_LE(store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes(), 800);
  // Mended, the next download reads on where the stored records end.
  site_.EditTerminal(1, 1, [](auto& t) { t.earlyLast = 0; });
  Result mended = Download(1, 1);
  ASSERT_EQ(mended.status, kExitOk) << mended.err;
  ExpectExactly(1, 1);
}

TEST_P(Incremental, ClearNeedsEveryRecordStoredAndAConfirmation) {
  auto& t = Terminal(1, 1, 500);
  t.records[100].hour = 25;
  t.recordCapacity = 550;
  Start();
  Result unconfirmed = Vanto(Db({"clear", "--port", "1", "--terminal", "1"}));
  EXPECT_EQ(unconfirmed.status, kExitUsage);
  EXPECT_EQ(site_.Terminal(1, 1)->records.size(), 500u);

  // A terminal that lies about its count cannot be read completely: nothing is cleared.
  site_.EditTerminal(1, 1, [](auto& t) { t.claimHeld = 600; });
  Result lying = Vanto(Db({"clear", "--port", "1", "--terminal", "1", "--yes"}));
  EXPECT_EQ(lying.status, kExitFalse);
  EXPECT_EQ(site_.Terminal(1, 1)->records.size(), 500u);
  site_.EditTerminal(1, 1, [](auto& t) { t.claimHeld = -1; });

  Result clear = Vanto(Db({"clear", "--port", "1", "--terminal", "1", "--yes"}));
  EXPECT_EQ(clear.status, kExitOk) << clear.err;
  EXPECT_NE(clear.err.find("holds 500 of 550 records (90 %)"), std::string::npos) << clear.err;
  EXPECT_NE(clear.out.find("cleared 500 records"), std::string::npos) << clear.out;
  EXPECT_TRUE(site_.Terminal(1, 1)->records.empty());
  EXPECT_EQ(site_.Terminal(1, 1)->generation, 2u);
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes(), 499);
  EXPECT_EQ(Count("SELECT count(*) FROM rejected_records"), 1);
  // Audited under this user's name: the intent before, the outcome after.
  {
    accounts::Accounts a(vanto::db::Database::Open(db_)->Accounts());
    auto trail = a.AuditTrail(10);
    ASSERT_EQ(trail.size(), 2u);
    EXPECT_EQ(trail[1].action, "terminal.clear");
    EXPECT_EQ(trail[0].action, "terminal.clear.done");
    EXPECT_NE(trail[0].details.find("port 1 terminal 1; log generation 1, 500 records held; generation now 2"),
              std::string::npos)
        << trail[0].details;
    for (const auto& e : trail) {
      EXPECT_EQ(e.actor, OsUser());
      EXPECT_EQ(e.origin, "command line");
    }
  }
  site_.EditTerminal(1, 1, [](auto& t) { t.records = Swipes(5, 20000); });
  Result after = Download(1, 1);
  ASSERT_EQ(after.status, kExitOk) << after.err;
  EXPECT_NE(after.out.find("5 records delivered, 5 new"), std::string::npos) << after.out;
}

TEST(ClearText, MissingRangesAreShownUpToTheLimitThenCounted) {
  struct Case {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> missing;
    std::size_t limit;
    std::string text;
  } cases[] = {
      {{}, 20, ""},
      {{{3, 3}}, 20, "3"},
      {{{0, 0}, {7, 9}, {12, 12}}, 20, "0, 7-9, 12"},
      {{{0, 0}, {7, 9}, {12, 12}}, 2, "0, 7-9 (+1)"},
      {{{5, 6}}, 0, " (+1)"},
  };
  for (const Case& c : cases) {
    host::ClearResult r;
    r.missing = c.missing;
    EXPECT_EQ(host::MissingText(r, c.limit), c.text) << c.text;
  }
}

// Every outcome of the host's clear with its audit rows: the intent always first, and a refused
// intent clears nothing.
TEST_P(Incremental, EveryClearOutcomeIsAuditedAndAnUnauditedClearClearsNothing) {
  Terminal(1, 1, 40);
  site_.AddTerminal(1, 2).silent = true;
  Start();
  using S = host::ClearResult::Status;
  struct Case {
    const char* name;
    int terminal;
    bool download;      // the database is filled first
    std::size_t lose;   // clear answers the terminal loses
    bool intent_fails;  // the audit trail refuses the intent
    S status;
    std::vector<std::string> actions;
  } cases[] = {
      {"complete", 1, true, 0, false, S::kCleared, {"terminal.clear", "terminal.clear.done"}},
      {"incomplete", 1, false, 0, false, S::kIncomplete, {"terminal.clear", "terminal.clear.incomplete"}},
      {"answer lost, cleared", 1, true, 1, false, S::kCleared, {"terminal.clear", "terminal.clear.done"}},
      {"silent", 2, false, 0, false, S::kTerminalFailed, {"terminal.clear", "terminal.clear.failed"}},
      {"intent refused", 1, true, 0, true, S::kNotAudited, {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    site_.EditTerminal(1, 1, [&](auto& t) {
      t.records = Swipes(40);
      t.generation = 1;
      t.loseClearAnswers = c.lose;
    });
    const std::string db = (folder_ / ("case" + std::to_string(++n) + ".db")).string();
    std::vector<host::ClearAudit> rows;
    host::ClearResult r;
    std::string failure;
    std::thread run([&] {  // a thread of its own, as each command runs
      try {
        store::RecordStore store = store::RecordStore(vanto::db::Database::Open(db)->Swipes());
        host::Machine machine = host::Machine::Create();
        host::HostControl control = host::HostControl::Create();
        if (c.download) host::SyncTerminal(store, machine, control, 1, c.terminal, {});
        r = host::ClearIfComplete(store, control, 1, c.terminal, [&](const host::ClearAudit& a) {
          if (c.intent_fails) throw std::runtime_error("the trail is read-only");
          rows.push_back(a);
        });
      } catch (const std::exception& e) {
        failure = e.what();
      }
    });
    run.join();
    ASSERT_EQ(failure, "");
    EXPECT_EQ(r.status, c.status);
    EXPECT_FALSE(r.clear_sent);
    std::vector<std::string> actions;
    for (const auto& a : rows) {
      actions.push_back(a.action);
      EXPECT_EQ(a.terminal, c.terminal);
      EXPECT_NE(a.details.find("port 1 terminal " + std::to_string(c.terminal)), std::string::npos) << a.details;
    }
    EXPECT_EQ(actions, c.actions);
    if (!rows.empty()) {
      EXPECT_EQ(rows[0].stage, host::ClearAudit::Stage::kIntent);
    }
    const bool cleared = c.status == S::kCleared;
    EXPECT_EQ(site_.Terminal(1, 1)->records.empty(), cleared && c.terminal == 1);
    EXPECT_EQ(site_.Terminal(1, 1)->generation, cleared ? 2u : 1u);
  }
}

TEST_P(Incremental, ADatabaseFromBeforeIdentitiesKeepsEveryRowAndGetsThemAttached) {
  Terminal(1, 1, 600);
  Start();
  // The layout hosts wrote before terminals told their identity, holding the first 400 swipes.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    std::string sql =
        "BEGIN; CREATE TABLE swipes (port INTEGER NOT NULL, terminal INTEGER NOT NULL, person INTEGER NOT NULL, "
        "minute TEXT NOT NULL, occurrence INTEGER NOT NULL, swipe_time TEXT NOT NULL, downloaded_at TEXT NOT NULL, "
        "PRIMARY KEY (port, terminal, person, minute, occurrence)) WITHOUT ROWID;";
    for (const auto& r : Swipes(400)) {
      const std::string time = TimeText(r);
      sql += "INSERT INTO swipes VALUES (1, 1, " + std::to_string(r.person) + ", '" + time.substr(0, 16) + "', 1, '" +
             time + "', '2026-01-01T00:00:00Z');";
    }
    sql += "INSERT INTO swipes VALUES (3, 3, 1, '2020-01-01 00:00', 1, '2020-01-01 00:00:00', '2020-01-01T00:00:00Z'); COMMIT;";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  Result r = Download(1, 1);
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.out.find("600 records delivered, 200 new, 400 already stored"), std::string::npos) << r.out;
  EXPECT_EQ(Count("SELECT count(*) FROM swipes"), 601) << "every old row kept, nothing twice";
  EXPECT_EQ(Count("SELECT count(*) FROM swipes WHERE identity IS NULL"), 1) << "only the other terminal's row";
  EXPECT_EQ(Count("SELECT max(version) FROM schema_version"), store::LatestSchemaVersion());
  ExpectExactly(1, 1);
  Result next = Download(1, 1);
  ASSERT_EQ(next.status, kExitOk) << next.err;
  EXPECT_NE(next.out.find("1 record delivered, 0 new, 1 already stored"), std::string::npos) << next.out;
}

VANTO_OVER_BOTH_TRANSPORTS(Incremental);

}  // namespace
}  // namespace vanto::cli::testing
