// The cells and forms of the host's listings, without words: the formats a listing takes, CSV
// fields (guarded for a spreadsheet or raw), one-line table cells and their display width, the
// aligned table, HTML escaping, and one stored swipe as a listing line. UTF-8 throughout.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace vanto::report
