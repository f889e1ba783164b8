// Dates and times of the host's reports and filters: calendar dates, the text forms the swipe
// store keeps ("YYYY-MM-DD HH:MM:SS") and the ranges a listing or a report covers. The front
// ends read them from their options with present/report/date_options.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vanto::report {

struct Date {
  int year = 1970, month = 1, day = 1;
  friend bool operator==(const Date&, const Date&) = default;
  friend auto operator<=>(const Date&, const Date&) = default;
};

// Days since 1970-01-01 (proleptic Gregorian) and back.
std::int64_t DaysFromDate(const Date& date);
Date DateFromDays(std::int64_t days);
int DaysInMonth(int year, int month);
bool IsValidDate(const Date& date);
// "YYYY-MM-DD".
std::string DateText(const Date& date);
// Monday = 0 ... Sunday = 6.
int Weekday(const Date& date);

// Whether `count` decimal digits stand at `at` in `text`; their value in *value when they do.
bool Digits(std::string_view text, std::size_t at, std::size_t count, int* value);

// Minutes since 1970-01-01 00:00 of a stored time text "YYYY-MM-DD HH:MM[:SS]" (seconds are
// dropped), or nothing when the text is not of that form or names no real date and time.
std::optional<std::int64_t> MinuteOfTimeText(std::string_view text);
// "YYYY-MM-DD HH:MM" of minutes since 1970-01-01 00:00.
std::string MinuteText(std::int64_t minute);

// An inclusive range of stored time texts, both "YYYY-MM-DD HH:MM:SS"; compare texts directly.
struct TimeRange {
  std::optional<std::string> from, to;
};

// The working days a report covers, inclusive.
struct DayRange {
  Date first, last;
};
// "HH:MM" of minutes after midnight.
std::string ClockText(int minutes);

}  // namespace vanto::report
