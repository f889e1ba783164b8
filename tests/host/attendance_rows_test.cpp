// A site's attendance rows in the database (both engines): each kind of row comes back as it was
// written, a key held already or an entry withdrawn already answers false and changes nothing,
// the range listings take what overlaps their edges, two sites' rows never mix, and a database
// from before the attendance tables reads as holding none until it is brought up to date.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/db/attendance_rows.h"
#include "host/db/database.h"
#include "host/db/schema.h"
#include "host/db/sites.h"
#include "host/db/store_failure.h"
#include "host/db/swipe_store.h"
#include "tests/host/store_engines.h"

namespace vanto::store {
namespace {

using namespace attendance;

// Runs `sql` on the database at `location` behind every handle's back.
void Behind(const std::string& location, const std::string& sql) {
  if (IsDatabaseUrl(location)) {
    PGconn* c = PQconnectdb(location.c_str());
    ASSERT_EQ(PQstatus(c), CONNECTION_OK) << PQerrorMessage(c);
    PGresult* r = PQexec(c, sql.c_str());
    EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    return;
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

Leave LeaveOf(std::int32_t person, const std::string& from, const std::string& to) {
  Leave l;
  l.person = person, l.kind = "annual", l.from = from, l.to = to, l.entered.by = "hr", l.entered.at = "2026-12-01T08:00:00Z";
  return l;
}

Correction CorrectionAt(std::int32_t person, const std::string& time) {
  Correction c;
  c.person = person, c.time = time, c.direction = Direction::kIn, c.reason = "forgot the card";
  c.entered.by = "hr", c.entered.at = "2026-12-01T08:00:00Z";
  return c;
}

Pattern PatternNamed(const std::string& name) {
  Pattern p;
  p.name = name;
  return p;
}

DayOff DayOn(const std::string& date) {
  DayOff d;
  d.date = date;
  return d;
}

template <typename T>
std::vector<std::int64_t> Ids(const std::vector<T>& rows) {
  std::vector<std::int64_t> ids;
  for (const T& r : rows) ids.push_back(r.id);
  return ids;
}

class AttendanceRowsTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    VANTO_STORE_ENGINE(GetParam(), engine_);
    location_ = engine_->FreshLocation();
    db_ = db::Database::Open(location_);
    tables_ = db_->Tables(false);
  }
  AttendanceRows Rows(const std::string& site) { return AttendanceRows(*tables_, site); }

  std::unique_ptr<testing::StoreEngine> engine_;
  std::string location_;
  std::shared_ptr<db::Database> db_;
  std::unique_ptr<TableConnection> tables_;
};

// Each kind of row, with every field away from its default, comes back equal.
TEST_P(AttendanceRowsTest, EachKindOfRowComesBackAsWritten) {
  AttendanceRows rows = Rows("north");
  ASSERT_TRUE(rows.Held());
  Shift night{"night", 22 * 60, 6 * 60, 5, 10, 30, 120, 180, 450, 225, true, 23 * 60, 5 * 60, 420};
  Pattern rotation{"four-on", PatternKind::kRotation, "2026-12-01", {"night", "night", "", "王"}};
  Assignment person{0, "four-on", TargetKind::kPerson, 17, "", "2026-12-01", "2026-12-31"};
  Assignment department{0, "four-on", TargetKind::kDepartment, 0, "Nights", "2027-01-01", std::nullopt};
  Leave part = LeaveOf(17, "2026-12-03", "2026-12-03");
  part.part_start = 9 * 60, part.part_end = 12 * 60, part.note = "dentist";
  Correction aside = CorrectionAt(17, "2026-12-04 08:01:02");
  aside.kind = CorrectionKind::kSetAside, aside.direction = Direction::kUnknown, aside.port = 4, aside.terminal = 2;
  aside.entered.withdrawn_by = "boss", aside.entered.withdrawn_at = "2026-12-05T00:00:00Z";
  struct Case {
    const char* what;
    std::function<void()> write;
    std::function<void()> check;
  };
  const std::vector<Case> cases = {
      {"shift", [&] { ASSERT_TRUE(rows.AddShift(night)); }, [&] { EXPECT_EQ(rows.Shifts(), std::vector{night}); }},
      {"pattern", [&] { ASSERT_TRUE(rows.AddPattern(rotation)); },
       [&] { EXPECT_EQ(rows.Patterns(), std::vector{rotation}); }},
      {"assignments",
       [&] {
         person.id = rows.AddAssignment(person);
         department.id = rows.AddAssignment(department);
         EXPECT_LT(person.id, department.id);
       },
       [&] { EXPECT_EQ(rows.Assignments(), (std::vector{person, department})); }},
      {"days off",
       [&] {
         rows.SetDayOff({"2027-01-01", DayOffKind::kHoliday, "New Year"});
         rows.SetDayOff({"2026-12-26", DayOffKind::kHoliday, "old"});
         rows.SetDayOff({"2026-12-26", DayOffKind::kRest, ""});  // replaces the day's entry
       },
       [&] {
         EXPECT_EQ(rows.DaysOff(), (std::vector<DayOff>{{"2026-12-26", DayOffKind::kRest, ""},
                                                        {"2027-01-01", DayOffKind::kHoliday, "New Year"}}));
       }},
      {"leave", [&] { part.id = rows.AddLeave({part}).at(0); },
       [&] {
         EXPECT_EQ(rows.FindLeave(part.id), part);
         EXPECT_EQ(rows.Leave("2026-12-01", "2026-12-31"), std::vector{part});
       }},
      {"correction", [&] { aside.id = rows.AddCorrection(aside); },
       [&] {
         EXPECT_EQ(rows.FindCorrection(aside.id), aside);
         EXPECT_EQ(rows.Corrections("2026-12-04", "2026-12-04"), std::vector{aside});
       }},
      {"closed month", [&] { ASSERT_TRUE(rows.Close({"2026-11", "boss", "2026-12-02T00:00:00Z", "[{\"a\":1}]"})); },
       [&] {
         const auto closed = rows.Closed("2026-11");
         ASSERT_TRUE(closed);
         EXPECT_EQ(closed->closed_by + closed->closed_at + closed->days_json, "boss2026-12-02T00:00:00Z[{\"a\":1}]");
         EXPECT_EQ(rows.ClosedMonths(), std::vector<std::string>{"2026-11"});
       }},
      {"leave kinds", [&] { rows.SetLeaveKinds({"sick", "annual", "sick", "home office"}); },
       [&] { EXPECT_EQ(rows.LeaveKinds(), (std::vector<std::string>{"sick", "annual", "home office"})); }},
  };
  EXPECT_EQ(rows.LeaveKinds(), (std::vector<std::string>{"annual", "sick", "unpaid"}));  // none of its own yet
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.write();
    c.check();
  }
  // All or nothing: a leave that ends before it starts takes the one before it along.
  EXPECT_THROW(rows.AddLeave({LeaveOf(18, "2026-12-07", "2026-12-07"), LeaveOf(18, "2026-12-09", "2026-12-08")}),
               StoreError);
  EXPECT_TRUE(rows.Leave("2026-12-01", "2026-12-31", 18).empty());
  // A value this program does not know is a clear failure, not a guess.
  tables_->Exec("UPDATE work_patterns SET days = 'night' WHERE name = 'four-on'", {}, "spoiling a pattern");
  try {
    rows.Patterns();
    ADD_FAILURE() << "a pattern's unreadable days were read";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("table work_patterns holds the value night in column days"), std::string::npos)
        << e.what();
  }
}

