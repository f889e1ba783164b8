// The report and listing writers, in words: swipes, people and the attendance report as an
// aligned table, CSV (header row, RFC 4180 quoting), JSON lines (one object per line) and the
// printable HTML page. Text is UTF-8 throughout; the cells they write are host/report/cells.h's.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "host/report/attendance.h"
#include "host/report/cells.h"
#include "host/report/people.h"
#include "host/text/messages.h"

namespace vanto::report {

// Writes swipes as they come, holding none: the table has fixed column widths, CSV starts with
// its header row, JSON is one object per line.
class SwipeWriter {
 public:
  SwipeWriter(std::ostream& out, Format format);
  void Write(const SwipeLine& line);
  std::size_t rows() const { return rows_; }

 private:
  std::ostream& out_;
  Format format_;
  std::size_t rows_ = 0;
};

// The people with their employee codes; `with_site`: each with its site (a listing of every site).
void WritePeople(std::ostream& out, const std::vector<Person>& people, Format format, bool with_site = false);

// The report as a table (one line per person and working day, then one per person), CSV (one
// row per person and working day) or JSON lines ("type": "day" objects, then a "person" object
// with the person's totals, for every person). A judged report adds, after every field it had
// before: per working day its status and minutes (late, early, worked, overtime; CSV: the last
// columns), per person the count of each status over every judged day of the period (JSON
// "statuses", the table's last column), days without swipes included.
void WriteReport(std::ostream& out, const Report& report, Format format);

// A day status of the attendance rules ("late", "absent", ...) in `language`; a word it does not
// know as it is.
std::string StatusText(const std::string& word, host::Language language = host::Language::kProcess);
// A person's status counts in `language`: "absent 2, late 3" ("" none).
std::string StatusCountsText(const std::map<std::string, int>& counts, host::Language language = host::Language::kProcess);

// The report as one self-contained HTML page (no scripts, no network: inline CSS and SVG): a
// summary, then per person a month grid with one row per day and a bar for each day's span;
// printed on A4, one person per page; in `language` (a console names its reader's).
void WriteReportHtml(std::ostream& out, const Report& report, host::Language language = host::Language::kProcess);

}  // namespace vanto::report
