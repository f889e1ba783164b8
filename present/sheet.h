// A table to export, typed, and its three writers: a workbook (XLSX, a sheet per table), CSV for a
// spreadsheet (UTF-8 with a byte-order mark, every text cell guarded) and a printable HTML page.
// The words (the sheet's name, headings, the page's title and notes) come from the front end, in
// the reader's language; the writers add none of their own.
//
//   present::Table t{"2026-12", {{"Person", ColumnKind::kText}, {"Worked", ColumnKind::kMinutes}}, {}};
//   t.rows.push_back({std::string("Alice"), std::int64_t{8 * 60 + 5}});
//   std::string xlsx = present::XlsxBytes({t});
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace vanto::present {

// What a column holds, and so how each writer writes its cells:
//   kText       a string: always text (a name beginning with "=" is a name, never a formula);
//   kInteger    an integer;
//   kDate       a string "YYYY-MM-DD": a date cell in a workbook;
//   kTimeOfDay  an integer, minutes after midnight (0..1439): "HH:MM";
//   kMinutes    an integer, a duration in minutes: "[h]:mm" ("26:05", "-0:30");
//   kHours      a number of hours (double): two decimals.
enum class ColumnKind { kText, kInteger, kDate, kTimeOfDay, kMinutes, kHours };

struct Column {
  std::string heading;
  ColumnKind kind = ColumnKind::kText;
};

// A cell: empty, a string (kText, kDate), an integer (kInteger, kTimeOfDay, kMinutes) or a number
// (kHours; an integer is taken as well). A cell of another type than its column's is refused by
// every writer (std::invalid_argument naming the table, row and column).
using Cell = std::variant<std::monostate, std::string, std::int64_t, double>;

struct Table {
  std::string name;  // the sheet's name (made fit for a workbook: 31 characters, no []:*?/\)
  std::vector<Column> columns;
  std::vector<std::vector<Cell>> rows;  // each as many cells as columns (fewer: the rest empty)
};

// The workbook of `tables`, a sheet each (names made unique), as bytes. Written through a private
// temporary folder that is removed again. std::runtime_error naming what failed (the folder, the
// library's error, the cell).
std::string XlsxBytes(const std::vector<Table>& tables);

// `table` as CSV for a spreadsheet: the byte-order mark, the headings, a line per row (CRLF);
// every text cell through report::CsvField (guarded). Dates as written, times "HH:MM", durations
// "H:MM", hours with two decimals.
void WriteCsv(std::ostream& out, const Table& table);

// A page to print: its title, lines under it (the site, the time zone, when written), its
// language ("en", "zh-CN") for the page's lang attribute.
struct PrintPage {
  std::string title;
  std::vector<std::string> notes;
  std::string language = "en";
};
// A self-contained HTML page (no scripts, nothing fetched): the title, the notes and each table
// under its name; every text escaped; fit for A4 when printed (headings repeated on each page).
void WritePrintable(std::ostream& out, const PrintPage& page, const std::vector<Table>& tables);

// One cell as text the way CSV and the page write it ("" when empty).
std::string CellText(const Table& table, std::size_t row, std::size_t column);
// A duration in minutes as "H:MM" ("-0:30" when negative).
std::string MinutesText(std::int64_t minutes);

}  // namespace vanto::present
