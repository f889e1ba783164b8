// The report arithmetic on hand-made swipes: working days with day_starts (night shifts),
// same-minute repeats, lone swipes, days without swipes, people with and without names.
#include <gtest/gtest.h>

#include <optional>

#include "host/report/attendance.h"
#include "present/report/date_options.h"

using namespace vanto::report;

namespace {

DayRange March() { return ParseMonth("2026-03"); }

struct Expect {
  const char* day;
  const char* first;
  const char* last;
  int swipes;
  int span;
};

void ExpectDays(const PersonReport& p, const std::vector<Expect>& want) {
  ASSERT_EQ(p.days.size(), want.size()) << "person " << p.person;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const DayEntry& d = p.days[i];
    EXPECT_EQ(DateText(d.day), want[i].day);
    EXPECT_EQ(MinuteText(d.first), want[i].first);
    EXPECT_EQ(MinuteText(d.last), want[i].last);
    EXPECT_EQ(d.swipes, want[i].swipes) << want[i].day;
    EXPECT_EQ(d.span(), want[i].span) << want[i].day;
  }
}

TEST(Attendance, NightShiftIsOneWorkingDayWhenDaysStartAtNoon) {
  ReportBuilder noon(March(), 12 * 60);
  ReportBuilder midnight(March(), 0);
  for (ReportBuilder* b : {&noon, &midnight}) {
    b->Add(7, "2026-03-05 22:00:10");
    b->Add(7, "2026-03-06 02:15:00");
    b->Add(7, "2026-03-06 06:00:40");
  }
  Report r = noon.Finish({});
  ASSERT_EQ(r.people.size(), 1u);
  ExpectDays(r.people[0], {{"2026-03-05", "2026-03-05 22:00", "2026-03-06 06:00", 3, 480}});
  EXPECT_EQ(r.people[0].total_span(), 480);

  // With the default start at midnight the same shift splits in two.
  Report split = midnight.Finish({});
  ExpectDays(split.people[0], {{"2026-03-05", "2026-03-05 22:00", "2026-03-05 22:00", 1, 0},
                               {"2026-03-06", "2026-03-06 02:15", "2026-03-06 06:00", 2, 225}});
}

// Late is the first swipe of a working day after late_after on that day's date (a second late
// swipe never makes an early day late); no late_after: no day is late.
TEST(Attendance, AFirstSwipeAfterLateAfterMarksItsDayLate) {
  struct Case {
    int day_starts;
    std::optional<int> late_after;
    std::vector<const char*> swipes;  // of person 7
    std::vector<bool> late;           // per working day
  };
  const Case cases[] = {
      {0, 9 * 60, {"2026-03-02 08:59:59", "2026-03-02 17:00:00"}, {false}},
      {0, 9 * 60, {"2026-03-02 09:00:30", "2026-03-02 17:00:00"}, {false}},  // within the minute: on time
      {0, 9 * 60, {"2026-03-02 09:01:00", "2026-03-03 07:00:00", "2026-03-03 09:30:00"}, {true, false}},
      {0, std::nullopt, {"2026-03-02 11:00:00"}, {false}},
      {0, 0, {"2026-03-02 00:00:00", "2026-03-03 00:01:00"}, {false, true}},
      // A night shift begun at 22:10 after late_after 22:00, dated by its start.
      {12 * 60, 22 * 60, {"2026-03-05 22:10:00", "2026-03-06 06:00:00"}, {true}},
      {12 * 60, 22 * 60, {"2026-03-05 21:55:00", "2026-03-06 06:00:00"}, {false}},
  };
  for (const Case& c : cases) {
    ReportBuilder b(March(), c.day_starts, c.late_after);
    for (const char* t : c.swipes) b.Add(7, t);
    Report r = b.Finish({});
    EXPECT_EQ(r.late_after, c.late_after);
    ASSERT_EQ(r.people.size(), 1u);
    std::vector<bool> late;
    for (const DayEntry& d : r.people[0].days) late.push_back(d.late);
    EXPECT_EQ(late, c.late) << c.swipes[0];
  }
  EXPECT_THROW(ReportBuilder(March(), 0, 1440), std::invalid_argument);
}

TEST(Attendance, SameMinuteRepeatsCountOnce) {
  ReportBuilder b(March(), 0);
  b.Add(1, "2026-03-02 08:00:05");
  b.Add(1, "2026-03-02 08:00:40");  // pressed twice
  b.Add(1, "2026-03-02 08:00:59");
  b.Add(1, "2026-03-02 17:30:00");
  b.Add(1, "2026-03-02 17:30:00");  // the same swipe from two terminals
  // Only repeats: first and last are the same minute.
  b.Add(2, "2026-03-02 09:00:00");
  b.Add(2, "2026-03-02 09:00:30");
  Report r = b.Finish({});
  ASSERT_EQ(r.people.size(), 2u);
  ExpectDays(r.people[0], {{"2026-03-02", "2026-03-02 08:00", "2026-03-02 17:30", 2, 570}});
  ExpectDays(r.people[1], {{"2026-03-02", "2026-03-02 09:00", "2026-03-02 09:00", 1, 0}});
}

