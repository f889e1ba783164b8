// Dates and times of the host's reports and filters: calendar dates, the text forms the swipe
// store keeps ("YYYY-MM-DD HH:MM:SS"), the ranges of --from/--to/--month and a site's
// `day_starts`. Every refusal is a DateError whose message names the option and the text.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vanto::report {

class DateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

// Minutes since 1970-01-01 00:00 of a stored time text "YYYY-MM-DD HH:MM[:SS]" (seconds are
// dropped), or nothing when the text is not of that form or names no real date and time.
std::optional<std::int64_t> MinuteOfTimeText(std::string_view text);
// "YYYY-MM-DD HH:MM" of minutes since 1970-01-01 00:00.
std::string MinuteText(std::int64_t minute);

// An inclusive range of stored time texts, both "YYYY-MM-DD HH:MM:SS"; compare texts directly.
struct TimeRange {
  std::optional<std::string> from, to;
};

// --from/--to of a swipe listing: "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS"
// (a 'T' may stand for the space). Inclusive: a date alone as --to means to the end of that
// day, a minute to the end of that minute. `option` names the option in the message.
std::string ParseTimeBound(const std::string& text, bool end, const std::string& option);
// Both bounds, refusing --from after --to.
TimeRange ParseTimeRange(const std::optional<std::string>& from, const std::optional<std::string>& to);

// The working days a report covers, inclusive.
struct DayRange {
  Date first, last;
};
// "YYYY-MM" (month 01..12).
DayRange ParseMonth(const std::string& text);
// "YYYY-MM-DD".
Date ParseDate(const std::string& text, const std::string& option);
// --month, or --from and --to (dates), exactly one way; refuses --from after --to and ranges
// longer than `max_days`.
DayRange ParseReportDays(const std::optional<std::string>& month, const std::optional<std::string>& from,
                         const std::optional<std::string>& to, int max_days = 366);

// A site's day_starts "HH:MM" (00:00..23:59) as minutes after midnight.
int ParseDayStarts(const std::string& text, const std::string& what);
// "HH:MM" of minutes after midnight.
std::string ClockText(int minutes);

}  // namespace vanto::report
