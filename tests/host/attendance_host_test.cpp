// The host's attendance operations on both engines: the terminals a day waits for (a newer failed
// sync completes nothing: the last complete one counts), a month that will not close while a day
// is pending, a leave CSV read as spreadsheets write it, and a day's JSON read back unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "host/attendance_host.h"
#include "host/attendance_review.h"
#include "host/db/accounts_store.h"
#include "host/db/database.h"
#include "host/errors.h"
#include "host/judged_report.h"
#include "host/site/site.h"
#include "tests/host/store_engines.h"

namespace vanto::host {
namespace {

std::chrono::system_clock::time_point At(int day, int hour) {
  return std::chrono::sys_days(std::chrono::year{2026} / 11 / day) + std::chrono::hours(hour);
}

class AttendanceHostTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    VANTO_STORE_ENGINE(GetParam(), engine_);
    location_ = engine_->FreshLocation();
    db_ = db::Database::Open(location_);
    site_ = site::ParseSite("timezone = \"UTC\"\n[[port]]\nnumber = 1\ndevice = \"/dev/null\"\nterminals = [1]\n", "s.toml");
  }
  AttendanceSite Site(std::chrono::system_clock::time_point now) {
    return AttendanceSite{*db_, choice_, &site_, {"tester", "test"}, now};
  }
  // A day shift, Monday to Friday 09:00-17:00, for the department "Office" from October: Ann (7)
  // and Bo (8).
  void Office(const AttendanceSite& at) {
  AddShift(at, attendance::Shift{"day", 9 * 60, 17 * 60}, std::vector<bool>{true, true, true, true, true, false, false});
  attendance::Assignment office;
  office.pattern = "day", office.target = attendance::TargetKind::kDepartment, office.department = "Office";
  office.from = "2026-10-01";
  Assign(at, office);
  db_->Swipes()->PutPeople(std::vector<store::PersonName>{{7, "Ann", "Office"}, {8, "Bo", "Office"}});
  }
  void Sync(const std::string& ended, const std::string& outcome, int terminal = 1) {
    auto runs = db_->SyncRuns();
    const std::int64_t run = runs->Begin(ended, store::RunStarter::Command, "tester", "", "");
    store::RunTerminal t;
    t.port = 1, t.terminal = terminal, t.outcome = outcome;
    runs->Finish(run, ended, {t});
  }
  std::unique_ptr<store::testing::StoreEngine> engine_;
  std::string location_;
  std::shared_ptr<db::Database> db_;
  site::Site site_;
  SiteChoice choice_;
};

TEST_P(AttendanceHostTest, ADayWaitsForTheLastCompleteSyncNotTheLastSync) {
  std::vector<store::StoredSwipe> swipes = {{1, 1, 7, "2026-11-10 09:00", 1, "2026-11-10 09:00:00", "2026-11-10T10:00:00Z"}};
  db_->Swipes()->Insert(swipes);
  Sync("2026-11-09T12:00:00Z", "synced");
  Sync("2026-11-11T12:00:00Z", "failed");  // after the day, but it completed nothing
  Sync("2026-11-11T12:30:00Z", "failed", 0);  // the port failed before any terminal: no terminal 1:0 to wait for
  const AttendanceSite at = Site(At(12, 0));
  auto day10 = [&] {
    for (const attendance::DayResult& d : JudgeMonth(at, "2026-11", 7).days)
      if (d.date == "2026-11-10") return d;
    ADD_FAILURE() << "no 2026-11-10";
    return attendance::DayResult{};
  };
  attendance::DayResult day = day10();
  EXPECT_EQ(day.status, attendance::Status::kPending);
  ASSERT_EQ(day.pending.size(), 1u);
  EXPECT_EQ(day.pending[0], (attendance::Waiting{"1:1", "2026-11-09T12:00:00Z"}));
  // A pending day keeps its month open.
  const AttendanceSite december = Site(std::chrono::sys_days(std::chrono::year{2026} / 12 / 2));
  try {
    CloseMonth(december, "2026-11");
    ADD_FAILURE() << "closed with pending days";
  } catch (const InputError& e) {
    EXPECT_NE(std::string(e.what()).find("still pending"), std::string::npos) << e.what();
  }
  Sync("2026-11-11T13:00:00Z", "synced");
  EXPECT_EQ(day10().status, attendance::Status::kPresent);
}

