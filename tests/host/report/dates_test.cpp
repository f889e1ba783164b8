// Dates of --from/--to/--month and day_starts: what is accepted, what it means, and a clear
// refusal naming the option for what does not exist.
#include <gtest/gtest.h>

#include "host/report/dates.h"
#include "present/report/date_options.h"

using namespace vanto::report;

namespace {

TEST(Dates, BoundsAreInclusive) {
  struct Case {
    const char* text;
    bool end;
    const char* want;
  } cases[] = {
      {"2026-03-06", false, "2026-03-06 00:00:00"},
      {"2026-03-06", true, "2026-03-06 23:59:59"},
      {"2026-03-06 14:30", false, "2026-03-06 14:30:00"},
      {"2026-03-06 14:30", true, "2026-03-06 14:30:59"},
      {"2026-03-06T14:30:15", true, "2026-03-06 14:30:15"},
      {"2024-02-29", false, "2024-02-29 00:00:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseTimeBound(c.text, c.end, "--from"), c.want) << c.text;
}

TEST(Dates, RefusesWhatDoesNotExist) {
  struct Case {
    const char* text;
    const char* says;
  } cases[] = {
      {"2026-02-29", "2026-02 has no day 29"}, {"2026-13-01", "no month 13"},   {"2026-04-31", "has no day 31"},
      {"2026-03-06 24:00", "no time 24:00"},   {"2026-03-06 12:60", "no time"}, {"06.03.2026", "expected a date"},
      {"2026-3-6", "expected a date"},         {"2026-03-06x", "expected"},     {"", "expected a date"},
      {"0000-01-01", "year 0"},
  };
  for (const Case& c : cases) {
    try {
      ParseTimeBound(c.text, false, "--from");
      ADD_FAILURE() << c.text << " accepted";
    } catch (const DateError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("--from"), std::string::npos) << e.what();
    }
  }
}

TEST(Dates, FromAfterToIsRefused) {
  EXPECT_THROW(ParseTimeRange("2026-03-07", "2026-03-06"), DateError);
  EXPECT_THROW(ParseReportDays({}, "2026-03-07", "2026-03-06"), DateError);
  // One day as both bounds is the whole day.
  TimeRange one = ParseTimeRange("2026-03-06", "2026-03-06");
  EXPECT_EQ(*one.from, "2026-03-06 00:00:00");
  EXPECT_EQ(*one.to, "2026-03-06 23:59:59");
}

TEST(Dates, Months) {
  DayRange feb = ParseMonth("2024-02");
  EXPECT_EQ(DateText(feb.first), "2024-02-01");
  EXPECT_EQ(DateText(feb.last), "2024-02-29");
  EXPECT_EQ(DateText(ParseMonth("2026-12").last), "2026-12-31");
  for (const char* bad : {"2026-13", "2026-00", "2026-1", "26-01", "2026/01", "2026-01-01", "0000-01"}) {
    EXPECT_THROW(ParseMonth(bad), DateError) << bad;
  }
  try {
    ParseMonth("2026-13");
  } catch (const DateError& e) {
    EXPECT_EQ(std::string(e.what()), "--month '2026-13': there is no month 13");
  }
}

TEST(Dates, ReportDaysTakeOneWayAndWholeDays) {
  EXPECT_THROW(ParseReportDays("2026-03", "2026-03-01", {}), DateError);
  EXPECT_THROW(ParseReportDays({}, "2026-03-01", {}), DateError);
  EXPECT_THROW(ParseReportDays({}, {}, {}), DateError);
  EXPECT_THROW(ParseReportDays({}, "2026-03-01 08:00", "2026-03-02"), DateError);
  EXPECT_THROW(ParseReportDays({}, "2025-01-01", "2026-12-31"), DateError);  // too long
  DayRange r = ParseReportDays({}, "2026-03-05", "2026-03-09");
  EXPECT_EQ(DateText(r.first), "2026-03-05");
  EXPECT_EQ(DateText(r.last), "2026-03-09");
}

TEST(Dates, DayStarts) {
  EXPECT_EQ(ParseDayStarts("00:00", "--day-starts"), 0);
  EXPECT_EQ(ParseDayStarts("12:00", "--day-starts"), 720);
  EXPECT_EQ(ParseDayStarts("23:59", "--day-starts"), 1439);
  for (const char* bad : {"24:00", "12:60", "7:00", "12", "", "noon"})
    EXPECT_THROW(ParseDayStarts(bad, "--day-starts"), DateError) << bad;
}

TEST(Dates, CalendarArithmeticRoundTrips) {
  for (std::int64_t d = -800000; d <= 2932896; d += 997) {
    Date date = DateFromDays(d);
    ASSERT_TRUE(IsValidDate(date) || date.year < 1) << d;
    ASSERT_EQ(DaysFromDate(date), d);
  }
  EXPECT_EQ(Weekday({2026, 3, 2}), 0);  // a Monday
  EXPECT_EQ(Weekday({2026, 3, 8}), 6);
  EXPECT_EQ(*MinuteOfTimeText("1970-01-02 00:01:59"), 1441);
  EXPECT_EQ(MinuteText(1441), "1970-01-02 00:01");
  EXPECT_FALSE(MinuteOfTimeText("2026-02-30 10:00:00"));
  EXPECT_FALSE(MinuteOfTimeText("2026-02-01 10:00:0"));
}

}  // namespace
