// The report and listing formats: an aligned table, CSV (header row, RFC 4180 quoting), JSON
// lines (one object per line) and the printable HTML page. Text is UTF-8 throughout.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "host/report/attendance.h"
#include "host/report/people.h"
#include "host/text/messages.h"

namespace vanto::report {

// Csv is CSV for a spreadsheet: a text cell a spreadsheet would run as a formula is written
// guarded (GuardedCell). RawCsv is CSV for programs: every value as stored.
enum class Format { Table, Csv, Json, RawCsv };

// How CsvField writes a text cell: guarded for a spreadsheet, or as stored.
enum class CsvCells { kGuarded, kRaw };

// One CSV field: quoted when it holds a comma, quote, CR or LF (quotes doubled); guarded first
// unless `cells` says raw. Every CSV the host writes goes through here.
std::string CsvField(std::string_view text, CsvCells cells = CsvCells::kGuarded);
// The cells of `format` (RawCsv: raw; any other: guarded).
CsvCells CellsOf(Format format);
// A cell a spreadsheet would run as a formula (its first character is = + - @, a tab or a carriage
// return) with a leading apostrophe, which the spreadsheet shows as text and does not display. A
// cell that is such a cell behind apostrophes gets one more, so UnguardedCell gives back exactly
// what was stored. Any other text is returned as it is.
std::string GuardedCell(std::string_view text);
// The inverse of GuardedCell: the one apostrophe it added taken off again.
std::string UnguardedCell(std::string_view text);
// The UTF-8 byte-order mark a CSV download for a spreadsheet starts with (so a spreadsheet reads
// the names as UTF-8, not in the computer's legacy code page).
inline constexpr char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";
// Text for one table cell: line breaks and other control characters become spaces.
std::string OneLine(std::string_view text);
// Columns a terminal gives `text` (East Asian wide characters take two).
std::size_t DisplayWidth(std::string_view text);
// The one table writer of the host and its front ends: rows under a header, each column as wide
// as its widest cell in display columns (DisplayWidth), two spaces between columns, a column
// right-aligned where `right[i]` says so, the last left-aligned column not padded.
void WriteTable(std::ostream& out, const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                const std::vector<bool>& right);
// `text` with & < > " ' as character references.
std::string HtmlEscape(std::string_view text);

// One stored swipe to list; `name` is null for a person without a name.
struct SwipeLine {
  std::string_view time;  // "YYYY-MM-DD HH:MM:SS"
  int port = 0;
  int terminal = 0;
  std::int32_t person = 0;
  const std::string* name = nullptr;
};

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

void WritePeople(std::ostream& out, const std::vector<Person>& people, Format format);

// The report as a table (one line per person and working day, then one per person), CSV (one
// row per person and working day) or JSON lines ("type": "day" objects, then a "person" object
// with the person's totals, for every person).
void WriteReport(std::ostream& out, const Report& report, Format format);

// The report as one self-contained HTML page (no scripts, no network: inline CSS and SVG): a
// summary, then per person a month grid with one row per day and a bar for each day's span;
// printed on A4, one person per page; in `language` (a console names its reader's).
void WriteReportHtml(std::ostream& out, const Report& report, host::Language language = host::Language::kProcess);

}  // namespace vanto::report
