// `vanto db copy`: a site's SQLite database into PostgreSQL and back again, every swipe,
// enrolment and person arriving once however often it runs (a person's name from the source); a server that cannot be reached or a text
// that is no URL is a one-line error with exit status 3 (2 for a usage mistake).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "accounts/accounts_store.h"
#include "accounts/api_tokens.h"
#include "cli/cli.h"
#include "host/db_copy.h"
#include "host/enrolment.h"
#include "host/db/attendance_rows.h"
#include "host/db/sites.h"
#include "host/db/push_store.h"
#include "host/db/record_store.h"
#include "host/db/schema.h"
#include "host/db/swipe_feed.h"
#include "host/db/sync_runs.h"
#include "host/db/table_rows.h"
#include "host/push/push.h"
#include "host/site_choice.h"
#include "platform/ado/enrolment.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"
#include "tests/support/pg_server.h"
#include "host/db/database.h"

namespace vanto::cli {
namespace {

// A copy's settings as the command makes them: the source's handle only reads, the destination's
// notes the schema it found.
host::DbCopySettings Between(const std::string& from, const std::string& to) {
  host::DbCopySettings settings;
  settings.from = vanto::db::Database::Open(from, {.create = false, .read_only = true});
  settings.to = vanto::db::Database::Open(to, {.note_schema_found = true});
  return settings;
}

struct Result {
  int status;
  std::string out, err;
};

Result Vanto(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  Io io{out, err, false};
  int status = RunVanto(args, io);
  return {status, out.str(), err.str()};
}

DATE At(int minutes) { return 46332.0 + minutes / 1440.0; }

// Everyone's enrolment rows at `location`, through a handle of its own: read as they are, or
// (`for_reading` false) to add rows to.
ComPtr<RowSet> EnrolmentRowsAt(const std::string& location, bool for_reading) {
  db::DatabaseOptions options;
  options.create = !for_reading;
  options.read_only = for_reading;
  ComPtr<RowSet> rows;
  EXPECT_EQ(db::Database::Open(location, options)->EnrolmentRows(host::SiteChoice{}, std::nullopt, std::nullopt, &rows, for_reading), S_OK)
      << ToUtf8(TakeErrorDescription(E_FAIL));
  return rows;
}

std::vector<EnrolmentRow> Enrolments(const std::string& location) {
  ComPtr<RowSet> rows = EnrolmentRowsAt(location, /*for_reading=*/true);
  std::vector<EnrolmentRow> all;
  EXPECT_EQ(ReadEnrolmentRows(rows.Get(), &all), S_OK);
  return all;
}

class DbCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vanto-dbcopy-XXXXXX";
    folder_ = mkdtemp(pattern);
    site_ = (folder_ / "site.db").string();
    auto store = store::RecordStore(vanto::db::Database::Open(site_)->Swipes());
    std::vector<store::Swipe> swipes;
    for (int i = 0; i < 4321; ++i) swipes.push_back({i % 13, At(i / 3)});
    store::Delivery(store, 1, 1).Store(swipes);
    store::Delivery(store, 2, 3).Store(std::span(swipes).first(1000));
    store.swipes().PutPeople(std::vector<store::PersonName>{{101, "Zhang, Wei", "Nights"}, {102, "王小明", ""}});
    ComPtr<RowSet> rows = EnrolmentRowsAt(site_, /*for_reading=*/false);
    std::vector<BYTE> print(2296);
    for (std::size_t i = 0; i < print.size(); ++i) print[i] = static_cast<BYTE>(i * 31);
    ASSERT_EQ(AddEnrolmentRow(rows.Get(), {101, 0, 1, std::nullopt, print}), S_OK);
    ASSERT_EQ(AddEnrolmentRow(rows.Get(), {101, 10, 1, 4321, std::vector<BYTE>{}}), S_OK);
    ASSERT_EQ(AddEnrolmentRow(rows.Get(), {102, 0, 3, std::nullopt, std::vector<BYTE>(2296, 0)}), S_OK);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  std::filesystem::path folder_;
  std::string site_;
};

TEST_F(DbCopy, SqliteToPostgresAndBackIsWholeAndIdempotent) {
  VANTO_REQUIRE_PG();
  vanto::testing::PgDatabases databases;
  const std::string central = databases.Fresh();
  const std::string back = (folder_ / "back.db").string();
  const auto want = store::RecordStore(vanto::db::Database::Open(site_)->Swipes()).Swipes();
  for (int run = 0; run < 2; ++run) {
    Result there = Vanto({"db", "copy", "--from", site_, "--to", central});
    ASSERT_EQ(there.status, kExitOk) << there.err;
    EXPECT_NE(there.out.find(run == 0 ? "5321 swipes (5321 new, 0 already there), 3 enrolments (3 new) and 2 people "
                                        "(2 new, 0 with the source's name, 0 unchanged)"
                                      : "5321 swipes (0 new, 5321 already there), 3 enrolments (0 new) and 2 people "
                                        "(0 new, 0 with the source's name, 2 unchanged)"),
              std::string::npos)
        << there.out;
    Result home = Vanto({"db", "copy", "--from", central, "--to", back});
    ASSERT_EQ(home.status, kExitOk) << home.err;
    EXPECT_NE(home.out.find("holds 5321 swipes, 3 enrolments and 2 people"), std::string::npos) << home.out;
  }
  // Every row with every field, on both sides.
  auto compare = [](std::vector<store::StoredSwipe> a, std::vector<store::StoredSwipe> b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(std::tie(a[i].port, a[i].terminal, a[i].person, a[i].minute, a[i].occurrence, a[i].time, a[i].downloaded_at),
                std::tie(b[i].port, b[i].terminal, b[i].person, b[i].minute, b[i].occurrence, b[i].time, b[i].downloaded_at))
          << "row " << i;
      if (::testing::Test::HasFailure()) return;
    }
  };
  compare(want, store::RecordStore(vanto::db::Database::Open(central)->Swipes()).Swipes());
  compare(want, store::RecordStore(vanto::db::Database::Open(back)->Swipes()).Swipes());
  EXPECT_EQ(Enrolments(central), Enrolments(site_));
  EXPECT_EQ(Enrolments(back), Enrolments(site_));
  const auto people = store::RecordStore(vanto::db::Database::Open(site_)->Swipes()).swipes().People();
  ASSERT_EQ(people.size(), 2u);
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(central)->Swipes()).swipes().People(), people);
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(back)->Swipes()).swipes().People(), people);
}

