// The Report page (every role): the month's attendance per person and working day with the same
// numbers as `vanto report` (the host's report, the site's day_starts and late_after), its
// printable page and its CSV.
#pragma once

#include <string>
#include <vector>

#include "host/report/attendance.h"
#include "web/page.h"
#include "web/records.h"

namespace vanto::web {

// GET /report, GET /report/print, GET /report/csv.
std::vector<Route> ReportRoutes(const PageHost& host, const RecordsSource& records);

// "HH:MM" of minute `minute` (since 1970) on working day `day`, "+1" when it falls on the next
// calendar day (a night shift).
std::string ClockOnDay(std::int64_t minute, const report::Date& day);

// The month a request names ("month", default this month), or nothing when it is not YYYY-MM.
std::optional<report::DayRange> RequestedMonth(const httplib::Request& req, std::string& text);

// "YYYY-MM" of the month before or after `month`.
std::string MonthAround(const report::DayRange& month, int step);

}  // namespace vanto::web
