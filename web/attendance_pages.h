// A person's month and a department's month (every role, following the chosen site): the days
// as the attendance rules judge them (host::JudgeMonth), with the swipes, corrections and leave
// behind them, and each page's exports: a workbook, CSV for a spreadsheet and a printable page.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "present/sheet.h"

#include "web/page.h"
#include "web/records.h"

namespace vanto::web {

// GET /attendance/person?person=N&month=YYYY-MM[&format=xlsx|csv|print]
// GET /attendance/department?department=D&month=YYYY-MM[&sort=COLUMN&order=asc|desc][&format=...]
std::vector<Route> AttendanceRoutes(const PageHost& host, const RecordsSource& records);

// The export a request asks for (`format`): "" the page itself, "xlsx", "csv" or "print";
// nothing when it asks for another (answered 400 under the word `title`).
std::optional<std::string> RequestedFormat(const PageHost& host, Context& c, const char* title);
// Answers `table` as `format` ("xlsx", "csv", "print"), a file named `base` and its extension;
// the printable page titled `title`, `notes` under it.
void SendExport(Context& c, const std::string& format, const std::string& base, const std::string& title,
                const std::vector<std::string>& notes, const present::Table& table);

}  // namespace vanto::web