TEST(Attendance, OneSwipeDaysAndDaysWithoutSwipes) {
  ReportBuilder b(March(), 0);
  b.Add(3, "2026-03-02 08:00:00");
  b.Add(3, "2026-03-02 16:00:00");
  b.Add(3, "2026-03-04 12:34:00");  // forgot to swipe out
  b.Add(3, "2026-03-09 07:00:00");
  b.Add(3, "2026-03-09 15:30:00");
  Report r = b.Finish({});
  ASSERT_EQ(r.people.size(), 1u);
  const PersonReport& p = r.people[0];
  ExpectDays(p, {{"2026-03-02", "2026-03-02 08:00", "2026-03-02 16:00", 2, 480},
                 {"2026-03-04", "2026-03-04 12:34", "2026-03-04 12:34", 1, 0},
                 {"2026-03-09", "2026-03-09 07:00", "2026-03-09 15:30", 2, 510}});
  EXPECT_EQ(p.days_present(), 3);
  EXPECT_EQ(p.total_span(), 990);
  EXPECT_EQ(r.day_count(), 3u);
}

TEST(Attendance, WindowCoversTheWorkingDaysOnly) {
  ReportBuilder b(ParseMonth("2026-03"), 6 * 60);
  TimeRange w = b.Window();
  EXPECT_EQ(*w.from, "2026-03-01 06:00:00");
  EXPECT_EQ(*w.to, "2026-04-01 05:59:59");
  // Swipes outside the working days are ignored, even if a caller passes them.
  b.Add(4, "2026-03-01 05:59:00");  // working day 2026-02-28
  b.Add(4, "2026-03-01 06:00:00");
  b.Add(4, "2026-04-01 05:59:00");  // still working day 2026-03-31
  b.Add(4, "2026-04-01 06:00:00");  // working day 2026-04-01
  Report r = b.Finish({});
  ExpectDays(r.people[0], {{"2026-03-01", "2026-03-01 06:00", "2026-03-01 06:00", 1, 0},
                           {"2026-03-31", "2026-04-01 05:59", "2026-04-01 05:59", 1, 0}});
  ReportBuilder midnight(ParseMonth("2026-02"), 0);
  EXPECT_EQ(*midnight.Window().to, "2026-02-28 23:59:59");
}

TEST(Attendance, NamedAndUnnamedPeople) {
  ReportBuilder b(March(), 0);
  b.Add(200, "2026-03-03 08:00:00");  // swipes, no name
  b.Add(100, "2026-03-03 09:00:00");  // swipes and a name
  Report r = b.Finish({{100, "Wei Zhang", "Sales"}, {150, "Nobody Here", ""}});
  ASSERT_EQ(r.people.size(), 3u);
  EXPECT_EQ(r.people[0].person, 100);
  EXPECT_EQ(r.people[0].name, "Wei Zhang");
  EXPECT_EQ(r.people[0].department, "Sales");
  EXPECT_EQ(r.people[1].person, 150);  // named, no swipes: listed with no days
  EXPECT_EQ(r.people[1].days_present(), 0);
  EXPECT_EQ(r.people[2].person, 200);
  EXPECT_FALSE(r.people[2].name.has_value());
  EXPECT_EQ(r.people[2].days_present(), 1);
}

TEST(Attendance, AnyPersonNumberAndDaysComeBackInOrder) {
  ReportBuilder b(March(), 0);
  b.Add(2147483647, "2026-03-31 23:59:00");
  b.Add(-2147483647 - 1, "2026-03-01 00:00:00");
  b.Add(-5, "2026-03-20 10:00:00");
  b.Add(-5, "2026-03-21 10:00:00");
  b.Add(-5, "2026-03-22 10:00:00");
  Report r = b.Finish({});
  ASSERT_EQ(r.people.size(), 3u);
  EXPECT_EQ(r.people[0].person, -2147483647 - 1);
  EXPECT_EQ(r.people[1].person, -5);
  EXPECT_EQ(r.people[2].person, 2147483647);
  ASSERT_EQ(r.people[1].days.size(), 3u);
  EXPECT_EQ(DateText(r.people[1].days[0].day), "2026-03-20");
  EXPECT_EQ(DateText(r.people[1].days[2].day), "2026-03-22");
  EXPECT_EQ(DateText(r.people[2].days[0].day), "2026-03-31");
}

TEST(Attendance, EmptyInputIsAnEmptyReport) {
  ReportBuilder b(March(), 0);
  Report r = b.Finish({});
  EXPECT_TRUE(r.people.empty());
  EXPECT_EQ(r.day_count(), 0u);
}

TEST(Attendance, RefusesBadTimesAndDisorder) {
  ReportBuilder b(March(), 0);
  EXPECT_THROW(b.Add(1, "2026-03-32 08:00:00"), std::invalid_argument);
  EXPECT_THROW(b.Add(1, "yesterday"), std::invalid_argument);
  b.Add(1, "2026-03-02 08:00:00");
  EXPECT_THROW(b.Add(1, "2026-03-02 07:59:00"), std::invalid_argument);
  b.Add(2, "2026-03-02 07:00:00");  // another person's clock is separate
  EXPECT_EQ(b.Finish({}).people.size(), 2u);
}

TEST(Attendance, SpanText) {
  EXPECT_EQ(SpanText(0), "0:00");
  EXPECT_EQ(SpanText(569), "9:29");
  EXPECT_EQ(SpanText(10230), "170:30");
}

}  // namespace