// A person the destination knows under another name takes the source's, as a re-import would
// give it; a person only the destination knows stays.
TEST_F(DbCopy, TheSourcesNamesUpdateTheDestinations) {
  const std::string target = (folder_ / "target.db").string();
  store::RecordStore(vanto::db::Database::Open(target)->Swipes()).swipes().PutPeople(
      std::vector<store::PersonName>{{101, "Old Name", ""}, {102, "王小明", ""}, {999, "Only There", "HQ"}});
  Result r = Vanto({"db", "copy", "--from", site_, "--to", target});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.out.find("2 people (0 new, 1 with the source's name, 1 unchanged)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("and 3 people\n"), std::string::npos) << r.out;
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(target)->Swipes()).swipes().People(),
            (std::vector<store::PersonName>{{101, "Zhang, Wei", "Nights"}, {102, "王小明", ""}, {999, "Only There", "HQ"}}));
}

// The source is only read: a read-only file is copied, and left exactly as it was.
TEST_F(DbCopy, AReadOnlySourceIsCopiedAndLeftAlone) {
  const std::string copy = (folder_ / "copy.db").string();
  chmod(site_.c_str(), 0444);
  auto before = std::filesystem::last_write_time(site_);
  Result r = Vanto({"db", "copy", "--from", site_, "--to", copy});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.out.find("5321 swipes (5321 new, 0 already there), 3 enrolments (3 new) and 2 people (2 new"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(std::filesystem::last_write_time(site_), before);
  EXPECT_EQ(Enrolments(copy), Enrolments(site_));
  chmod(site_.c_str(), 0644);
}

// Swipes of a terminal that tells its identity keep their log and index, quarantined records
// arrive once, and the per-log counts the destination keeps match the source's.
TEST_F(DbCopy, IdentifiedSwipesAndRejectedRecordsTravelBothWays) {
  VANTO_REQUIRE_PG();
  const store::LogKey log{0x8000'0123u, 4};
  {
    auto store = store::RecordStore(vanto::db::Database::Open(site_)->Swipes());
    std::vector<store::Swipe> swipes;
    for (int i = 0; i < 700; ++i) swipes.push_back({i % 7, At(2000 + i / 2)});
    store::Delivery delivery(store, 5, 9);
    delivery.Position(log, 0);
    delivery.Store(std::span(swipes).first(300));
    delivery.Position(log, 301);  // index 300 is the record the driver could not convert
    delivery.Store(std::span(swipes).subspan(300, 399));
    store::RejectedRecord bad{5, 9, log, 300, 7, 2026, 13, 1, 8, 0, "month 13", "2026-12-08T06:00:00Z"};
    ASSERT_TRUE(store.AddRejected(bad));
    store::RejectedRecord old{2, 3, std::nullopt, 17, 8, 2026, 2, 30, 9, 15, "day 30 in month 2 of 2026",
                              "2026-12-07T22:00:00Z"};
    ASSERT_TRUE(store.AddRejected(old));
  }
  vanto::testing::PgDatabases databases;
  const std::string central = databases.Fresh();
  const std::string back = (folder_ / "back.db").string();
  auto source = store::RecordStore(vanto::db::Database::Open(site_)->Swipes());
  const auto want = source.Swipes();
  const auto want_rejected = source.Rejected();
  ASSERT_EQ(want.size(), 6020u);
  ASSERT_EQ(want_rejected.size(), 2u);
  for (int run = 0; run < 2; ++run) {
    Result there = Vanto({"db", "copy", "--from", site_, "--to", central});
    ASSERT_EQ(there.status, kExitOk) << there.err;
    EXPECT_NE(there.out.find(run == 0 ? "6020 swipes (6020 new, 0 already there)" : "6020 swipes (0 new, 6020 already there)"),
              std::string::npos)
        << there.out;
    EXPECT_NE(there.out.find(run == 0 ? "copied 2 rejected records (2 new)" : "copied 2 rejected records (0 new)"),
              std::string::npos)
        << there.out;
    Result home = Vanto({"db", "copy", "--from", central, "--to", back});
    ASSERT_EQ(home.status, kExitOk) << home.err;
    EXPECT_NE(home.out.find("holds 6020 swipes"), std::string::npos) << home.out;
    EXPECT_NE(home.out.find(run == 0 ? "copied 2 rejected records (2 new)" : "copied 2 rejected records (0 new)"),
              std::string::npos)
        << home.out;
  }
  auto key = [](const store::StoredSwipe& s) {
    return std::tie(s.port, s.terminal, s.person, s.minute, s.occurrence, s.time, s.identity, s.generation, s.index);
  };
  auto rejected_key = [](const store::RejectedRecord& r) {
    return std::make_tuple(r.port, r.terminal, r.log ? std::optional(r.log->identity) : std::nullopt,
                           r.log ? std::optional(r.log->generation) : std::nullopt, r.index, r.person, r.year, r.month,
                           r.day, r.hour, r.minute, r.reason, r.first_seen);
  };
  for (const std::string& location : {central, back}) {
    auto copy = store::RecordStore(vanto::db::Database::Open(location)->Swipes());
    const auto got = copy.Swipes();
    ASSERT_EQ(got.size(), want.size()) << location;
    for (std::size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(key(got[i]), key(want[i])) << location << " row " << i;
    }
    const auto rejected = copy.Rejected();
    ASSERT_EQ(rejected.size(), want_rejected.size()) << location;
    for (std::size_t i = 0; i < rejected.size(); ++i)
      EXPECT_EQ(rejected_key(rejected[i]), rejected_key(want_rejected[i])) << location;
    // The destination's per-log count holds every index 0..699, the rejected one included.
    const store::LogCoverage coverage = copy.Coverage(log);
    EXPECT_EQ(coverage.count, 700) << location;
    EXPECT_EQ(coverage.next, 700) << location;
    EXPECT_TRUE(copy.Missing(log, 700).empty()) << location;
  }
}

// A destination holding a terminal's swipes from before it told its identity gets identity and
// index attached when the source holds them identified, whichever terminal a batch starts with:
// no swipe is stored twice.
TEST_F(DbCopy, IdentifiedSwipesAdoptTheDestinationsUnidentifiedRows) {
  const std::string target = (folder_ / "target.db").string();
  std::vector<store::Swipe> swipes;
  for (int i = 0; i < 1000; ++i) swipes.push_back({i % 13, At(i / 3)});
  {
    // Taken a day before the source took them: an adopted row keeps its own time.
    auto old = store::RecordStore(vanto::db::Database::Open(target)->Swipes());
    store::Delivery(old, 2, 3, "2026-12-08T08:00:00Z").Store(swipes);
  }
  const std::string source = (folder_ / "source.db").string();
  {
    auto store = store::RecordStore(vanto::db::Database::Open(source)->Swipes());
    store::Delivery(store, 1, 1).Store(swipes);
    store::Delivery delivery(store, 2, 3);
    delivery.Position(store::LogKey{42, 1}, 0);
    delivery.Store(swipes);
  }
  Result r = Vanto({"db", "copy", "--from", source, "--to", target});
  ASSERT_EQ(r.status, kExitOk) << r.err << r.out;
  auto copy = store::RecordStore(vanto::db::Database::Open(target)->Swipes());
  EXPECT_EQ(copy.CountSwipes(), 2000);
  EXPECT_EQ(copy.CountSwipes(2, 3), 1000);
  std::int64_t identified = 0;
  for (const auto& s : copy.Swipes(2, 3)) identified += s.identity == 42u ? 1 : 0;
  EXPECT_EQ(identified, 1000);
  EXPECT_EQ(copy.Coverage(store::LogKey{42, 1}).count, 1000);
}

// A closed month's days naming correction `id`, as the attendance answer gives them.
std::string ClosedDays(std::int64_t id) {
  return "[{\"site\":\"north\",\"person\":103,\"date\":\"2026-11-30\",\"status\":\"present\",\"findings\":"
         "[{\"kind\":\"correction-added\",\"minutes\":0,\"value\":\"" + std::to_string(id) + "\"}]}]";
}

// Rows in every table of the schema, beside the fixture's swipes, enrolments and people: a log
// with a conflict, its epoch and a quarantined record, a user with a session, the audit trail,
// sync runs, an API token with its reads, a push endpoint half way through the feed, and a site's
// attendance.
void FillEveryTable(const std::string& location) {
  auto store = store::RecordStore(vanto::db::Database::Open(location)->Swipes(), "north");
  store::RecordSiteSync(*vanto::db::Database::Open(location)->Tables(false), "north", "Asia/Shanghai",
                        "{\"ports\":[{\"number\":4,\"terminals\":[2]}]}", "2026-12-08T07:00:00Z", "north-host");
  const store::LogKey log{0x8000'0042u, 2};
  std::vector<store::Swipe> swipes;
  for (int i = 0; i < 40; ++i) swipes.push_back({i % 5, At(3000 + i)});
  store::Delivery delivery(store, 4, 2);
  delivery.Position(log, 0);
  delivery.Store(swipes);
  // A second site from here on: its older terminal's swipes (port 4, terminal 2 as north's) are
  // keyed with the site from here on.
  ASSERT_TRUE(store::AddSite(*vanto::db::Database::Open(location)->Tables(false), "south", "test"));
  std::vector<store::StoredSwipe> south(3);
  for (int i = 0; i < 3; ++i) {
    store::StoredSwipe& s = south[static_cast<std::size_t>(i)];
    s.port = 4, s.terminal = 2, s.person = i, s.minute = "2026-12-08 0" + std::to_string(i) + ":00", s.occurrence = 1;
    s.time = s.minute + ":00", s.downloaded_at = "2026-12-08T09:00:00Z", s.site = "south";
  }
  store.swipes().Insert(south);
  store::RecordConflict conflict;
  conflict.log = log;
  conflict.index = 7;
  conflict.port = 4, conflict.terminal = 2, conflict.found_at = "2026-12-08T01:00:00Z";
  conflict.person = 9, conflict.time = "2026-12-08 01:00:00";
  conflict.stored_person = 2, conflict.stored_time = "2026-11-08 01:00:00", conflict.stored_port = 4;
  conflict.stored_terminal = 2, conflict.stored_downloaded_at = "2026-12-01T00:00:00Z";
  conflict.acknowledged = true, conflict.acknowledged_by = "ops", conflict.acknowledged_at = "2026-12-08T02:00:00Z";
  const std::int64_t id = store.swipes().PutConflict(conflict);
  store::LogEpoch epoch{{log.identity, log.generation, 1}, 7, 0, 4, 2, id, "2026-12-08T01:00:00Z"};
  ASSERT_TRUE(store.swipes().PutEpoch(epoch));
  ASSERT_TRUE(store.AddRejected({4, 2, log, 40, 3, 2026, 13, 1, 0, 0, "month 13", "2026-12-08T03:00:00Z"}));
  store.swipes().PutPeopleAudited(std::vector<store::PersonName>{{103, "Li Na", "Days"}},
                                  {"2026-12-08T04:00:00Z", "clerk", "command line", "people.import", "people.csv"});
  auto accounts = vanto::db::Database::Open(location)->Accounts();
  accounts::User user{"admin", accounts::Role::Admin, false, "zh_CN", "2026-12-08T05:00:00Z", {"north"}};
  ASSERT_TRUE(accounts->AddUser(user, "$argon2id$v=19$m=65536,t=3,p=1$c2FsdA$aGFzaA",
                                {0, "2026-12-08T05:00:00Z", "root", "command line", "user.add", "admin"}));
  accounts->AddSession({"ab12", "admin", "cd34", 1'800'000'000, 1'800'000'100, "127.0.0.1"},
                       {0, "2026-12-08T05:01:00Z", "admin", "127.0.0.1", "login", ""});
  auto tokens = vanto::db::Database::Open(location)->Tokens();
  ASSERT_TRUE(tokens->Add({"payroll", {"swipes:read"}, "2026-12-08T06:00:00Z", "admin", "2027-06-30T00:00:00Z"}, "e3b0c442",
                          {0, "2026-12-08T06:00:00Z", "admin", "127.0.0.1", "token.add", "payroll"}));
  tokens->CountReads("payroll", "2026-12-08T06", 12);
  auto runs = vanto::db::Database::Open(location)->SyncRuns();
  for (int i = 0; i < 2; ++i) {
    const std::int64_t run = runs->Begin("2026-12-08T07:0" + std::to_string(i) + ":00Z", store::RunStarter::Timer, "", "", "");
    store::RunTerminal t;
    t.port = 4, t.terminal = 2, t.outcome = i ? "failed" : "synced", t.cause_code = i ? "port-busy" : "";
    t.cause_values = {{"port", "4"}}, t.delivered = 40, t.clock = "read", t.clock_drift = -3;
    runs->Finish(run, "2026-12-08T07:0" + std::to_string(i) + ":30Z", {t});
  }
  auto push = vanto::db::Database::Open(location)->Push();
  const store::FeedPage half = vanto::db::Database::Open(location)->Feed()->Read({}, 20);
  ASSERT_TRUE(push->Add("hr", {}, "2026-12-08T08:00:00Z"));
  push->Delivered("hr", half.next, 20, "2026-12-08T08:01:00Z");
  // Attendance: a row of each table, a leave entry withdrawn, a month closed naming a correction.
  auto tables = vanto::db::Database::Open(location)->Tables(false);
  store::AttendanceRows rows(*tables, "north");
  ASSERT_TRUE(rows.AddShift({"day", 9 * 60, 18 * 60, 5}));
  attendance::Pattern week;
  week.name = "week", week.days = {"day", "day", "day", "day", "day", "", ""};
  ASSERT_TRUE(rows.AddPattern(week));
  rows.AddAssignment({0, "week", attendance::TargetKind::kDepartment, 0, "Days", "2026-11-01", std::nullopt});
  rows.SetDayOff({"2026-12-25", attendance::DayOffKind::kHoliday, "Christmas"});
  attendance::Leave leave;
  leave.person = 103, leave.kind = "sick", leave.from = leave.to = "2026-11-27", leave.part_start = 540;
  leave.part_end = 720, leave.entered.by = "clerk", leave.entered.at = "2026-11-27T01:00:00Z";
  ASSERT_TRUE(rows.WithdrawLeave(rows.AddLeave({leave}).at(0), "clerk", "2026-11-27T02:00:00Z"));
  attendance::Correction added;
  added.person = 103, added.time = "2026-11-30 09:00:00", added.direction = attendance::Direction::kIn;
  added.reason = "forgot the card", added.entered.by = "clerk", added.entered.at = "2026-11-30T03:00:00Z";
  ASSERT_TRUE(rows.Close({"2026-11", "clerk", "2026-12-01T00:00:00Z", ClosedDays(rows.AddCorrection(added))}));
  rows.SetLeaveKinds({"sick", "annual"});
  rows.MarkReviewed({7, "2026-11-30", "clerk", "2026-12-01T08:00:00Z", "spoke to him"});
}

// Every table of a freshly made database is in the schema's list, and every table listed is made:
// a table added by a step and not listed fails here.
TEST_F(DbCopy, TheSchemasListNamesEveryTableItMakes) {
  VANTO_REQUIRE_PG();
  vanto::testing::PgDatabases databases;
  std::vector<std::string> locations = {(folder_ / "fresh.db").string(), databases.Fresh()};
  std::set<std::string> listed;
  for (const store::SchemaTable& t : store::SchemaTables()) listed.insert(t.name);
  for (const std::string& location : locations) {
    store::RecordStore(vanto::db::Database::Open(location)->Swipes());
    auto tables = vanto::db::Database::Open(location)->Tables(true);
    std::set<std::string> made;
    tables->Query(tables->engine() == store::Engine::Sqlite
                      ? "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'"
                      : "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema()",
                  {}, [&](const store::TableRow& r) { made.insert(*r[0]); }, "listing");
    EXPECT_EQ(made, listed) << location;
  }
}

// A site holding every kind of row, copied into PostgreSQL and back: each table of the schema's
// list arrives whole (rows and checksums equal on both hops) or is left out as the list says, and
// what the rows mean survives (a user's password, a token, the runs, a push endpoint's place).
TEST_F(DbCopy, EveryTableTravelsToPostgresAndBack) {
  VANTO_REQUIRE_PG();
  FillEveryTable(site_);
  vanto::testing::PgDatabases databases;
  const std::string central = databases.Fresh();
  const std::string back = (folder_ / "back.db").string();
  for (const auto& [from, to] : {std::pair{site_, central}, std::pair{central, back}}) {
    SCOPED_TRACE(to);
    const host::DbCopyResult r = host::CopyDatabase(Between(from, to));
    EXPECT_TRUE(r.Complete());
    ASSERT_EQ(r.checks.size(), store::SchemaTables().size());
    for (std::size_t i = 0; i < r.checks.size(); ++i) {
      const store::SchemaTable& t = store::SchemaTables()[i];
      const host::TableCheck& c = r.checks[i];
      SCOPED_TRACE(t.name);
      EXPECT_EQ(c.table, t.name);
      if (t.copy == store::TableCopy::kLeftOut) continue;
      EXPECT_GT(c.source_rows, 0) << "FillEveryTable stores no row of this table";
      EXPECT_EQ(c.target_rows, c.source_rows);
      EXPECT_EQ(c.target_sum, c.source_sum);
      EXPECT_EQ(c.missing, 0);
    }
    // A second run adds nothing.
    const host::DbCopyResult again = host::CopyDatabase(Between(from, to));
    EXPECT_TRUE(again.Complete());
    for (std::size_t i = 0; i < again.checks.size(); ++i) EXPECT_EQ(again.checks[i].target_rows, r.checks[i].target_rows);
  }
  std::string hash;
  const std::optional<accounts::User> admin = vanto::db::Database::Open(back)->Accounts()->FindUser("admin", &hash);
  ASSERT_TRUE(admin);
  EXPECT_EQ(hash, "$argon2id$v=19$m=65536,t=3,p=1$c2FsdA$aGFzaA");
  EXPECT_EQ(admin->sites, std::vector<std::string>{"north"});  // the sites the user is limited to
  {
    auto tables = vanto::db::Database::Open(back)->Tables(true);
    const std::vector<store::SiteRow> sites = store::ListSites(*tables);
    ASSERT_EQ(sites.size(), 2u);  // by name
    EXPECT_EQ(sites[0].name, "north");
    EXPECT_EQ(sites[0].last_host, "north-host");
  }
  EXPECT_FALSE(vanto::db::Database::Open(back)->Accounts()->FindSession("ab12"));  // everyone signs in again
  EXPECT_TRUE(vanto::db::Database::Open(back)->Tokens()->FindByHash("e3b0c442"));
  const auto runs = vanto::db::Database::Open(back)->SyncRuns()->Recent(10);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].terminals.at(0).cause_code, "port-busy");
  EXPECT_EQ(runs[1].terminals.at(0).clock_drift, -3);
  const auto conflicts = store::RecordStore(vanto::db::Database::Open(back)->Swipes()).swipes().Conflicts(true);
  ASSERT_EQ(conflicts.size(), 1u);
  EXPECT_EQ(conflicts[0].acknowledged_by, "ops");
  // Every swipe keeps its push key: the position after which keys carry the site travelled.
  auto keys = [](const std::string& location) {
    auto db = vanto::db::Database::Open(location);
    const std::optional<store::FeedCursor> from = db->Push()->SiteKeysFrom();
    EXPECT_TRUE(from) << location;
    const store::FeedPage all = db->Feed()->Read({}, 100000);
    std::multiset<std::string> keyed;
    for (std::size_t i = 0; i < all.swipes.size(); ++i)
      keyed.insert(push::SwipeKey(all.swipes[i], push::Sited(all.swipes[i], all.positions[i], from)));
    return keyed;
  };
  const std::multiset<std::string> site_keys = keys(site_);
  EXPECT_EQ(keys(central), site_keys);
  EXPECT_EQ(keys(back), site_keys);
  EXPECT_EQ(site_keys.count("v1:south:4:2:1:2026-12-08T01:00:1"), 1u);
  // The endpoint goes on after the 20th swipe of the feed, as it did in the site's database.
  const auto endpoints = vanto::db::Database::Open(back)->Push()->Endpoints();
  ASSERT_EQ(endpoints.size(), 1u);
  const auto site_rest = vanto::db::Database::Open(site_)->Feed()->Read(vanto::db::Database::Open(site_)->Feed()->Read({}, 20).next, 100000).swipes;
  const auto back_rest = vanto::db::Database::Open(back)->Feed()->Read(endpoints[0].cursor, 100000).swipes;
  ASSERT_EQ(back_rest.size(), site_rest.size());
  for (std::size_t i = 0; i < site_rest.size(); ++i) EXPECT_EQ(store::SwipePosition::Of(back_rest[i]), store::SwipePosition::Of(site_rest[i]));
}

// An API consumer's cursor of the old database is refused with its place in the new one, never
// read as a position there; reading on from that place gives exactly the swipes after it. The
// command prints a line per table and where the swipes were copied up to.
TEST_F(DbCopy, AnOldCursorIsRefusedWithItsNewPlace) {
  const std::string target = (folder_ / "target.db").string();
  auto old_feed = vanto::db::Database::Open(site_)->Feed();
  const store::FeedCursor old_cursor = old_feed->Read({}, 1234).next;
  const auto old_rest = old_feed->Read(old_cursor, 100000).swipes;
  Result r = Vanto({"db", "copy", "--from", site_, "--to", target});
  ASSERT_EQ(r.status, kExitOk) << r.err << r.out;
  // The help and the copy's lines name every table of the schema's list.
  const Result help = Vanto({"db", "--help"});
  for (const store::SchemaTable& t : store::SchemaTables()) {
    EXPECT_NE(r.out.find("\n" + std::string(t.name) + ": "), std::string::npos) << t.name << "\n" << r.out;
    EXPECT_NE(help.out.find("  " + std::string(t.name) + " "), std::string::npos) << t.name << "\n" << help.out;
  }
  EXPECT_NE(r.out.find("swipes: 5321 rows"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sessions: not copied: everyone signs in again"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("swipes copied up to feed position 0.5321"), std::string::npos) << r.out;
  auto feed = vanto::db::Database::Open(target)->Feed();
  store::FeedCursor here;
  try {
    feed->Read(old_cursor, 10);
    ADD_FAILURE() << "an old cursor was read as a position here";
  } catch (const store::FeedCursorMoved& moved) {
    here = moved.here();
    EXPECT_NE(std::string(moved.what()).find(store::FormatFeedCursor(old_cursor)), std::string::npos) << moved.what();
  }
  const auto rest = feed->Read(here, 100000).swipes;
  ASSERT_EQ(rest.size(), old_rest.size());
  for (std::size_t i = 0; i < rest.size(); ++i) EXPECT_EQ(store::SwipePosition::Of(rest[i]), store::SwipePosition::Of(old_rest[i]));
  // The new database's own cursors are its own.
  EXPECT_EQ(feed->Read(feed->Read({}, 10).next, 5).swipes.size(), 5u);
}

// Breaks a copy of `site` into `target` off after its second batch of swipes is stored and before
// that batch's feed order and positions are committed, runs it again, and checks that the
// destination's feed follows the source's, swipe for swipe (none doubled, none lost), and that
// each source position is recorded with its swipe's position here.
void BreakOffAndRunAgain(const std::string& site, const std::string& target) {
  host::DbCopySettings settings = Between(site, target);
  int batches = 0;
  settings.after_batch_stored = [&] {
    if (++batches == 2) throw std::runtime_error("broken off");
  };
  EXPECT_THROW(host::CopyDatabase(settings), std::runtime_error);
  ASSERT_EQ(batches, 2);
  ASSERT_EQ(store::RecordStore(vanto::db::Database::Open(target)->Swipes()).CountSwipes(), 4000);  // the second batch is stored
  settings.after_batch_stored = nullptr;
  const host::DbCopyResult again = host::CopyDatabase(settings);
  EXPECT_TRUE(again.Complete());
  EXPECT_EQ(again.swipes_added, 1321);

  // Each database's swipes in its feed order: position and key.
  using Row = std::pair<std::string, std::string>;
  auto feed = [](const std::string& location) {
    auto c = vanto::db::Database::Open(location)->Tables(true);
    const bool server = c->engine() == store::Engine::Postgres;
    std::vector<Row> rows;
    c->Query(std::string("SELECT ") + (server ? "feed_xid::text" : "'0'") +
                 " || '.' || feed_seq, port || ' ' || terminal || ' ' || person || ' ' || minute || ' ' || occurrence "
                 "FROM swipes ORDER BY " + (server ? "feed_xid, " : "") + "feed_seq",
             {}, [&](const store::TableRow& r) { rows.emplace_back(*r[0], *r[1]); }, "test");
    return rows;
  };
  const std::vector<Row> before = feed(site), after = feed(target);
  ASSERT_EQ(after.size(), before.size());
  std::map<std::string, std::string> moves;
  vanto::db::Database::Open(target)->Tables(true)
      ->Query("SELECT from_xid || '.' || from_seq, to_xid || '.' || to_seq FROM feed_moves WHERE to_seq IS NOT NULL", {},
              [&](const store::TableRow& r) { moves[*r[0]] = *r[1]; }, "test");
  int wrong_order = 0, wrong_move = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    wrong_order += after[i].second != before[i].second;
    wrong_move += moves[before[i].first] != after[i].first;
  }
  EXPECT_EQ(wrong_order, 0);
  EXPECT_EQ(wrong_move, 0);
}

TEST_F(DbCopy, ACopyBrokenOffIntoAFileIsPutRightByTheNextRun) {
  BreakOffAndRunAgain(site_, (folder_ / "target.db").string());
}

TEST_F(DbCopy, ACopyBrokenOffIntoAServerIsPutRightByTheNextRun) {
  VANTO_REQUIRE_PG();
  vanto::testing::PgDatabases databases;
  BreakOffAndRunAgain(site_, databases.Fresh());
}

// A database of schema step 14 (before the copy's feed positions) is copied as it is, into a
// new file and into a PostgreSQL database of step 14, which is brought up to date first, saying so.
TEST_F(DbCopy, ADatabaseOfStep14IsCopiedAndAnOlderDestinationUpdated) {
  VANTO_REQUIRE_PG();
  vanto::testing::PgDatabases databases;
  std::vector<std::string> old_ones = {(folder_ / "step14.db").string(), databases.Fresh()};
  for (const std::string& location : old_ones) {
    SCOPED_TRACE(location);
    if (!store::IsDatabaseUrl(location)) {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(db, store::SchemaVersionTableSql(store::Engine::Sqlite), nullptr, nullptr, nullptr), SQLITE_OK);
      for (const store::SchemaStep& step : store::SchemaSteps()) {
        if (step.version > 14) break;
        ASSERT_EQ(sqlite3_exec(db, step.sqlite, nullptr, nullptr, nullptr), SQLITE_OK) << step.version;
        const std::string record = "INSERT INTO schema_version VALUES (" + std::to_string(step.version) + ", 'x', 'y')";
        ASSERT_EQ(sqlite3_exec(db, record.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      }
      ASSERT_EQ(sqlite3_exec(db,
                             "INSERT INTO swipes (port, terminal, person, minute, occurrence, swipe_time, downloaded_at, "
                             "feed_seq) VALUES (1, 1, 7, '2026-12-08 09:00', 1, '2026-12-08 09:00:05', "
                             "'2026-12-08T09:01:00Z', 1); INSERT INTO audit (at, actor, origin, action) VALUES "
                             "('2026-12-08T09:02:00Z', 'clerk', 'command line', 'people.edit')",
                             nullptr, nullptr, nullptr),
                SQLITE_OK);
      sqlite3_close(db);
      const host::DbCopyResult r = host::CopyDatabase(Between(location, (folder_ / "from14.db").string()));
      EXPECT_TRUE(r.Complete());
      EXPECT_EQ(r.swipes_added, 1);
      EXPECT_EQ(vanto::db::Database::Open(location, vanto::db::DatabaseOptions{.create = false, .read_only = true})->Swipes()->schema_version(), 14);  // the source is only read
    } else {
      const std::size_t slash = location.find('/', location.find("://") + 3), query = location.find('?', slash);
      const std::string name = location.substr(slash + 1, query == std::string::npos ? query : query - slash - 1);
      std::string steps = std::string(store::SchemaVersionTableSql(store::Engine::Postgres)) + ";";
      for (const store::SchemaStep& step : store::SchemaSteps()) {
        if (step.version > 14) break;
        steps += std::string(step.postgres) + ";INSERT INTO schema_version VALUES (" + std::to_string(step.version) +
                 ", 'x', 'y');";
      }
      vanto::testing::PgAdmin(steps, name);
      Result r = Vanto({"db", "copy", "--from", site_, "--to", location});
      ASSERT_EQ(r.status, kExitOk) << r.err;
      EXPECT_NE(r.out.find("was brought up to date first, from schema version 14 to " +
                           std::to_string(store::LatestSchemaVersion())),
                std::string::npos)
          << r.out;
    }
  }
}

// One site of each of two sources copied with --site into one central database (either engine)
// that holds a site of its own: north's source holds north and west, south's no site at all (all
// of it is south's). Their version 1 swipes collide by port, terminal, person and minute. Every
// swipe arrives once under its site, and keys apart; a second run adds nothing; west, the
// source's users and the central site's rows stay where they are; a name the source does not hold
// is exit 2 naming the sites it holds.
TEST_F(DbCopy, OneSiteOfEachSourceIntoACentralDatabase) {
  VANTO_REQUIRE_PG();
  auto v1 = [](const std::string& site, std::int32_t person, int minute) {
    store::StoredSwipe s;
    s.port = 1, s.terminal = 1, s.person = person, s.minute = "2026-12-08 08:0" + std::to_string(minute);
    s.occurrence = 1, s.time = s.minute + ":00", s.downloaded_at = "2026-12-08T09:00:00Z", s.site = site;
    return s;
  };
  const std::string north = (folder_ / "north.db").string(), south = (folder_ / "south.db").string();
  for (const char* site : {"north", "west"})
    ASSERT_TRUE(store::AddSite(*vanto::db::Database::Open(north)->Tables(false), site, "test"));
  vanto::db::Database::Open(north)->Swipes()->Insert(std::vector<store::StoredSwipe>{v1("north", 17, 0), v1("north", 18, 1), v1("west", 17, 0)});
  {
    auto push = vanto::db::Database::Open(north)->Push();
    push->ForSite("north");
    ASSERT_TRUE(push->Add("hr", vanto::db::Database::Open(north)->Feed()->Read({}, 1).next, "2026-12-08T09:00:00Z"));
    // Delivered past west's swipe, the last of the source: it goes on after north's last.
    ASSERT_TRUE(push->Add("all", push->Head(), "2026-12-08T09:00:00Z"));
  }
  accounts::User user{"admin", accounts::Role::Admin, false, "zh_CN", "2026-12-08T05:00:00Z", {}};
  ASSERT_TRUE(vanto::db::Database::Open(north)->Accounts()->AddUser(
      user, "hash", {0, "2026-12-08T05:00:00Z", "root", "command line", "user.add", "admin"}));
  vanto::db::Database::Open(south)->Swipes()->Insert(std::vector<store::StoredSwipe>{v1("", 17, 0), v1("", 19, 2)});
  // Attendance of both sites of north's source: west's correction is number 1, north's number 2,
  // which north's closed month names.
  auto correction = [](std::int32_t person) {
    attendance::Correction c;
    c.person = person, c.time = "2026-11-30 09:00:00", c.reason = "card", c.entered.by = "hr";
    c.entered.at = "2026-11-30T03:00:00Z";
    return c;
  };
  std::int64_t north_correction = 0;
  {
    auto tables = vanto::db::Database::Open(north)->Tables(false);
    store::AttendanceRows west_rows(*tables, "west"), north_rows(*tables, "north");
    ASSERT_EQ(west_rows.AddCorrection(correction(17)), 1);
    ASSERT_TRUE(west_rows.AddShift({"day"}));
    north_correction = north_rows.AddCorrection(correction(18));
    ASSERT_TRUE(north_rows.AddShift({"day", 7 * 60}));
    ASSERT_TRUE(north_rows.Close({"2026-11", "hr", "2026-12-01T00:00:00Z", ClosedDays(north_correction)}));
  }
  vanto::testing::PgDatabases databases;
  for (const std::string& central : {(folder_ / "central.db").string(), databases.Fresh()}) {
    SCOPED_TRACE(central);
    ASSERT_TRUE(store::AddSite(*vanto::db::Database::Open(central)->Tables(false), "east", "test"));
    vanto::db::Database::Open(central)->Swipes()->Insert(std::vector<store::StoredSwipe>{v1("east", 17, 0)});
    {
      auto tables = vanto::db::Database::Open(central)->Tables(false);
      store::AttendanceRows east_rows(*tables, "east");
      for (std::int32_t person : {1, 2}) east_rows.AddCorrection(correction(person));
    }
    for (int run = 0; run < 2; ++run)
      for (const auto& [from, site] : {std::pair{north, "north"}, std::pair{south, "south"}}) {
        SCOPED_TRACE(std::string(site) + " run " + std::to_string(run));
        // Withdrawn at the source after the first copy: the second withdraws it here too.
        if (run == 1 && from == north) {
          auto tables = vanto::db::Database::Open(north)->Tables(false);
          store::AttendanceRows(*tables, "north").WithdrawCorrection(north_correction, "hr", "2026-12-02T00:00:00Z");
        }
        Result r = Vanto({"db", "copy", "--from", from, "--to", central, "--site", site, "--quiet"});
        ASSERT_EQ(r.status, kExitOk) << r.err << r.out;
        EXPECT_NE(r.out.find(run == 0 ? "(2 new, 0 already there)" : "(0 new, 2 already there)"), std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("site " + std::string(site) + " added") != std::string::npos, run == 0) << r.out;
        EXPECT_NE(r.out.find("users: not copied with --site"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("swipes: 2 rows"), std::string::npos) << r.out;
      }
    auto tables = vanto::db::Database::Open(central)->Tables(true);
    auto rows = [&](const std::string& sql) {
      std::multiset<std::string> found;
      tables->Query(sql, {}, [&](const store::TableRow& r) {
        std::string row;
        for (const auto& v : r) row += (row.empty() ? "" : " ") + v.value_or("-");
        found.insert(row);
      }, "reading");
      return found;
    };
    EXPECT_EQ(rows("SELECT site, person, minute FROM swipes"),
              (std::multiset<std::string>{"east 17 2026-12-08 08:00", "north 17 2026-12-08 08:00",
                                          "north 18 2026-12-08 08:01", "south 17 2026-12-08 08:00",
                                          "south 19 2026-12-08 08:02"}));
    EXPECT_EQ(rows("SELECT name, key_name FROM sites"),
              (std::multiset<std::string>{"east east", "north north", "south south"}));
    EXPECT_EQ(rows("SELECT site, name FROM push_endpoints"), (std::multiset<std::string>{"north all", "north hr"}));
    EXPECT_EQ(rows("SELECT name FROM users"), std::multiset<std::string>{});
    // North's correction once, numbered after east's, withdrawn; its closed month names that number.
    EXPECT_EQ(rows("SELECT site, id, person, withdrawn_by FROM corrections"),
              (std::multiset<std::string>{"east 1 1 -", "east 2 2 -", "north 3 18 hr"}));
    EXPECT_EQ(rows("SELECT site, name, start_minute FROM shifts"), std::multiset<std::string>{"north day 420"});
    EXPECT_EQ(rows("SELECT days_json FROM closed_months"), std::multiset<std::string>{ClosedDays(3)});
    EXPECT_EQ(rows("SELECT details FROM audit WHERE action = 'site.add'"),
              (std::multiset<std::string>{"site north added, copied from " + north,
                                          "site south added, copied from " + south}));
    // The copied endpoints go on after the same swipe of north; the five swipes key apart.
    auto db = vanto::db::Database::Open(central);
    std::map<std::string, std::multiset<std::string>> after;
    for (const store::PushEndpointRow& e : db->Push()->Endpoints())
      for (const auto& s : db->Feed()->Read(e.cursor, 100).swipes) after[e.name].insert(s.site + " " + std::to_string(s.person));
    EXPECT_EQ(after["hr"], (std::multiset<std::string>{"north 18", "south 17", "south 19"}));
    EXPECT_EQ(after["all"], (std::multiset<std::string>{"south 17", "south 19"}));
    const std::optional<store::FeedCursor> keyed_from = db->Push()->SiteKeysFrom();
    const store::FeedPage all = db->Feed()->Read({}, 100);
    std::set<std::string> keys;
    for (std::size_t i = 0; i < all.swipes.size(); ++i)
      keys.insert(push::SwipeKey(all.swipes[i], push::Sited(all.swipes[i], all.positions[i], keyed_from)));
    EXPECT_EQ(keys.size(), 5u);
    const Result unknown = Vanto({"db", "copy", "--from", north, "--to", central, "--site", "south"});
    EXPECT_EQ(unknown.status, kExitUsage);
    EXPECT_NE(unknown.err.find("holds no site south: it holds north, west"), std::string::npos) << unknown.err;
  }
}

TEST_F(DbCopy, BadLocationsAreOneLineErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string words;
  } cases[] = {
      {{"db", "copy", "--from", site_, "--to", "postgresql://vanto@127.0.0.1:1/central"}, kExitHost, "127.0.0.1:1"},
      {{"db", "copy", "--from", site_, "--to", "postgresql://%zz@host/db"}, kExitHost, "no usable URL"},
      {{"db", "copy", "--from", site_, "--to", "mysql://host/db"}, kExitHost, "unknown scheme"},
      {{"db", "copy", "--from", (folder_ / "missing.db").string(), "--to", site_}, kExitHost, "does not exist"},
      {{"db", "copy", "--from", site_, "--to", site_}, kExitUsage, "same database"},
      {{"db", "move", "--from", site_, "--to", site_ + ".copy"}, kExitUsage, "unknown action 'move'"},
      {{"db", "--from", site_, "--to", site_ + ".copy"}, kExitUsage, "vanto db copy"},
      {{"db", "copy", "--from", site_}, kExitUsage, "--to"},
  };
  for (const Case& c : cases) {
    Result r = Vanto(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[c.args.size() - 1] << ": " << r.err;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(site_)->Swipes()).CountSwipes(), 5321);
}

// The server's feed horizon is held back by a transaction open in any of its databases: a copy
// started then waits for it to end (within its wait) instead of leaving the swipes written since
// for another run.
TEST_F(DbCopy, ACopyFromAServerWaitsForATransactionOpenElsewhere) {
  VANTO_REQUIRE_PG();
  vanto::testing::PgDatabases databases;
  const std::string from = databases.Fresh(), to = databases.Fresh(), elsewhere = databases.Fresh();
  PGconn* holder = PQconnectdb(elsewhere.c_str());
  ASSERT_EQ(PQstatus(holder), CONNECTION_OK) << PQerrorMessage(holder);
  PQclear(PQexec(holder, "BEGIN"));
  PQclear(PQexec(holder, "SELECT pg_current_xact_id()"));  // holds the horizon from here
  {
    store::RecordStore store(vanto::db::Database::Open(from)->Swipes());
    std::vector<store::Swipe> swipes;
    for (int i = 0; i < 300; ++i) swipes.push_back({i % 7, At(i)});
    store::Delivery(store, 1, 1).Store(swipes);
  }
  host::DbCopyResult result;
  host::DbCopySettings settings = Between(from, to);
  settings.from = vanto::db::Database::Open(from, {.lock_timeout = std::chrono::seconds(60), .create = false, .read_only = true});
  std::thread copy([&] { result = host::CopyDatabase(settings); });
  // Once the copy is seen waiting, the transaction elsewhere ends.
  bool waiting = false;
  for (int i = 0; i < 6000 && !waiting; ++i) {
    waiting = vanto::testing::PgAdmin("SELECT count(*) FROM pg_stat_activity WHERE query LIKE 'WITH horizon AS%'") != "0";
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  PQclear(PQexec(holder, "COMMIT"));
  PQfinish(holder);
  copy.join();
  EXPECT_TRUE(waiting);
  EXPECT_EQ(result.swipes, 300);
  EXPECT_TRUE(result.Complete());
}

}  // namespace
}  // namespace vanto::cli