// A write that meets a key held already, or nothing to act on, answers false and changes nothing.
TEST_P(AttendanceRowsTest, KeyClashesAndRepeatedWithdrawalsAnswerFalse) {
  AttendanceRows rows = Rows("north");
  const Shift day{"day"};
  ASSERT_TRUE(rows.AddShift(day));
  ASSERT_TRUE(rows.AddPattern({"week", PatternKind::kWeek, "", {"day", "day", "day", "day", "day", "", ""}}));
  const std::int64_t leave = rows.AddLeave({LeaveOf(1, "2026-12-01", "2026-12-01")}).at(0);
  const std::int64_t correction = rows.AddCorrection(CorrectionAt(1, "2026-12-01 09:00:00"));
  ASSERT_TRUE(rows.Close({"2026-11", "boss", "2026-12-02T00:00:00Z", "[]"}));
  Shift changed = day;
  changed.start = 7 * 60;
  struct Case {
    const char* what;
    std::function<bool()> act;
    bool answer;
  };
  const std::vector<Case> cases = {
      {"a second shift of a name", [&] { return rows.AddShift(changed); }, false},
      {"changing a shift there is not", [&] { return rows.ReplaceShift(Shift{"late"}); }, false},
      {"removing a shift there is not", [&] { return rows.RemoveShift("late"); }, false},
      {"a second pattern of a name", [&] { return rows.AddPattern(PatternNamed("week")); }, false},
      {"changing a pattern there is not", [&] { return rows.ReplacePattern(PatternNamed("other")); }, false},
      {"removing a pattern there is not", [&] { return rows.RemovePattern("other"); }, false},
      {"removing an assignment there is not", [&] { return rows.RemoveAssignment(999); }, false},
      {"removing a day off there is not", [&] { return rows.RemoveDayOff("2026-12-25"); }, false},
      {"withdrawing leave", [&] { return rows.WithdrawLeave(leave, "hr", "2026-12-02T00:00:00Z"); }, true},
      {"withdrawing it again", [&] { return rows.WithdrawLeave(leave, "boss", "2026-12-03T00:00:00Z"); }, false},
      {"withdrawing leave there is not", [&] { return rows.WithdrawLeave(999, "hr", "2026-12-02T00:00:00Z"); }, false},
      {"withdrawing a correction", [&] { return rows.WithdrawCorrection(correction, "hr", "2026-12-02T00:00:00Z"); },
       true},
      {"withdrawing it again", [&] { return rows.WithdrawCorrection(correction, "boss", "2026-12-03T00:00:00Z"); },
       false},
      {"closing a closed month", [&] { return rows.Close({"2026-11", "other", "2026-12-03T00:00:00Z", "[1]"}); }, false},
      {"reopening an open month", [&] { return rows.Reopen("2026-10"); }, false},
      {"changing a shift", [&] { return rows.ReplaceShift(changed); }, true},
      {"reopening a closed month", [&] { return rows.Reopen("2026-11"); }, true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.act(), c.answer) << c.what;
  EXPECT_EQ(rows.Shifts(), std::vector{changed});
  EXPECT_EQ(rows.FindLeave(leave)->entered.withdrawn_by, "hr");  // the first withdrawal stays
  EXPECT_EQ(rows.FindCorrection(correction)->entered.withdrawn_at, "2026-12-02T00:00:00Z");
  EXPECT_TRUE(rows.ClosedMonths().empty());
}

// Leave overlapping a range's edges is in it; a correction is in it by the date of its time.
TEST_P(AttendanceRowsTest, RangesTakeWhatOverlapsTheirEdges) {
  AttendanceRows rows = Rows("north");
  const std::vector<std::int64_t> leave = rows.AddLeave({
      LeaveOf(1, "2026-11-28", "2026-12-01"),  // ends on the first day
      LeaveOf(1, "2026-11-01", "2026-11-30"),  // ends the day before
      LeaveOf(1, "2026-12-31", "2027-01-03"),  // starts on the last day
      LeaveOf(2, "2026-12-10", "2026-12-10"),
      LeaveOf(1, "2027-01-01", "2027-01-01"),  // starts the day after
      LeaveOf(1, "2026-11-01", "2027-02-01"),  // covers the whole range
  });
  ASSERT_EQ(leave.size(), 6u);
  EXPECT_EQ(Ids(rows.Leave("2026-12-01", "2026-12-31")), (std::vector{leave[0], leave[2], leave[3], leave[5]}));
  EXPECT_EQ(Ids(rows.Leave("2026-12-01", "2026-12-31", 1)), (std::vector{leave[0], leave[2], leave[5]}));
  EXPECT_EQ(Ids(rows.Leave("2026-12-01", "2026-12-31", 3)), std::vector<std::int64_t>{});
  std::vector<std::int64_t> corrections;
  for (const char* time : {"2026-11-30 23:59:59", "2026-12-01 00:00:00", "2026-12-31 23:59:59", "2027-01-01 00:00:00"})
    corrections.push_back(rows.AddCorrection(CorrectionAt(1, time)));
  corrections.push_back(rows.AddCorrection(CorrectionAt(2, "2026-12-15 12:00:00")));
  EXPECT_EQ(Ids(rows.Corrections("2026-12-01", "2026-12-31")), (std::vector{corrections[1], corrections[2], corrections[4]}));
  EXPECT_EQ(Ids(rows.Corrections("2026-12-01", "2026-12-31", 1)), (std::vector{corrections[1], corrections[2]}));
  EXPECT_EQ(Ids(rows.Corrections("2026-12-31", "2026-12-31")), std::vector{corrections[2]});
  for (const char* date : {"2026-11-30", "2026-12-01", "2026-12-31", "2027-01-01"}) rows.SetDayOff(DayOn(date));
  std::vector<std::string> dates;
  for (const DayOff& d : rows.DaysOff("2026-12-01", "2026-12-31")) dates.push_back(d.date);
  EXPECT_EQ(dates, (std::vector<std::string>{"2026-12-01", "2026-12-31"}));
  EXPECT_EQ(rows.DaysOff("2026-12-02").size(), 2u);
  EXPECT_EQ(rows.DaysOff(std::nullopt, "2026-12-01").size(), 2u);
}

// The swipes the rules read (the swipe store's narrow read): the dates' edges, one person, one
// site or every site, in time order; and who swiped in them, each once.
TEST_P(AttendanceRowsTest, SwipesAreReadByDatesSiteAndPersonInTimeOrder) {
  auto store = db_->Swipes();
  std::vector<StoredSwipe> stored;
  auto at = [&](const char* site, std::int32_t person, const std::string& time, int terminal) {
    StoredSwipe s{1, terminal, person, time.substr(0, 16), 1, time, "2026-12-02T00:00:00Z"};
    s.site = site;
    stored.push_back(s);
  };
  at("north", 7, "2026-12-01 00:00:00", 1);  // the first moment of the first date
  at("north", 7, "2026-11-30 23:59:59", 1);  // the day before
  at("north", 8, "2026-12-02 23:59:59", 2);  // the last moment of the last date
  at("north", 7, "2026-12-03 00:00:00", 1);  // the day after
  at("south", 7, "2026-12-01 12:00:00", 3);  // another site's
  at("north", 7, "2026-12-01 12:00:00", 2);
  at("north", 9, "2026-12-01 12:00:00", 2);  // a second person at the same time: by person
  ASSERT_EQ(store->Insert(stored).size(), stored.size());
  using Read = std::vector<std::string>;  // "person time port:terminal"
  struct Case {
    const char* name;
    std::optional<std::string> site;
    std::optional<std::int32_t> person;
    Read expected;
    std::vector<std::int32_t> persons;
  };
  const std::vector<Case> cases = {
      {"the site's", "north", std::nullopt,
       {"7 2026-12-01 00:00:00 1:1", "7 2026-12-01 12:00:00 1:2", "9 2026-12-01 12:00:00 1:2",
        "8 2026-12-02 23:59:59 1:2"},
       {7, 8, 9}},
      {"one person's", "north", 8, {"8 2026-12-02 23:59:59 1:2"}, {8}},
      {"another site's", "south", 7, {"7 2026-12-01 12:00:00 1:3"}, {7}},
      {"every site's", std::nullopt, 7,
       {"7 2026-12-01 00:00:00 1:1", "7 2026-12-01 12:00:00 1:2", "7 2026-12-01 12:00:00 1:3"}, {7}},
      {"a site of none", "west", std::nullopt, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SwipeQuery query;
    query.from = "2026-12-01";
    query.to = "2026-12-02";
    query.site = c.site;
    if (c.person) query.persons = {*c.person};
    query.port = 5;  // not read: the narrow read takes dates, people and site only
    Read read;
    store->EachBrief(query, [&](const BriefSwipe& s) {
      read.push_back(std::to_string(s.person) + " " + s.time + " " + std::to_string(s.port) + ":" +
                     std::to_string(s.terminal));
      return true;
    });
    EXPECT_EQ(read, c.expected);
    EXPECT_EQ(store->PersonsWithSwipes(query), c.persons);
  }
}

// A swipe column holding no whole number (SQLite keeps whatever a column is given) is refused,
// naming the table, the column and the swipe, never read as 0.
TEST_P(AttendanceRowsTest, ASwipeValueThatIsNoNumberIsRefusedNamingWhere) {
  if (IsDatabaseUrl(location_)) GTEST_SKIP() << "a server's integer columns hold numbers only";
  StoredSwipe s{1, 4, 7, "2026-12-01 08:00", 1, "2026-12-01 08:00:00", "2026-12-02T00:00:00Z"};
  s.site = "north";
  ASSERT_EQ(db_->Swipes()->Insert(std::vector<StoredSwipe>{s}).size(), 1u);
  struct Case {
    const char* column;
    const char* value;
    const char* shown;
  };
  const Case cases[] = {{"port", "'two'", "two"}, {"terminal", "'4x'", "4x"}, {"person", "7.5", "7.5"},
                        {"port", "4294967297", "4294967297"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.column) + " " + c.value);
    Behind(location_, std::string("UPDATE swipes SET port = 1, terminal = 4, person = 7; UPDATE swipes SET ") + c.column +
                          " = " + c.value);
    SwipeQuery query;
    query.from = "2026-12-01";
    query.to = "2026-12-01";
    query.site = "north";
    auto read = [&] {
      db_->Swipes()->EachBrief(query, [](const BriefSwipe&) { return true; });
    };
    try {
      read();
      ADD_FAILURE() << "read as a number";
    } catch (const StoreError& e) {
      const std::string what = e.what();
      for (const std::string& named : {std::string("swipes"), std::string(c.column), std::string(c.shown),
                                       std::string("2026-12-01 08:00:00")})
        EXPECT_NE(what.find(named), std::string::npos) << what << " lacks " << named;
    }
    if (std::string(c.column) == "person") {
      EXPECT_THROW(db_->Swipes()->PersonsWithSwipes(query), StoreError);
    }
  }
}

// Two sites' rows of the same names and numbers stay each site's own: neither lists, finds,
// changes nor withdraws the other's.
TEST_P(AttendanceRowsTest, TwoSitesRowsNeverMix) {
  AttendanceRows north = Rows("north"), south = Rows("south");
  Shift early{"day", 6 * 60, 14 * 60};
  ASSERT_TRUE(north.AddShift(Shift{"day"}));
  ASSERT_TRUE(south.AddShift(early));
  ASSERT_TRUE(north.AddPattern(PatternNamed("week")));
  ASSERT_TRUE(south.AddPattern({"week", PatternKind::kRotation, "2026-12-01", {"day"}}));
  const std::int64_t assigned = south.AddAssignment({0, "week", TargetKind::kPerson, 7, "", "2026-12-01", std::nullopt});
  north.SetDayOff({"2026-12-25", DayOffKind::kHoliday, "north's"});
  south.SetDayOff({"2026-12-25", DayOffKind::kRest, "south's"});
  const std::int64_t leave = south.AddLeave({LeaveOf(7, "2026-12-01", "2026-12-02")}).at(0);
  const std::int64_t correction = south.AddCorrection(CorrectionAt(7, "2026-12-01 09:00:00"));
  ASSERT_TRUE(north.Close({"2026-11", "n", "2026-12-01T00:00:00Z", "[]"}));
  ASSERT_TRUE(south.Close({"2026-11", "s", "2026-12-01T00:00:00Z", "[]"}));
  south.SetLeaveKinds({"home office"});

  EXPECT_EQ(north.Shifts(), std::vector{Shift{"day"}});
  EXPECT_EQ(south.Shifts(), std::vector{early});
  EXPECT_EQ(north.Patterns().at(0).kind, PatternKind::kWeek);
  EXPECT_TRUE(north.Assignments().empty());
  EXPECT_EQ(north.DaysOff().at(0).name, "north's");
  EXPECT_TRUE(north.Leave("2026-01-01", "2027-12-31").empty());
  EXPECT_TRUE(north.Corrections("2026-01-01", "2027-12-31").empty());
  EXPECT_FALSE(north.FindLeave(leave));
  EXPECT_FALSE(north.FindCorrection(correction));
  EXPECT_FALSE(north.WithdrawLeave(leave, "n", "2026-12-03T00:00:00Z"));
  EXPECT_FALSE(north.WithdrawCorrection(correction, "n", "2026-12-03T00:00:00Z"));
  EXPECT_FALSE(north.RemoveAssignment(assigned));
  EXPECT_EQ(north.LeaveKinds(), (std::vector<std::string>{"annual", "sick", "unpaid"}));
  ASSERT_TRUE(north.RemoveShift("day"));
  ASSERT_TRUE(north.Reopen("2026-11"));
  EXPECT_EQ(south.Shifts(), std::vector{early});
  EXPECT_EQ(south.Closed("2026-11")->closed_by, "s");
  EXPECT_FALSE(south.FindLeave(leave)->entered.withdrawn());
  EXPECT_FALSE(south.FindCorrection(correction)->entered.withdrawn());
  EXPECT_EQ(south.Assignments().size(), 1u);
  EXPECT_EQ(south.LeaveKinds(), std::vector<std::string>{"home office"});
}

// A database of step 24 holds no attendance rows: read as it is, it lists none and refuses a
// write; brought up to date it holds them, and the first site to open it takes those stored
// under no site, except one whose key the site holds already (which stays, nothing lost).
TEST_P(AttendanceRowsTest, ADatabaseOfStep24HoldsNoneUntilBroughtUpToDate) {
  const Engine engine = std::string(GetParam()) == "postgresql" ? Engine::Postgres : Engine::Sqlite;
  const std::string location = engine_->FreshLocation();
  std::string sql = SchemaVersionTableSql(engine) + std::string(";");
  for (const SchemaStep& step : SchemaSteps()) {
    if (step.version >= kAttendanceSchemaVersion) break;
    sql += SchemaStepSql(step, engine);
    sql += "INSERT INTO schema_version VALUES (" + std::to_string(step.version) + ", 'step', 'then');";
  }
  sql += "INSERT INTO people (person, name) VALUES (17, 'Ada');";
  Behind(location, sql);
  {
    auto old = db::Database::Open(location, {.create = false, .read_only = true})->Tables(true);
    AttendanceRows rows(*old, "");
    EXPECT_FALSE(rows.Held());
    EXPECT_TRUE(rows.Shifts().empty());
    EXPECT_TRUE(rows.Leave("2026-01-01", "2026-12-31").empty());
    EXPECT_FALSE(rows.Closed("2026-11"));
    EXPECT_EQ(rows.LeaveKinds().size(), 3u);
    try {
      rows.AddShift(Shift{"day"});
      ADD_FAILURE() << "a shift was written into a database without the table";
    } catch (const StoreError& e) {
      EXPECT_NE(std::string(e.what()).find("holds no attendance rows yet"), std::string::npos) << e.what();
    }
  }
  auto db = db::Database::Open(location);
  EXPECT_EQ(db->schema_version(), LatestSchemaVersion());
  auto tables = db->Tables(false);
  AttendanceRows none(*tables, ""), north(*tables, "north");
  ASSERT_TRUE(none.Held());
  ASSERT_TRUE(none.AddShift(Shift{"day", 8 * 60}));
  ASSERT_TRUE(none.AddShift(Shift{"late", 12 * 60}));
  none.AddLeave({LeaveOf(17, "2026-12-01", "2026-12-01")});
  ASSERT_TRUE(AddSite(*tables, "north", "test"));
  ASSERT_TRUE(north.AddShift(Shift{"day", 9 * 60}));
  EXPECT_EQ(AssignRowsToSite(*tables, "north", "test"), 3);  // the person, the late shift, the leave
  EXPECT_EQ(north.Shifts(), (std::vector{Shift{"day", 9 * 60}, Shift{"late", 12 * 60}}));
  EXPECT_EQ(none.Shifts(), (std::vector{Shift{"day", 8 * 60}}));
  EXPECT_EQ(north.Leave("2026-12-01", "2026-12-01").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, AttendanceRowsTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::store
