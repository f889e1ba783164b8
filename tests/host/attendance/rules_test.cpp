// The attendance rules judged day by day: shifts, pairs, breaks, leave, days off, corrections,
// daylight-saving nights, the pending rule and the checks of patterns, assignments and corrections.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/attendance/rules.h"

namespace vanto::attendance {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Terminal 1:1 has no direction, 1:2 is an "in" terminal and 1:3 an "out" one; all collected
// and synced long after the days judged, unless a case says otherwise.
Shift DayShift() {
  Shift s;
  s.name = "day";
  s.start = 9 * 60;
  s.end = 18 * 60;
  s.late_grace = 5;
  s.early_grace = 5;
  s.break_minutes = 60;
  return s;
}

Shift NightShift() {
  Shift s;
  s.name = "night";
  s.start = 22 * 60;
  s.end = 6 * 60;
  s.window_before = 120;
  s.window_after = 180;
  return s;
}

MonthInput Input(const Shift& shift, const std::string& date, const std::string& timezone = "UTC") {
  MonthInput in;
  in.site = "main";
  in.timezone = timezone;
  in.first = in.last = date;
  in.now = "2030-01-01T00:00:00Z";
  in.people = {{1, "ops"}};
  in.shifts = {shift};
  in.patterns = {{"every", PatternKind::kRotation, "2020-01-01", {shift.name}}};
  in.assignments = {{1, "every", TargetKind::kPerson, 1, "", "2020-01-01", std::nullopt}};
  in.terminals = {{1, 1, "2029-12-31T00:00:00Z", true, Direction::kUnknown},
                  {1, 2, "2029-12-31T00:00:00Z", true, Direction::kIn},
                  {1, 3, "2029-12-31T00:00:00Z", true, Direction::kOut}};
  return in;
}

// "2026-03-10 09:00:00" from terminal 1:1, "in 2026-..." from 1:2, "out 2026-..." from 1:3.
void AddSwipes(MonthInput* in, const std::vector<std::string>& swipes) {
  for (const std::string& s : swipes) {
    if (s.rfind("in ", 0) == 0)
      in->swipes.push_back({1, s.substr(3), 1, 2});
    else if (s.rfind("out ", 0) == 0)
      in->swipes.push_back({1, s.substr(4), 1, 3});
    else
      in->swipes.push_back({1, s, 1, 1});
  }
}

DayResult OnlyDay(const MonthInput& in) {
  const std::vector<DayResult> days = JudgeDays(in);
  EXPECT_EQ(days.size(), 1u);
  return days.empty() ? DayResult{} : days.front();
}

std::vector<std::string> FindingWords(const DayResult& day) {
  std::vector<std::string> words;
  for (const Finding& f : day.findings) words.push_back(FindingWord(f.kind) + (f.minutes ? "=" + std::to_string(f.minutes) : ""));
  return words;
}

Leave LeaveOf(const std::string& date, const std::string& kind, std::optional<int> part_start = std::nullopt,
              std::optional<int> part_end = std::nullopt) {
  Leave l;
  l.id = 7;
  l.person = 1;
  l.kind = kind;
  l.from = l.to = date;
  l.part_start = part_start;
  l.part_end = part_end;
  return l;
}

TEST(JudgeDaysTest, SingleDays) {
  Shift flexible = DayShift();
  flexible.name = "flex";
  flexible.start = 7 * 60;
  flexible.end = 19 * 60;
  flexible.late_grace = flexible.early_grace = 0;
  flexible.break_minutes = 0;
  flexible.flexible = true;
  flexible.core_start = 10 * 60;
  flexible.core_end = 15 * 60;
  flexible.required_minutes = 480;
  struct Case {
    const char* name;
    Shift shift;
    const char* date;
    const char* timezone;
    std::vector<std::string> swipes;
    std::function<void(MonthInput&)> more;
    const char* status;
    int late, early, worked, overtime;
    std::vector<std::string> findings;
  };
  const auto none = [](MonthInput&) {};
  const Case cases[] = {
      {"on time", DayShift(), "2026-03-10", "UTC", {"2026-03-10 09:00:00", "2026-03-10 18:00:00"}, none,
       "present", 0, 0, 480, 0, {}},
      {"at the grace minute (seconds dropped)", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 09:05:59", "2026-03-10 18:10:00"}, none, "present", 0, 0, 485, 5, {"overtime=5"}},
      {"one past the grace minute, late from the start", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 09:06:00", "2026-03-10 18:10:00"}, none, "late", 6, 0, 484, 4, {"late=6", "overtime=4"}},
      {"leaving at the grace minute", DayShift(), "2026-03-10", "UTC", {"2026-03-10 08:50:00", "2026-03-10 17:55:00"},
       none, "present", 0, 0, 485, 5, {"overtime=5"}},
      {"leaving one minute before it", DayShift(), "2026-03-10", "UTC", {"2026-03-10 08:50:00", "2026-03-10 17:54:00"},
       none, "left-early", 0, 6, 484, 4, {"left-early=6", "overtime=4"}},
      {"late and left early", DayShift(), "2026-03-10", "UTC", {"2026-03-10 09:30:00", "2026-03-10 17:30:00"}, none,
       "half-day", 30, 30, 420, 0, {"late=30", "left-early=30", "half-day=420"}},
      {"one swipe", DayShift(), "2026-03-10", "UTC", {"2026-03-10 09:00:00"}, none, "missing-swipe", 0, 0, 0, 0,
       {"missing-swipe"}},
      {"four swipes with a lunch hour: no break deducted", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 09:00:00", "2026-03-10 12:00:00", "2026-03-10 13:00:00", "2026-03-10 18:00:00"}, none, "present", 0,
       0, 480, 0, {}},
      {"a half-hour lunch: the rest of the break deducted", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 09:00:00", "2026-03-10 12:00:00", "2026-03-10 12:30:00", "2026-03-10 18:00:00"}, none, "present",
       0, 0, 480, 0, {}},
      {"repeats within a minute", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 09:00:00", "2026-03-10 09:00:50", "2026-03-10 18:00:00", "2026-03-10 18:01:00"}, none, "present",
       0, 0, 480, 0, {}},
      {"unknown directions two minutes apart pair up", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 09:00:00", "2026-03-10 09:02:00", "2026-03-10 18:00:00"}, none, "missing-swipe", 0, 0, 0, 0,
       {"missing-swipe"}},
      {"a repeated check-in is no check-out", DayShift(), "2026-03-10", "UTC",
       {"in 2026-03-10 09:00:00", "in 2026-03-10 09:00:30", "out 2026-03-10 18:00:00"}, none, "present", 0, 0, 480, 0,
       {}},
      {"two check-ins: the first lacks its check-out", DayShift(), "2026-03-10", "UTC",
       {"in 2026-03-10 09:00:00", "in 2026-03-10 09:02:00", "out 2026-03-10 18:00:00"}, none, "missing-swipe", 0, 0,
       478, 0, {"missing-swipe"}},
      {"a check-out without a check-in", DayShift(), "2026-03-10", "UTC",
       {"out 2026-03-10 09:00:00", "in 2026-03-10 09:10:00", "out 2026-03-10 18:00:00"}, none, "missing-swipe", 0, 0,
       470, 0, {"missing-swipe"}},
      {"no swipes", DayShift(), "2026-03-10", "UTC", {}, none, "absent", 0, 0, 0, 0, {"absent"}},
      {"a short day", DayShift(), "2026-03-10", "UTC", {"2026-03-10 09:00:00", "2026-03-10 11:00:00"}, none, "absent",
       0, 420, 60, 0, {"left-early=420", "short-day=60"}},
      {"overnight across a month end", NightShift(), "2026-03-31", "UTC",
       {"2026-03-31 21:58:00", "2026-04-01 06:02:00"}, none, "present", 0, 0, 484, 4, {"overtime=4"}},
      {"the check-out the next morning, late", NightShift(), "2026-03-31", "UTC",
       {"2026-03-31 22:00:00", "2026-04-01 08:30:00"}, none, "present", 0, 0, 630, 150, {"overtime=150"}},
      {"full-day leave with swipes", DayShift(), "2026-03-10", "UTC", {"2026-03-10 09:00:00", "2026-03-10 12:00:00"},
       [](MonthInput& in) { in.leave = {LeaveOf("2026-03-10", "annual")}; }, "leave", 0, 0, 180, 0, {"leave"}},
      {"full-day leave", DayShift(), "2026-03-10", "UTC", {},
       [](MonthInput& in) { in.leave = {LeaveOf("2026-03-10", "sick")}; }, "leave", 0, 0, 0, 0, {"leave"}},
      {"withdrawn leave counts for nothing", DayShift(), "2026-03-10", "UTC", {},
       [](MonthInput& in) {
         in.leave = {LeaveOf("2026-03-10", "sick")};
         in.leave[0].entered.withdrawn_at = "2026-03-11T00:00:00Z";
       },
       "absent", 0, 0, 0, 0, {"absent"}},
      {"a morning's leave moves the start and fills the day", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 13:00:00", "2026-03-10 18:00:00"},
       [](MonthInput& in) { in.leave = {LeaveOf("2026-03-10", "annual", 9 * 60, 13 * 60)}; }, "present", 0, 0, 240, 0,
       {"leave=240"}},
      {"an afternoon's leave moves the end", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 09:00:00", "2026-03-10 14:00:00"},
       [](MonthInput& in) { in.leave = {LeaveOf("2026-03-10", "annual", 14 * 60, 18 * 60)}; }, "present", 0, 0, 240, 0,
       {"leave=240"}},
      {"holiday worked: all overtime", DayShift(), "2026-03-10", "UTC", {"2026-03-10 09:00:00", "2026-03-10 17:00:00"},
       [](MonthInput& in) { in.days_off = {{"2026-03-10", DayOffKind::kHoliday, "Founders' Day"}}; }, "holiday", 0, 0,
       420, 420, {"holiday-worked=420"}},
      {"a holiday", DayShift(), "2026-03-10", "UTC", {},
       [](MonthInput& in) { in.days_off = {{"2026-03-10", DayOffKind::kHoliday, ""}}; }, "holiday", 0, 0, 0, 0, {}},
      {"a rest day of the pattern, worked", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 10:00:00", "2026-03-10 12:00:00"},
       [](MonthInput& in) { in.patterns[0].days = {""}; }, "rest", 0, 0, 120, 120, {"rest-worked=120"}},
      {"flexible: inside the core hours", flexible, "2026-03-10", "UTC", {"2026-03-10 08:00:00", "2026-03-10 16:00:00"},
       none, "present", 0, 0, 480, 0, {}},
      {"flexible: late against the core start", flexible, "2026-03-10", "UTC",
       {"2026-03-10 10:30:00", "2026-03-10 18:30:00"}, none, "late", 30, 0, 480, 0, {"late=30", "core-not-covered=30"}},
      {"a set-aside swipe is left out", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 09:00:00", "2026-03-10 12:00:07", "2026-03-10 18:00:00"},
       [](MonthInput& in) {
         Correction c;
         c.id = 41, c.person = 1, c.kind = CorrectionKind::kSetAside, c.time = "2026-03-10 12:00:07", c.port = 1,
         c.terminal = 1;
         in.corrections = {c};
       },
       "present", 0, 0, 480, 0, {"swipe-set-aside"}},
      {"an added check-out completes the day", DayShift(), "2026-03-10", "UTC", {"in 2026-03-10 09:00:00"},
       [](MonthInput& in) {
         Correction c;
         c.id = 42, c.person = 1, c.time = "2026-03-10 18:00:00", c.direction = Direction::kOut;
         in.corrections = {c};
       },
       "present", 0, 0, 480, 0, {"correction-added"}},
      {"a withdrawn correction counts for nothing", DayShift(), "2026-03-10", "UTC", {"in 2026-03-10 09:00:00"},
       [](MonthInput& in) {
         Correction c;
         c.id = 43, c.person = 1, c.time = "2026-03-10 18:00:00", c.direction = Direction::kOut;
         c.entered.withdrawn_at = "2026-03-11T00:00:00Z";
         in.corrections = {c};
       },
       "missing-swipe", 0, 0, 0, 0, {"missing-swipe"}},
      // Berlin's clocks go forward at 02:00 on 2026-03-29 and back at 03:00 on 2026-10-25.
      {"a night of 7 real hours", NightShift(), "2026-03-28", "Europe/Berlin",
       {"2026-03-28 22:00:00", "2026-03-29 06:00:00"}, none, "present", 0, 0, 420, 0, {}},
      {"a night of 9 real hours", NightShift(), "2026-10-24", "Europe/Berlin",
       {"2026-10-24 22:00:00", "2026-10-25 06:00:00"}, none, "present", 0, 0, 540, 0, {}},
      {"leaving in the skipped hour: as if the clock had not moved", NightShift(), "2026-03-28", "Europe/Berlin",
       {"2026-03-28 22:00:00", "2026-03-29 02:30:00"}, none, "half-day", 0, 150, 270, 0,
       {"left-early=150", "half-day=270"}},
      {"leaving in the repeated hour: its first pass", NightShift(), "2026-10-24", "Europe/Berlin",
       {"2026-10-24 22:00:00", "2026-10-25 02:30:00"}, none, "half-day", 0, 270, 270, 0, {"left-early=270", "half-day=270"}},
      {"no assignment: the simple rule, late", DayShift(), "2026-03-10", "UTC",
       {"2026-03-10 09:10:00", "2026-03-10 17:00:00"},
       [](MonthInput& in) {
         in.assignments.clear();
         in.late_after = 9 * 60;
       },
       "late", 10, 0, 470, 0, {"late=10", "simple-rule"}},
      {"no assignment and no swipes: not scheduled", DayShift(), "2026-03-10", "UTC", {},
       [](MonthInput& in) { in.assignments.clear(); }, "not-scheduled", 0, 0, 0, 0, {}},
      {"a department's pattern", DayShift(), "2026-03-10", "UTC", {},
       [](MonthInput& in) {
         in.assignments[0].target = TargetKind::kDepartment;
         in.assignments[0].department = "ops";
       },
       "absent", 0, 0, 0, 0, {"absent"}},
      {"before a rotation starts nothing is scheduled", DayShift(), "2026-03-10", "UTC", {},
       [](MonthInput& in) { in.patterns[0].starts = "2026-04-01"; }, "not-scheduled", 0, 0, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MonthInput in = Input(c.shift, c.date, c.timezone);
    AddSwipes(&in, c.swipes);
    c.more(in);
    const DayResult day = OnlyDay(in);
    EXPECT_EQ(day.date, c.date);
    EXPECT_STREQ(StatusWord(day.status), c.status);
    EXPECT_EQ(day.late_minutes, c.late);
    EXPECT_EQ(day.early_minutes, c.early);
    EXPECT_EQ(day.worked_minutes, c.worked);
    EXPECT_EQ(day.overtime_minutes, c.overtime);
    EXPECT_EQ(FindingWords(day), c.findings);
  }
}

TEST(JudgeDaysTest, DayFieldsNameTheShiftBreakLeaveAndFirstAndLastSwipe) {
  MonthInput in = Input(DayShift(), "2026-03-10");
  AddSwipes(&in, {"2026-03-10 08:59:00", "2026-03-10 12:00:00", "2026-03-10 12:30:00", "2026-03-10 18:02:00"});
  in.leave = {LeaveOf("2026-03-10", "doctor", 7 * 60, 8 * 60)};
  const DayResult day = OnlyDay(in);
  EXPECT_EQ(day.site, "main");
  EXPECT_EQ(day.shift, "day");
  EXPECT_EQ(day.break_minutes, 30);
  EXPECT_EQ(day.leave_kind, "doctor");
  EXPECT_EQ(day.first_in, "2026-03-10 08:59:00");
  EXPECT_EQ(day.last_out, "2026-03-10 18:02:00");
}

TEST(JudgeDaysTest, EveryPersonByNumberThenDateAndNoSwipeCountedTwice) {
  MonthInput in = Input(NightShift(), "2026-03-01");
  in.last = "2026-03-03";
  in.people = {{5, "ops"}, {1, "ops"}};
  AddSwipes(&in, {"2026-03-01 22:00:00", "2026-03-02 06:00:00", "2026-03-02 22:00:00", "2026-03-03 06:00:00"});
  in.swipes.push_back({3, "2026-03-02 10:00:00", 1, 1});  // not listed: judged too (the simple rule)
  const std::vector<DayResult> days = JudgeDays(in);
  std::vector<std::string> seen;
  for (const DayResult& d : days) seen.push_back(std::to_string(d.person) + " " + d.date + " " + StatusWord(d.status));
  EXPECT_THAT(seen, ElementsAre("1 2026-03-01 present", "1 2026-03-02 present", "1 2026-03-03 absent",
                                "3 2026-03-01 not-scheduled", "3 2026-03-02 present", "3 2026-03-03 not-scheduled",
                                "5 2026-03-01 not-scheduled", "5 2026-03-02 not-scheduled", "5 2026-03-03 not-scheduled"));
  EXPECT_EQ(days[0].worked_minutes + days[1].worked_minutes + days[2].worked_minutes, 960);
}

TEST(JudgeDaysTest, ADayWithoutAShiftEndsWhereTheNextShiftsWindowStarts) {
  // A rest day, then an early shift (06:00, its window from 02:00); working days start at 04:00,
  // so the rest day would reach 04:00 of the shift's day.
  Shift early = DayShift();
  early.name = "early";
  early.start = 6 * 60;
  early.end = 14 * 60;
  early.break_minutes = 0;
  MonthInput in = Input(early, "2026-03-01");
  in.last = "2026-03-02";
  in.day_starts = 4 * 60;
  in.patterns[0].days = {"", "early"};
  in.patterns[0].starts = "2026-03-01";
  AddSwipes(&in, {"2026-03-01 10:00:00", "2026-03-01 11:00:00", "2026-03-02 03:00:00", "2026-03-02 14:00:00"});
  const std::vector<DayResult> days = JudgeDays(in);
  ASSERT_EQ(days.size(), 2u);
  EXPECT_EQ(StatusWord(days[0].status), std::string("rest"));
  EXPECT_EQ(days[0].worked_minutes, 60);
  EXPECT_EQ(StatusWord(days[1].status), std::string("present"));
  EXPECT_EQ(days[1].first_in, "2026-03-02 03:00:00");
  EXPECT_EQ(days[1].worked_minutes, 660);
}

TEST(JudgeDaysTest, PendingUntilEveryCollectedTerminalSyncedAfterTheWindow) {
  // The day shift of 2026-03-10 (UTC) closes at 2026-03-11 00:00 (18:00 + 6 hours).
  struct Case {
    const char* name;
    std::string last_complete;
    bool collected;
    std::string now;
    std::function<void(MonthInput&)> more;
    const char* status;
    std::vector<Waiting> pending;
    std::vector<std::string> findings;
  };
  const auto none = [](MonthInput&) {};
  const Case cases[] = {
      {"synced before the window closed", "2026-03-10T23:59:59Z", true, "2026-03-12T00:00:00Z", none, "pending",
       {{"1:1", "2026-03-10T23:59:59Z"}}, {}},
      {"synced as it closed", "2026-03-11T00:00:00Z", true, "2026-03-12T00:00:00Z", none, "absent", {}, {"absent"}},
      {"never synced", "", true, "2026-03-12T00:00:00Z", none, "pending", {{"1:1", ""}}, {}},
      {"not collected: not waited for", "", false, "2026-03-12T00:00:00Z", none, "absent", {}, {"absent"}},
      {"past the limit: judged without it", "", true, "2026-03-18T00:00:00Z", none, "absent", {},
       {"absent", "judged-without"}},
      {"a day before the limit", "", true, "2026-03-17T23:59:59Z", none, "pending", {{"1:1", ""}}, {}},
      {"the window still open", "2026-03-10T20:00:00Z", true, "2026-03-10T20:00:01Z", none, "pending",
       {{"1:1", "2026-03-10T20:00:00Z"}}, {}},
      {"a holiday keeps its status", "", true, "2026-03-12T00:00:00Z",
       [](MonthInput& in) { in.days_off = {{"2026-03-10", DayOffKind::kHoliday, ""}}; }, "holiday", {}, {}},
      {"full-day leave keeps its status", "", true, "2026-03-12T00:00:00Z",
       [](MonthInput& in) { in.leave = {LeaveOf("2026-03-10", "annual")}; }, "leave", {}, {"leave"}},
      {"a simple-rule day waits too", "", true, "2026-03-12T00:00:00Z",
       [](MonthInput& in) {
         in.assignments.clear();
         AddSwipes(&in, {"2026-03-10 09:00:00"});
       },
       "pending", {{"1:1", ""}}, {"simple-rule"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MonthInput in = Input(DayShift(), "2026-03-10");
    in.terminals = {{1, 1, c.last_complete, c.collected, Direction::kUnknown}};
    in.now = c.now;
    c.more(in);
    const DayResult day = OnlyDay(in);
    EXPECT_STREQ(StatusWord(day.status), c.status);
    EXPECT_EQ(day.pending, c.pending);
    EXPECT_EQ(FindingWords(day), c.findings);
  }
}

TEST(JudgeDaysTest, InputItCannotReadIsRefusedNamingIt) {
  MonthInput in = Input(DayShift(), "2026-03-10");
  in.timezone = "Mars/Olympus";
  EXPECT_THROW(
      try { JudgeDays(in); } catch (const std::invalid_argument& e) {
        EXPECT_THAT(e.what(), HasSubstr("Mars/Olympus"));
        throw;
      },
      std::invalid_argument);
  in = Input(DayShift(), "2026-02-30");
  EXPECT_THROW(JudgeDays(in), std::invalid_argument);
}

TEST(WordsTest, EveryStatusAndFindingHasItsWordAndBack) {
  const char* statuses[] = {"present", "late",  "left-early", "absent", "missing-swipe", "half-day",
                            "leave",   "holiday", "rest",     "not-scheduled", "pending"};
  for (int s = 0; s < 11; ++s) {
    EXPECT_STREQ(StatusWord(static_cast<Status>(s)), statuses[s]);
    EXPECT_EQ(StatusOf(statuses[s]), static_cast<Status>(s));
  }
  EXPECT_EQ(StatusOf("Present"), std::nullopt);
  EXPECT_STREQ(FindingWord(FindingKind::kSimpleRule), "simple-rule");
  EXPECT_STREQ(FindingWord(FindingKind::kJudgedWithout), "judged-without");
  EXPECT_EQ(CorrectionKindOf(CorrectionKindWord(CorrectionKind::kSetAside)), CorrectionKind::kSetAside);
  EXPECT_EQ(DirectionOf("out"), Direction::kOut);
  EXPECT_EQ(DirectionOf("sideways"), std::nullopt);
  EXPECT_EQ(PatternKindOf("rotation"), PatternKind::kRotation);
  EXPECT_EQ(DayOffKindOf("rest"), DayOffKind::kRest);
  EXPECT_EQ(TargetKindOf("department"), TargetKind::kDepartment);
}

TEST(ChecksTest, Patterns) {
  Shift early = DayShift();
  early.name = "early";
  early.start = 6 * 60;
  early.end = 14 * 60;
  Shift bad = DayShift();
  bad.end = 1440;
  Shift negative = DayShift();
  negative.window_after = -1;
  Shift flexible_outside = DayShift();
  flexible_outside.name = "flex";
  flexible_outside.flexible = true;
  flexible_outside.core_start = 8 * 60;
  flexible_outside.core_end = 12 * 60;
  Shift flexible_night = NightShift();
  flexible_night.flexible = true;
  flexible_night.core_start = 23 * 60;
  flexible_night.core_end = 3 * 60;
  const std::vector<std::string> week_of_day(7, "day");
  struct Case {
    const char* name;
    std::vector<Shift> shifts;
    std::vector<Pattern> patterns;
    const char* message;  // "" none
  };
  const Case cases[] = {
      {"day shifts every day", {DayShift()}, {{"week", PatternKind::kWeek, "", week_of_day}}, ""},
      {"a night before an early shift", {NightShift(), early},
       {{"mixed", PatternKind::kWeek, "", {"night", "early", "", "", "", "", ""}}},
       "shift night's window overlaps shift early's on the next day of pattern mixed"},
      {"Sunday's night before Monday's early shift", {NightShift(), early},
       {{"wrap", PatternKind::kWeek, "", {"early", "", "", "", "", "", "night"}}},
       "shift night's window overlaps shift early's on the next day of pattern wrap"},
      {"a rotation wraps around", {NightShift(), early},
       {{"rot", PatternKind::kRotation, "2026-01-01", {"early", "", "night"}}},
       "shift night's window overlaps shift early's on the next day of pattern rot"},
      {"a rest day between them", {NightShift(), early},
       {{"rot", PatternKind::kRotation, "2026-01-01", {"night", "", "early"}}}, ""},
      {"an end past the day", {bad}, {}, "shift day: end must be a time of day from 00:00 to 23:59, not 1440"},
      {"a negative window", {negative}, {}, "shift day: window_after must not be negative, not -1"},
      {"core hours outside a flexible shift", {flexible_outside}, {},
       "shift flex: its core hours must lie between its start and its end"},
      {"core hours after midnight of a flexible night", {flexible_night}, {}, ""},
      {"an unknown shift", {DayShift()}, {{"w", PatternKind::kWeek, "", {"day", "day", "swing", "", "", "", ""}}},
       "work pattern w names shift swing, which does not exist"},
      {"a week of six days", {DayShift()}, {{"w", PatternKind::kWeek, "", {"day", "", "", "", "", ""}}},
       "week pattern w has 6 days, not 7"},
      {"a rotation without days", {DayShift()}, {{"r", PatternKind::kRotation, "2026-01-01", {}}},
       "rotation pattern r has no days"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto message = CheckPatterns(c.shifts, c.patterns);
    EXPECT_EQ(message ? message->English() : "", c.message);
  }
}

TEST(ChecksTest, ClashingAssignments) {
  const auto person = [](std::int64_t id, std::int32_t who, const char* from, std::optional<std::string> until) {
    return Assignment{id, "p", TargetKind::kPerson, who, "", from, until};
  };
  const auto department = [](std::int64_t id, const char* name, const char* from) {
    return Assignment{id, "p", TargetKind::kDepartment, 0, name, from, std::nullopt};
  };
  const std::vector<Assignment> existing = {person(1, 7, "2026-01-01", "2026-03-31"), department(2, "ops", "2026-01-01")};
  struct Case {
    const char* name;
    Assignment added;
    std::int64_t clashes;  // 0 none
  };
  const Case cases[] = {
      {"overlapping by a day", person(0, 7, "2026-03-31", std::nullopt), 1},
      {"right after it", person(0, 7, "2026-04-01", std::nullopt), 0},
      {"open-ended before it", person(0, 7, "2025-01-01", std::nullopt), 1},
      {"ending the day before", person(0, 7, "2025-01-01", "2025-12-31"), 0},
      {"another person", person(0, 8, "2026-02-01", std::nullopt), 0},
      {"the same assignment changed", person(1, 7, "2026-02-01", std::nullopt), 0},
      {"the same department", department(0, "ops", "2027-01-01"), 2},
      {"another department", department(0, "sales", "2026-01-01"), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto clash = ClashingAssignment(existing, c.added);
    EXPECT_EQ(clash ? clash->id : 0, c.clashes);
  }
}

TEST(ChecksTest, WallTimes) {
  EXPECT_FALSE(WallTimeExists("Europe/Berlin", "2026-03-29 02:30:00"));  // skipped
  EXPECT_TRUE(WallTimeExists("Europe/Berlin", "2026-03-29 03:00:00"));
  EXPECT_TRUE(WallTimeExists("Europe/Berlin", "2026-03-29 01:59:59"));
  EXPECT_TRUE(WallTimeExists("Europe/Berlin", "2026-10-25 02:30:00"));  // repeated, but there
  EXPECT_TRUE(WallTimeExists("UTC", "2026-03-29 02:30:00"));
  EXPECT_FALSE(WallTimeExists("Europe/Berlin", "2026-02-30 10:00:00"));
  EXPECT_FALSE(WallTimeExists("Europe/Berlin", "yesterday"));
  EXPECT_FALSE(WallTimeExists("Mars/Olympus", "2026-03-01 10:00:00"));
}

TEST(ChecksTest, Corrections) {
  MonthInput context = Input(DayShift(), "2026-03-10", "Europe/Berlin");
  AddSwipes(&context, {"2026-03-10 09:00:12", "2026-03-10 18:00:00"});
  context.swipes.push_back({2, "2026-03-10 12:00:00", 1, 1});  // a person of no shift
  const auto added = [](std::int32_t person, const char* time, const char* reason = "forgot the card") {
    Correction c;
    c.person = person;
    c.time = time;
    c.direction = Direction::kIn;
    c.reason = reason;
    return c;
  };
  const auto aside = [](const char* time, int terminal) {
    Correction c;
    c.person = 1;
    c.kind = CorrectionKind::kSetAside;
    c.time = time;
    c.port = 1;
    c.terminal = terminal;
    c.reason = "swiped twice";
    return c;
  };
  Correction withdrawn_aside = aside("2026-03-10 18:00:00", 1);
  withdrawn_aside.id = 9;
  withdrawn_aside.entered.withdrawn_at = "2026-03-11T00:00:00Z";
  context.corrections = {withdrawn_aside};
  struct Case {
    const char* name;
    Correction correction;
    const char* message;  // "" accepted
  };
  const Case cases[] = {
      {"inside the shift's window", added(1, "2026-03-10 13:00:00"), ""},
      {"the window's first minute", added(1, "2026-03-10 05:00:00"), ""},
      {"before the window", added(1, "2026-03-10 04:59:00"),
       "the added swipe at 2026-03-10 04:59:00 lies outside the window of person 1's shift on 2026-03-10 and on the "
       "day before"},
      {"the same minute as a stored swipe", added(1, "2026-03-10 09:00:45"),
       "person 1 has a stored swipe at 2026-03-10 09:00:12 already"},
      {"no shift: anywhere in the working day", added(2, "2026-03-10 23:00:00"), ""},
      {"no reason", added(1, "2026-03-10 13:00:00", "  "), "a correction needs a reason"},
      {"a skipped hour", added(1, "2026-03-29 02:30:00"),
       "2026-03-29 02:30:00 does not exist in time zone Europe/Berlin: the clock skipped it"},
      {"not a time", added(1, "2026-03-10T25:00"), "2026-03-10T25:00 is not a date and time of the form YYYY-MM-DD HH:MM:SS"},
      {"setting aside a stored swipe", aside("2026-03-10 09:00:12", 1), ""},
      {"its second must match", aside("2026-03-10 09:00:13", 1),
       "person 1 has no stored swipe at 2026-03-10 09:00:13 from terminal 1:1"},
      {"and its terminal", aside("2026-03-10 09:00:12", 2),
       "person 1 has no stored swipe at 2026-03-10 09:00:12 from terminal 1:2"},
      {"set aside again after a withdrawal", aside("2026-03-10 18:00:00", 1), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto message = CheckCorrection(context, c.correction);
    EXPECT_EQ(message ? message->English() : "", c.message);
  }
  Correction first = aside("2026-03-10 09:00:12", 1);
  first.id = 10;
  context.corrections.push_back(first);
  const auto again = CheckCorrection(context, aside("2026-03-10 09:00:12", 1));
  EXPECT_EQ(again ? again->English() : "", "person 1's swipe at 2026-03-10 09:00:12 is set aside already");
}

}  // namespace
}  // namespace vanto::attendance