TEST_P(AttendanceHostTest, LeaveCsvIsReadAsSpreadsheetsWriteIt) {
  const AttendanceSite at = Site(At(1, 0));
  const std::string csv =
      "\xEF\xBB\xBF" "person,kind,from,to,part_start,part_end,note\r\n"
      "17,annual,2026-11-02,,,,\"Lin, back on \"\"Monday\"\"\nafter the trip\"\r\n"
      "\r\n"
      "18,sick,2026-11-03,2026-11-03,13:00,17:00,dentist\r\n";
  const std::vector<std::int64_t> ids = ImportLeaveCsv(at, csv);
  ASSERT_EQ(ids.size(), 2u);
  const std::vector<attendance::Leave> leave = ListLeave(at, "2026-11-01", "2026-11-30", std::nullopt);
  ASSERT_EQ(leave.size(), 2u);
  EXPECT_EQ(leave[0].to, "2026-11-02");  // an empty `to`: one day
  EXPECT_EQ(leave[0].note, "Lin, back on \"Monday\"\nafter the trip");
  EXPECT_EQ(leave[1].part_start, 13 * 60);
  EXPECT_EQ(leave[1].entered.by, "tester");
  // The same again: each row over the person's leave, named by its line; nothing more stored.
  try {
    ImportLeaveCsv(at, csv);
    ADD_FAILURE() << "imported twice";
  } catch (const InputError& e) {
    EXPECT_NE(std::string(e.what()).find("2 bad rows; nothing imported: line 2: "), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("; line 5: person 18 is on leave"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ListLeave(at, "2026-11-01", "2026-11-30", std::nullopt).size(), 2u);
}

TEST_P(AttendanceHostTest, ADayReadsBackFromItsJson) {
  attendance::DayResult day;
  day.site = "north", day.person = 7, day.date = "2026-11-10", day.status = attendance::Status::kLate;
  day.shift = "day", day.late_minutes = 12, day.worked_minutes = 470, day.break_minutes = 60;
  day.first_in = "2026-11-10 09:12:00";
  day.findings = {{attendance::FindingKind::kLate, 12, ""}, {attendance::FindingKind::kJudgedWithout, 0, "1:2"}};
  day.pending = {{"1:3", ""}};
  const attendance::DayResult back = DayFromJson(nlohmann::json::parse(DayJson(day).dump()));
  EXPECT_EQ(DayJson(back), DayJson(day));
  EXPECT_EQ(back.findings, day.findings);
  EXPECT_FALSE(back.last_out);
  EXPECT_EQ(DayJson(day)["last_out"], nullptr);
}

// People assigned at once are assigned all or none: a clash on any of them, a person named twice
// or a person number of none assigns nobody; otherwise each is assigned and audited.
TEST_P(AttendanceHostTest, AssigningSeveralPeopleIsAllOrNothing) {
  const AttendanceSite at = Site(At(1, 0));
  AddShift(at, attendance::Shift{.name = "day"}, std::vector<bool>{true, true, true, true, true, false, false});
  AddShift(at, attendance::Shift{.name = "late", .start = 13 * 60, .end = 22 * 60}, std::vector<bool>(7, true));
  attendance::Assignment held{0, "late", attendance::TargetKind::kPerson, 19, "", "2026-11-10", std::nullopt};
  held.id = Assign(at, held);
  attendance::Assignment day{0, "day", attendance::TargetKind::kPerson, 0, "", "2026-11-01", std::nullopt};
  const struct {
    const char* what;
    std::vector<std::int32_t> people;
    const char* says;
  } refused[] = {
      {"a clash on the last person", {17, 18, 19}, "person 19 has assignment 1 (pattern late) on those days already; nothing assigned"},
      {"a clash on the first person", {19, 17}, "person 19 has assignment 1"},
      {"a person named twice", {17, 18, 17}, "person 17 is named twice"},
      {"no person number", {17, 0}, "person 0 is no person number"},
      {"nobody", {}, "needs at least one person"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    try {
      Assign(at, day, c.people);
      ADD_FAILURE() << "assigned";
    } catch (const InputError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
    EXPECT_EQ(ListAssignments(at), std::vector{held});
  }
  // Until the day before: no clash, and all three are assigned, in order, each audited.
  day.until = "2026-11-09";
  auto assigned = [&] {
    std::vector<std::string> details;
    for (const store::AuditEntry& e : db_->Accounts()->AuditTrail(100, std::nullopt))
      if (e.action == "shift.assign") details.push_back(e.details);
    return details;
  };
  ASSERT_EQ(assigned().size(), 1u);
  const std::vector<std::int64_t> ids = Assign(at, day, {17, 18, 19});
  ASSERT_EQ(ids.size(), 3u);
  const std::vector<attendance::Assignment> all = ListAssignments(at);
  ASSERT_EQ(all.size(), 4u);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(all[i + 1].id, ids[i]);
    EXPECT_EQ(all[i + 1].person, 17 + static_cast<std::int32_t>(i));
  }
  const std::vector<std::string> audited = assigned();
  ASSERT_EQ(audited.size(), 4u);
  for (const char* person : {"person 17", "person 18", "person 19"})
    EXPECT_EQ(std::count_if(audited.begin(), audited.end(),
                            [&](const std::string& d) { return d.find(person) != std::string::npos && d.find("pattern day") != std::string::npos; }),
              1)
        << person;
}

// The report over a month end with the rules' statuses: a late day, an absent day without a swipe
// (counted), rest days, days pending on a terminal not synced since, a person with a shift but no
// swipe nor name (reported, not lost), the one-person report judging that person alone.
TEST_P(AttendanceHostTest, TheReportCarriesEachDaysStatusOverAMonthEnd) {
  const AttendanceSite setup = Site(At(1, 0));
  attendance::Shift day;
  day.name = "day";
  AddShift(setup, day, std::vector<bool>{true, true, true, true, true, false, false});
  for (std::int32_t person : {7, 9}) {
    attendance::Assignment a;
    a.pattern = "day", a.person = person, a.from = "2026-10-01";
    Assign(setup, a);
  }
  db_->Swipes()->PutPeople(std::vector<store::PersonName>{{7, "Ann", "Stores"}, {8, "Bo", "Office"}});
  std::vector<store::StoredSwipe> swipes;
  for (const char* time : {"2026-10-30 09:20:00", "2026-10-30 18:30:00", "2026-11-02 08:55:00", "2026-11-02 18:10:00",
                           "2026-11-04 08:50:00", "2026-11-04 18:00:00"})
    swipes.push_back({1, 1, 7, std::string(time).substr(0, 16), 1, time, "2026-11-05T10:00:00Z"});
  db_->Swipes()->Insert(swipes);
  Sync("2026-11-04T06:00:00Z", "synced");  // after 3 November's window, before 4 November's
  const AttendanceSite at = Site(At(5, 12));  // 5 November, noon: its day is still open
  const report::DayRange range{{2026, 10, 30}, {2026, 11, 5}};

  const report::Report all = BuildJudgedReport(at, range, 0, std::nullopt);
  ASSERT_TRUE(all.judged);
  ASSERT_EQ(all.people.size(), 3u);  // 7 and 8 of the people table, 9 by the shift alone
  EXPECT_EQ(all.people[2].person, 9);
  EXPECT_FALSE(all.people[2].name);
  struct Case {
    std::size_t who;
    report::Date date;
    const char* status;
    bool swiped;
    int late_minutes;
  } cases[] = {
      {0, {2026, 10, 30}, "late", true, 20},          {0, {2026, 10, 31}, "rest", false, 0},
      {0, {2026, 11, 2}, "present", true, 0},         {0, {2026, 11, 3}, "absent", false, 0},
      {0, {2026, 11, 4}, "pending", true, 0},         {2, {2026, 11, 3}, "absent", false, 0},
  };
  for (const Case& c : cases) {
    const report::PersonReport& p = all.people[c.who];
    const std::string where = std::to_string(p.person) + " " + report::DateText(c.date);
    const report::JudgedDay* j = p.JudgedOn(c.date);
    ASSERT_TRUE(j) << where;
    EXPECT_EQ(j->status, c.status) << where;
    EXPECT_EQ(j->late_minutes, c.late_minutes) << where;
    EXPECT_EQ(std::any_of(p.days.begin(), p.days.end(), [&](const report::DayEntry& e) { return e.day == c.date; }), c.swiped)
        << where;
  }
  EXPECT_EQ(all.people[0].StatusCounts(),
            (std::map<std::string, int>{{"late", 1}, {"rest", 2}, {"present", 1}, {"absent", 1}, {"pending", 2}}));
  EXPECT_EQ(all.people[2].StatusCounts(), (std::map<std::string, int>{{"absent", 3}, {"rest", 2}, {"pending", 2}}));

  // One person's report: the same days, nobody else.
  const report::Report one = BuildJudgedReport(at, range, 0, std::nullopt, {7});
  ASSERT_EQ(one.people.size(), 1u);
  EXPECT_EQ(one.people[0].judged, all.people[0].judged);
  // A range ending before it starts is refused by the range judge.
  EXPECT_THROW(JudgeRange(at, "2026-11-05", "2026-10-30", std::nullopt), InputError);
}

// A part of a month is judged alone, and its days are the whole month's days: a night shift
// whose window pushes the next day's window open (an assignment changing on the 15th), a Friday
// night whose window takes a swipe of Sunday morning (a part from Sunday on still gives it to
// Friday), a
// department's shift, a holiday, leave, a correction of a person without a name, and a person
// whose only swipes lie outside the part (named by the month, so by the part too); over a month
// end, and for one person.
TEST_P(AttendanceHostTest, APartOfAMonthIsJudgedAsTheWholeMonthJudgesIt) {
  const AttendanceSite at = Site(At(20, 0));
  attendance::Shift night;
  night.name = "night", night.start = 22 * 60, night.end = 6 * 60, night.window_before = 600, night.window_after = 300;
  AddShift(at, night, std::vector<bool>(7, true));
  attendance::Shift day;
  day.name = "day";
  AddShift(at, day, std::vector<bool>{true, true, true, true, true, false, false});
  attendance::Assignment nights;
  nights.pattern = "night", nights.person = 7, nights.from = "2026-09-01", nights.until = "2026-10-14";
  Assign(at, nights);
  attendance::Assignment days = nights;
  days.pattern = "day", days.from = "2026-10-15", days.until.reset();
  Assign(at, days);
  attendance::Assignment stores;
  stores.pattern = "day", stores.target = attendance::TargetKind::kDepartment, stores.department = "Stores";
  stores.from = "2026-09-01";
  Assign(at, stores);
  // Friday nights only, their window reaching into Sunday morning over the rest day between.
  attendance::Shift friday;
  friday.name = "friday", friday.start = 22 * 60, friday.end = 6 * 60, friday.window_before = 60;
  friday.window_after = 1439;
  AddShift(at, friday, std::vector<bool>{false, false, false, false, true, false, false});
  attendance::Assignment fridays = nights;
  fridays.pattern = "friday", fridays.person = 13, fridays.until.reset();
  Assign(at, fridays);
  SetDayOff(at, {"2026-10-09", attendance::DayOffKind::kHoliday, "Founders"});
  db_->Swipes()->PutPeople(std::vector<store::PersonName>{{7, "Ann", "Office"}, {8, "Bo", "Stores"}});
  std::vector<store::StoredSwipe> swipes;
  auto swipe = [&](std::int32_t person, const std::string& time) {
    swipes.push_back({1, 1, person, time.substr(0, 16), 1, time, "2026-11-10T10:00:00Z"});
  };
  for (const char* time : {"2026-09-30 22:10:00", "2026-10-01 06:00:00", "2026-10-13 21:50:00", "2026-10-14 05:55:00",
                           "2026-10-14 22:00:00", "2026-10-15 06:00:00", "2026-10-15 10:30:00", "2026-10-15 18:05:00",
                           "2026-10-16 08:58:00", "2026-10-16 17:59:00", "2026-10-30 09:00:00", "2026-11-02 09:00:00"})
    swipe(7, time);
  for (const char* time : {"2026-10-02 09:10:00", "2026-10-02 18:00:00", "2026-10-16 09:00:00", "2026-10-30 09:05:00"})
    swipe(8, time);
  for (const char* time : {"2026-10-16 22:00:00", "2026-10-17 06:00:00", "2026-10-18 05:00:00"}) swipe(13, time);
  swipe(11, "2026-10-03 10:00:00");  // no name, no shift: only in the month's first days
  swipe(11, "2026-10-03 15:00:00");
  db_->Swipes()->Insert(swipes);
  attendance::Leave leave;
  leave.person = 8, leave.kind = "annual", leave.from = "2026-10-20", leave.to = "2026-10-21";
  AddLeave(at, {leave});
  attendance::Correction added;
  added.person = 12, added.time = "2026-10-05 09:00:00", added.direction = attendance::Direction::kIn;
  added.reason = "forgot the card";
  AddCorrection(at, added);
  Sync("2026-11-10T00:00:00Z", "synced");

  auto text = [](const std::vector<attendance::DayResult>& list) {
    std::vector<std::string> out;
    for (const attendance::DayResult& d : list) out.push_back(DayJson(d).dump());
    return out;
  };
  struct Case {
    const char* first;
    const char* last;
    std::optional<std::int32_t> person;
  };
  const Case cases[] = {
      {"2026-10-13", "2026-10-19", std::nullopt}, {"2026-10-15", "2026-10-15", std::nullopt},
      {"2026-10-16", "2026-10-16", std::nullopt}, {"2026-10-01", "2026-10-03", std::nullopt},
      {"2026-10-29", "2026-11-02", std::nullopt}, {"2026-10-01", "2026-10-31", std::nullopt},
      {"2026-10-15", "2026-10-17", 7},            {"2026-10-20", "2026-10-20", 8},
      {"2026-10-18", "2026-10-18", std::nullopt}, {"2026-10-18", "2026-10-20", 13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + ".." + c.last + (c.person ? " of " + std::to_string(*c.person) : ""));
    std::vector<attendance::DayResult> whole;
    for (const char* month : {"2026-10", "2026-11"})
      for (attendance::DayResult& d : JudgeMonth(at, month, c.person).days)
        if (d.date >= c.first && d.date <= c.last) whole.push_back(std::move(d));
    std::stable_sort(whole.begin(), whole.end(),
                     [](const attendance::DayResult& a, const attendance::DayResult& b) { return a.person < b.person; });
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(text(JudgeRange(at, c.first, c.last, c.person)), text(whole));
  }
  // The people the month names are named by a week of it: 11 swiped on the 3rd only, 12 has a
  // correction on the 5th only.
  std::set<std::int32_t> named;
  for (const attendance::DayResult& d : JudgeRange(at, "2026-10-13", "2026-10-19", std::nullopt)) named.insert(d.person);
  EXPECT_EQ(named, (std::set<std::int32_t>{7, 8, 11, 12, 13}));
}

// Each operation that judges holds one connection of the pool at a time: over a handle of one
// connection (PostgreSQL's pool bounds it; a second borrow would wait out the lock timeout and
// fail) it judges, corrects and closes as the ordinary handle does, day for day, and writes.
TEST_P(AttendanceHostTest, JudgingHoldsOneConnectionAtATime) {
  const AttendanceSite at = Site(At(20, 0));
  Office(at);
  std::vector<store::StoredSwipe> swipes;
  for (const char* time : {"2026-10-01 08:55:00", "2026-10-01 17:05:00", "2026-10-02 09:20:00", "2026-10-30 09:00:00"})
    swipes.push_back({1, 1, 7, std::string(time).substr(0, 16), 1, time, "2026-11-10T10:00:00Z"});
  db_->Swipes()->Insert(swipes);
  Sync("2026-11-10T00:00:00Z", "synced");

  db::DatabaseOptions one;
  one.pool_size = 1;
  one.lock_timeout = std::chrono::milliseconds(2000);
  const std::shared_ptr<db::Database> narrow = db::Database::Open(location_, one);
  const AttendanceSite alone{*narrow, choice_, &site_, {"tester", "test"}, At(20, 0)};
  auto text = [](const std::vector<attendance::DayResult>& list) {
    std::vector<std::string> out;
    for (const attendance::DayResult& d : list) out.push_back(DayJson(d).dump());
    return out;
  };
  for (std::optional<std::int32_t> person : {std::optional<std::int32_t>(), std::optional<std::int32_t>(7)}) {
    SCOPED_TRACE(person ? "person 7" : "the site");
    const std::vector<std::string> expected = text(JudgeMonth(at, "2026-10", person).days);
    ASSERT_EQ(expected.size(), person ? 31u : 62u);
    EXPECT_EQ(text(JudgeMonth(alone, "2026-10", person).days), expected);
    EXPECT_EQ(text(JudgeRange(alone, "2026-10-01", "2026-10-31", person)), expected);
  }
  attendance::Correction out;
  out.person = 7, out.time = "2026-10-02 17:00:00", out.direction = attendance::Direction::kOut;
  out.reason = "forgot the card";
  const std::int64_t correction = AddCorrection(alone, out);
  CloseMonth(alone, "2026-10");
  const MonthAttendance closed = JudgeMonth(alone, "2026-10", 7);
  EXPECT_TRUE(closed.closed);
  EXPECT_EQ(text(closed.days), text(JudgeMonth(at, "2026-10", 7).days));
  // And every write, each with its audit row.
  ReopenMonth(alone, "2026-10");
  WithdrawCorrection(alone, correction);
  AddShift(alone, attendance::Shift{"late", 13 * 60, 21 * 60}, std::nullopt);
  ChangeShift(alone, attendance::Shift{"late", 14 * 60, 22 * 60});
  AddPattern(alone, {"lates", attendance::PatternKind::kWeek, "", {"late", "late", "", "", "", "", ""}});
  attendance::Assignment lates;
  lates.pattern = "lates", lates.person = 8, lates.from = "2026-11-01";
  Unassign(alone, Assign(alone, lates));
  RemovePattern(alone, "lates");
  RemoveShift(alone, "late");
  SetDayOff(alone, {"2026-10-09", attendance::DayOffKind::kHoliday, "Founders"});
  attendance::Leave leave;
  leave.person = 8, leave.kind = "annual", leave.from = "2026-10-20", leave.to = "2026-10-21";
  WithdrawLeave(alone, AddLeave(alone, {leave}).at(0));
  // The list to review, a day marked and unmarked, the judged report.
  EXPECT_FALSE(ToReview(alone, "2026-10-01", "2026-10-07", {}).days.empty());
  MarkReviewed(alone, 7, "2026-10-02", "seen");
  UnmarkReviewed(alone, 7, "2026-10-02");
  EXPECT_FALSE(BuildJudgedReport(alone, {{2026, 10, 1}, {2026, 10, 31}}, 0, std::nullopt, {}).people.empty());
  EXPECT_EQ(ListDaysOff(at, "2026").size(), 1u);
  EXPECT_EQ(ListShifts(at).size(), 1u);
}

// A judged day whose date is none (a closed month's kept days are read back from the database)
// is refused naming it, never put on another day.
TEST(JudgedReport, AJudgedDayOfNoDateIsRefused) {
  struct Case {
    const char* date;
    bool taken;
  };
  const Case cases[] = {{"2026-03-14", true}, {"2026-02-30", false}, {"2026-03-1x", false},
                        {"2026-3-14", false},  {"2026-03-14 ", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date);
    report::Report rep;
    rep.days = {{2026, 2, 1}, {2026, 3, 31}};
    attendance::DayResult d;
    d.person = 7, d.date = c.date, d.status = attendance::Status::kPresent;
    if (!c.taken) {
      try {
        AddJudgement(rep, {d});
        ADD_FAILURE() << "taken";
      } catch (const HostError& e) {
        EXPECT_NE(std::string(e.what()).find(std::string("day ") + c.date + " of person 7"), std::string::npos) << e.what();
      }
      continue;
    }
    AddJudgement(rep, {d});
    ASSERT_EQ(rep.people.size(), 1u);
    ASSERT_EQ(rep.people[0].judged.size(), 1u);
    EXPECT_EQ(rep.people[0].judged[0].day, (report::Date{2026, 3, 14}));
  }
}

// A list of people as the command line's --people and the console's assign form give it: each
// number once, in order; a bad part refused naming the list and the part, never a hang on a long one.
TEST(PeopleNumbers, ListsAndRangesOfPeople) {
  const struct {
    const char* text;
    std::vector<std::int32_t> people;
    const char* refusal;
  } cases[] = {
      {"17-19,23", {17, 18, 19, 23}, nullptr},
      {"5, 3-4,5", {5, 3, 4}, nullptr},
      {"", {}, "people '': '' is no person number"},
      {"1,,2", {}, "people '1,,2': '' is no person number"},
      {"0", {}, "'0' is no person number"},
      {"1-x", {}, "'x' is no person number"},
      {"-3", {}, "'' is no person number"},
      {"3-1", {}, "range '3-1' is inverted"},
      {"1-100001", {}, "range '1-100001' is too long"},
      {"1-99999,100000-199998", {}, "names more than 100000 people"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    if (!c.refusal) {
      EXPECT_EQ(PeopleNumbers(c.text, "people"), c.people);
      continue;
    }
    try {
      PeopleNumbers(c.text, "people");
      ADD_FAILURE() << "taken";
    } catch (const InputError& e) {
      EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(PeopleNumbers("1-99999,1-99999", "people").size(), 99999u);  // the same people twice, once each
}

// A month kept between requests is answered again only while nothing it was judged from changed:
// after each kind of write, by another handle as another process writes, it is judged anew and
// equals a month judged without keeping; and the clock passing a day's window judges it anew.
TEST_P(AttendanceHostTest, AKeptMonthHoldsUntilAWriteOrTheClockChangesIt) {
  JudgedMonths kept;
  AttendanceSite at = Site(At(20, 0));
  at.judged = &kept;
  AttendanceSite fresh = at;
  fresh.judged = nullptr;
  Office(at);
  auto swipe = [](std::int32_t person, const std::string& time) {
    return store::StoredSwipe{1, 1, person, time.substr(0, 16), 1, time, "2026-11-10T10:00:00Z"};
  };
  db_->Swipes()->Insert(std::vector<store::StoredSwipe>{swipe(7, "2026-10-01 08:55:00"), swipe(7, "2026-10-01 17:05:00")});
  Sync("2026-11-10T00:00:00Z", "synced");

  const std::shared_ptr<db::Database> other = db::Database::Open(location_);
  const AttendanceSite elsewhere{*other, choice_, &site_, {"other", "test"}, At(20, 0)};
  auto days = [](const std::vector<attendance::DayResult>& list) {
    std::vector<std::string> out;
    for (const attendance::DayResult& d : list) out.push_back(DayJson(d).dump());
    return out;
  };
  const std::shared_ptr<const MonthAttendance> first = JudgedMonth(at, "2026-10", std::nullopt);
  EXPECT_EQ(JudgedMonth(at, "2026-10", std::nullopt), first) << "judged again with nothing changed";

  attendance::Correction added;
  added.person = 8, added.time = "2026-10-05 09:00:00", added.direction = attendance::Direction::kIn, added.reason = "late card";
  attendance::Leave leave;
  leave.person = 7, leave.kind = "annual", leave.from = "2026-10-06", leave.to = "2026-10-06";
  attendance::Assignment bo;
  bo.pattern = "day", bo.person = 8, bo.from = "2026-10-01";
  const std::vector<std::pair<const char*, std::function<void()>>> writes = {
      {"a swipe stored", [&] { other->Swipes()->Insert(std::vector<store::StoredSwipe>{swipe(8, "2026-10-02 09:30:00")}); }},
      {"a swipe removed", [&] {
         other->Tables(false)->Exec("DELETE FROM swipes WHERE person = 8", {}, "removing a swipe");
       }},
      {"a person added", [&] { other->Swipes()->PutPeople(std::vector<store::PersonName>{{9, "Cy", "Office"}}); }},
      {"a shift changed", [&] { ChangeShift(elsewhere, attendance::Shift{"day", 8 * 60, 16 * 60}); }},
      {"a pattern assigned", [&] { Assign(elsewhere, bo); }},
      {"a holiday set", [&] { SetDayOff(elsewhere, {"2026-10-09", attendance::DayOffKind::kHoliday, "Founders"}); }},
      {"leave added", [&] { AddLeave(elsewhere, {leave}); }},
      {"a correction added", [&] { AddCorrection(elsewhere, added); }},
      {"a sync run", [&] {
         auto runs = other->SyncRuns();
         runs->Begin("2026-11-12T00:00:00Z", store::RunStarter::Command, "other", "", "");
       }},
      {"the month closed", [&] { CloseMonth(elsewhere, "2026-10"); }},
      {"the month reopened", [&] { ReopenMonth(elsewhere, "2026-10"); }},
  };
  for (const auto& [what, write] : writes) {
    SCOPED_TRACE(what);
    const std::shared_ptr<const MonthAttendance> before = JudgedMonth(at, "2026-10", std::nullopt);
    const std::shared_ptr<const MonthAttendance> person = JudgedMonth(at, "2026-10", 8);
    write();
    const std::shared_ptr<const MonthAttendance> after = JudgedMonth(at, "2026-10", std::nullopt);
    EXPECT_NE(after, before) << "kept after the write";
    EXPECT_NE(JudgedMonth(at, "2026-10", 8), person) << "a person's month kept after the write";
    EXPECT_EQ(days(after->days), days(JudgeMonth(fresh, "2026-10", std::nullopt).days));
    EXPECT_EQ(after->closed, JudgeMonth(fresh, "2026-10", std::nullopt).closed);
    EXPECT_EQ(days(JudgedMonth(at, "2026-10", 8)->days), days(JudgeMonth(fresh, "2026-10", 8).days));
  }

  // The clock: on 2026-11-20 at noon the day's window is open (pending); an hour later it is
  // still, and the month kept holds; after its window closed the day is judged anew.
  auto noon = [&](int hour) {
    AttendanceSite when = at;
    when.now = At(20, hour);
    return when;
  };
  Sync("2026-11-19T23:00:00Z", "synced");
  const std::shared_ptr<const MonthAttendance> open = JudgedMonth(noon(12), "2026-11", 7);
  EXPECT_EQ(JudgedMonth(noon(13), "2026-11", 7), open);
  const std::shared_ptr<const MonthAttendance> later = JudgedMonth(noon(23), "2026-11", 7);
  EXPECT_NE(later, open);
  AttendanceSite late_fresh = noon(23);
  late_fresh.judged = nullptr;
  EXPECT_EQ(days(later->days), days(JudgeMonth(late_fresh, "2026-11", 7).days));
}

// Kept months: one caller judges a month others ask for at once (they take its month, or judge
// themselves when it gave up), every wait bounded; a month holds for its count of changes and
// until its time; the months used least lately go first when the days kept would pass the bound.
TEST(JudgedMonthsTest, OneCallerJudgesAMonthOthersWaitForWithinABound) {
  using std::chrono::milliseconds;
  JudgedMonths kept(5);
  auto month = [](std::size_t days) {
    auto m = std::make_shared<MonthAttendance>();
    m->days.resize(days);
    return std::shared_ptr<const MonthAttendance>(m);
  };
  bool claimed = false, other = false;
  EXPECT_EQ(kept.Claim("a", 1, 0, milliseconds(60000), &claimed), nullptr);
  ASSERT_TRUE(claimed);
  const std::shared_ptr<const MonthAttendance> a = month(2);
  std::shared_ptr<const MonthAttendance> seen;
  std::thread waiter([&] { seen = kept.Claim("a", 1, 0, milliseconds(60000), &other); });
  kept.Keep("a", 1, 100, a);
  kept.Release("a");
  waiter.join();
  EXPECT_EQ(seen, a);
  EXPECT_FALSE(other);
  // Given up without a month: the one waiting judges.
  EXPECT_EQ(kept.Claim("b", 1, 0, milliseconds(60000), &claimed), nullptr);
  std::thread second([&] { seen = kept.Claim("b", 1, 0, milliseconds(60000), &other); });
  kept.Release("b");
  second.join();
  EXPECT_EQ(seen, nullptr);
  EXPECT_TRUE(other);
  // A claim never released: the wait runs out, unclaimed.
  EXPECT_EQ(kept.Claim("b", 1, 0, milliseconds(1), &other), nullptr);
  EXPECT_FALSE(other);
  kept.Release("b");
  // Holding: the count and the clock.
  EXPECT_EQ(kept.Find("a", 1, 99), a);
  EXPECT_EQ(kept.Find("a", 1, 100), nullptr);
  EXPECT_EQ(kept.Find("a", 2, 0), nullptr);
  // The bound: 2 + 2 days kept, "a" used lately; 2 more give up "c", not "a".
  kept.Keep("c", 1, 100, month(2));
  EXPECT_EQ(kept.Find("a", 1, 0), a);
  kept.Keep("d", 1, 100, month(2));
  EXPECT_EQ(kept.Find("c", 1, 0), nullptr);
  EXPECT_EQ(kept.Find("a", 1, 0), a);
  // A newer count gives up every month of an older one.
  kept.Keep("e", 2, 100, month(1));
  EXPECT_EQ(kept.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, AttendanceHostTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::host
