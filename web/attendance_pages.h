// A person's month and a department's month (every role, following the chosen site): the days
// as the attendance rules judge them (host::JudgeMonth), with the swipes, corrections and leave
// behind them, and each page's exports: a workbook, CSV for a spreadsheet and a printable page.
#pragma once

#include <vector>

#include "web/page.h"
#include "web/records.h"

namespace vanto::web {

// GET /attendance/person?person=N&month=YYYY-MM[&format=xlsx|csv|print]
// GET /attendance/department?department=D&month=YYYY-MM[&sort=COLUMN&order=asc|desc][&format=...]
std::vector<Route> AttendanceRoutes(const PageHost& host, const RecordsSource& records);

}  // namespace vanto::web
