// The attendance set-up page (every role reads it; HR and admin write): the chosen site's shifts,
// week and rotation patterns, who works which pattern from when, holidays and rest days of a year,
// the leave kinds, and closing a month (an admin reopens one). Each form is a plain POST that
// makes the same host call as the command (`vanto shift`, `vanto pattern`, `vanto holiday`,
// `vanto leave kinds`, `vanto month`), so the same checks refuse it; a refusal is shown on the
// page in the user's language with the form as it was typed.
#pragma once

#include "web/page.h"
#include "web/records.h"

namespace vanto::web {

// GET /attendance/setup and the forms' POSTs under /attendance/setup/.
std::vector<Route> AttendanceSetupRoutes(const PageHost& host, const RecordsSource& records);

}  // namespace vanto::web
