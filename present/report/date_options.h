// The dates and times the front ends read from their options and the site file (--from, --to,
// --month, a site's day_starts), as the host's reports and filters take them. Every refusal is a
// DateError whose message names the option and the text, in the process's language.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "host/errors.h"
#include "host/report/dates.h"

namespace vanto::report {

class DateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// --from/--to of a swipe listing: "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS"
// (a 'T' may stand for the space). Inclusive: a date alone as --to means to the end of that
// day, a minute to the end of that minute. `option` names the option in the message.
std::string ParseTimeBound(const std::string& text, bool end, const std::string& option);
// Both bounds, refusing --from after --to.
TimeRange ParseTimeRange(const std::optional<std::string>& from, const std::optional<std::string>& to);

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

}  // namespace vanto::report

namespace vanto::host {

// Runs `parse` and turns a report::DateError into a InputError with the same message.
template <class Parse>
auto ParseDates(Parse parse) -> decltype(parse()) {
  try {
    return parse();
  } catch (const report::DateError& e) {
    throw InputError(e.what());
  }
}

}  // namespace vanto::host
