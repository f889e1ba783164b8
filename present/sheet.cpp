// The table writers. The workbook goes through libxlsxwriter, which writes files only: a private
// folder (0700) holds the file and the library's own temporary files, and is removed whatever
// happens.
#include "present/sheet.h"

#include <stdlib.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "host/report/cells.h"

namespace vanto::present {
namespace {

const char* KindWord(ColumnKind kind) {
  switch (kind) {
    case ColumnKind::kText: return "text";
    case ColumnKind::kInteger: return "integer";
    case ColumnKind::kDate: return "date";
    case ColumnKind::kTimeOfDay: return "time of day";
    case ColumnKind::kMinutes: return "minutes";
    case ColumnKind::kHours: return "hours";
  }
  return "?";
}

[[noreturn]] void BadCell(const Table& table, std::size_t row, std::size_t column, const std::string& why) {
  throw std::invalid_argument("table \"" + table.name + "\", row " + std::to_string(row + 1) + ", column \"" +
                              table.columns[column].heading + "\" (" + KindWord(table.columns[column].kind) +
                              "): " + why);
}

// The cell, empty past the row's end. Checks its type against the column's.
const Cell& CellAt(const Table& table, std::size_t row, std::size_t column) {
  static const Cell kEmpty;
  const auto& cells = table.rows[row];
  if (cells.size() > table.columns.size()) BadCell(table, row, table.columns.size() - 1, "more cells than columns");
  if (column >= cells.size()) return kEmpty;
  const Cell& cell = cells[column];
  if (std::holds_alternative<std::monostate>(cell)) return cell;
  bool fits = false;
  switch (table.columns[column].kind) {
    case ColumnKind::kText: fits = std::holds_alternative<std::string>(cell); break;
    case ColumnKind::kDate: {
      const auto* s = std::get_if<std::string>(&cell);
      int y = 0, m = 0, d = 0;
      char tail = 0;
      fits = s && s->size() == 10 && std::sscanf(s->c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3 && m >= 1 &&
             m <= 12 && d >= 1 && d <= 31;
      if (s && !fits) BadCell(table, row, column, "\"" + *s + "\" is not a date YYYY-MM-DD");
      break;
    }
    case ColumnKind::kInteger:
    case ColumnKind::kMinutes: fits = std::holds_alternative<std::int64_t>(cell); break;
    case ColumnKind::kTimeOfDay: {
      const auto* m = std::get_if<std::int64_t>(&cell);
      fits = m != nullptr;
      if (m && (*m < 0 || *m >= 24 * 60)) BadCell(table, row, column, std::to_string(*m) + " is not a minute of a day");
      break;
    }
    case ColumnKind::kHours:
      fits = std::holds_alternative<double>(cell) || std::holds_alternative<std::int64_t>(cell);
      break;
  }
  if (!fits) BadCell(table, row, column, "a cell of another type");
  return cell;
}

double Number(const Cell& cell) {
  if (const auto* i = std::get_if<std::int64_t>(&cell)) return static_cast<double>(*i);
  return std::get<double>(cell);
}

std::string TwoDigits(std::int64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); }

// ---- The workbook ----

// A folder only this user reads, removed when it goes.
class PrivateFolder {
 public:
  PrivateFolder() {
    std::error_code ec;
    auto base = std::filesystem::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string pattern = (base / "vanto-sheet-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
      throw std::runtime_error("workbook: cannot make a private temporary folder in " + base.string() + ": " +
                               std::error_code(errno, std::generic_category()).message());
    path_ = pattern;
  }
  ~PrivateFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

struct WorkbookCloser {
  lxw_workbook* book;
  ~WorkbookCloser() {
    if (book) workbook_close(book);  // frees it; the file it leaves goes with the folder
  }
};

// A workbook's sheet name: no []:*?/\, not starting or ending with an apostrophe, 1..31
// characters, unique (case aside) among `taken`.
std::string SheetName(const std::string& wanted, std::set<std::string>& taken) {
  std::string name;
  for (char c : wanted) name += std::string("[]:*?/\\").find(c) == std::string::npos ? c : '_';
  while (!name.empty() && name.front() == '\'') name.erase(0, 1);
  while (!name.empty() && name.back() == '\'') name.pop_back();
  if (name.empty()) name = "Sheet";
  auto key = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
  };
  // Up to 31 characters (UTF-8 characters, not bytes).
  auto cut_chars = [](const std::string& s, std::size_t chars) {
    std::size_t count = 0, i = 0;
    for (; i < s.size(); ++i) {
      if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
        if (count == chars) break;
        ++count;
      }
    }
    return s.substr(0, i);
  };
  std::string candidate = cut_chars(name, 31);
  for (int n = 2; taken.count(key(candidate)); ++n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    candidate = cut_chars(name, 31 - suffix.size()) + suffix;
  }
  taken.insert(key(candidate));
  return candidate;
}

void Check(lxw_error error, const char* what) {
  if (error != LXW_NO_ERROR) throw std::runtime_error(std::string("workbook: ") + what + ": " + lxw_strerror(error));
}

}  // namespace

std::string MinutesText(std::int64_t minutes) {
  std::string sign = minutes < 0 ? "-" : "";
  std::int64_t m = minutes < 0 ? -minutes : minutes;
  return sign + std::to_string(m / 60) + ":" + TwoDigits(m % 60);
}

std::string CellText(const Table& table, std::size_t row, std::size_t column) {
  const Cell& cell = CellAt(table, row, column);
  if (std::holds_alternative<std::monostate>(cell)) return "";
  switch (table.columns[column].kind) {
    case ColumnKind::kText:
    case ColumnKind::kDate: return std::get<std::string>(cell);
    case ColumnKind::kInteger: return std::to_string(std::get<std::int64_t>(cell));
    case ColumnKind::kTimeOfDay: {
      auto m = std::get<std::int64_t>(cell);
      return TwoDigits(m / 60) + ":" + TwoDigits(m % 60);
    }
    case ColumnKind::kMinutes: return MinutesText(std::get<std::int64_t>(cell));
    case ColumnKind::kHours: {
      char text[64];
      std::snprintf(text, sizeof text, "%.2f", Number(cell));
      return text;
    }
  }
  return "";
}

std::string XlsxBytes(const std::vector<Table>& tables) {
  PrivateFolder folder;
  const std::string file = (folder.path() / "export.xlsx").string();
  std::string tmpdir = folder.path().string();
  lxw_workbook_options options{};
  options.constant_memory = LXW_FALSE;
  options.tmpdir = tmpdir.data();
  options.use_zip64 = LXW_FALSE;
  WorkbookCloser closer{workbook_new_opt(file.c_str(), &options)};
  if (!closer.book) throw std::runtime_error("workbook: cannot start a workbook in " + tmpdir);
  lxw_workbook* book = closer.book;

  lxw_format* bold = workbook_add_format(book);
  format_set_bold(bold);
  format_set_bottom(bold, LXW_BORDER_THIN);
  lxw_format* date = workbook_add_format(book);
  format_set_num_format(date, "yyyy-mm-dd");
  lxw_format* clock = workbook_add_format(book);
  format_set_num_format(clock, "hh:mm");
  lxw_format* duration = workbook_add_format(book);
  format_set_num_format(duration, "[h]:mm");
  lxw_format* hours = workbook_add_format(book);
  format_set_num_format(hours, "0.00");
  lxw_format* integer = workbook_add_format(book);
  format_set_num_format(integer, "0");

  std::set<std::string> taken;
  for (const Table& table : tables) {
    const std::string name = SheetName(table.name, taken);
    lxw_worksheet* sheet = workbook_add_worksheet(book, name.c_str());
    if (!sheet) throw std::runtime_error("workbook: cannot add the sheet \"" + name + "\"");
    if (table.rows.size() + 1 > LXW_ROW_MAX)
      throw std::runtime_error("workbook: table \"" + table.name + "\" has more rows than a sheet holds");
    std::vector<std::size_t> widths(table.columns.size(), 0);
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      Check(worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(c), table.columns[c].heading.c_str(), bold),
            "writing a heading");
      widths[c] = report::DisplayWidth(table.columns[c].heading);
    }
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
      const auto row = static_cast<lxw_row_t>(r + 1);
      for (std::size_t c = 0; c < table.columns.size(); ++c) {
        const Cell& cell = CellAt(table, r, c);
        if (std::holds_alternative<std::monostate>(cell)) continue;
        const auto col = static_cast<lxw_col_t>(c);
        lxw_error error = LXW_NO_ERROR;
        switch (table.columns[c].kind) {
          case ColumnKind::kText: {
            const std::string& text = std::get<std::string>(cell);
            if (text.size() > 32767) BadCell(table, r, c, "text longer than a workbook cell holds");
            error = worksheet_write_string(sheet, row, col, text.c_str(), nullptr);  // never a formula
            break;
          }
          case ColumnKind::kDate: {
            const std::string& text = std::get<std::string>(cell);
            lxw_datetime when{};
            std::sscanf(text.c_str(), "%4d-%2d-%2d", &when.year, &when.month, &when.day);
            error = worksheet_write_datetime(sheet, row, col, &when, date);
            break;
          }
          case ColumnKind::kInteger: error = worksheet_write_number(sheet, row, col, Number(cell), integer); break;
          case ColumnKind::kTimeOfDay: error = worksheet_write_number(sheet, row, col, Number(cell) / 1440.0, clock); break;
          case ColumnKind::kMinutes: error = worksheet_write_number(sheet, row, col, Number(cell) / 1440.0, duration); break;
          case ColumnKind::kHours: error = worksheet_write_number(sheet, row, col, Number(cell), hours); break;
        }
        if (error != LXW_NO_ERROR) BadCell(table, r, c, lxw_strerror(error));
        widths[c] = std::max(widths[c], report::DisplayWidth(CellText(table, r, c)));
      }
    }
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      double width = static_cast<double>(std::clamp<std::size_t>(widths[c], 6, 60)) + 2;
      Check(worksheet_set_column(sheet, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c), width, nullptr),
            "setting a column's width");
    }
    worksheet_freeze_panes(sheet, 1, 0);
  }
  lxw_workbook* to_close = closer.book;
  closer.book = nullptr;
  Check(workbook_close(to_close), ("writing " + file).c_str());

  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("workbook: cannot read back " + file);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("workbook: cannot read back " + file);
  return bytes;
}

void WriteCsv(std::ostream& out, const Table& table) {
  out << report::kUtf8ByteOrderMark;
  for (std::size_t c = 0; c < table.columns.size(); ++c)
    out << (c ? "," : "") << report::CsvField(table.columns[c].heading);
  out << "\r\n";
  for (std::size_t r = 0; r < table.rows.size(); ++r) {
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      std::string text = CellText(table, r, c);
      // Only text can start like a formula; numbers and times ("-0:30") are written as they are.
      out << (c ? "," : "")
          << (table.columns[c].kind == ColumnKind::kText ? report::CsvField(text)
                                                          : report::CsvField(text, report::CsvCells::kRaw));
    }
    out << "\r\n";
  }
}

namespace {
constexpr const char* kPrintStyle = R"css(
* { box-sizing: border-box; }
body { font: 13px/1.35 "DejaVu Sans", "Noto Sans CJK SC", "Noto Sans", Arial, sans-serif; color: #1d2329;
       margin: 24px auto; max-width: 1100px; padding: 0 16px; }
h1 { font-size: 20px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 18px 0 4px; }
.note { color: #66707a; margin: 0 0 2px; }
table { border-collapse: collapse; width: 100%; margin-top: 8px; }
th, td { padding: 2px 6px; border-bottom: 1px solid #d7dce2; text-align: left; }
th { font-weight: 600; border-bottom: 1.5px solid #8a939c; vertical-align: bottom; }
.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
@page { size: A4 portrait; margin: 12mm; }
@media print {
  body { margin: 0; max-width: none; padding: 0; font-size: 10px; }
  thead { display: table-header-group; }
  tr { break-inside: avoid; page-break-inside: avoid; }
  a { color: inherit; text-decoration: none; }
}
)css";
}  // namespace

void WritePrintable(std::ostream& out, const PrintPage& page, const std::vector<Table>& tables) {
  using report::HtmlEscape;
  out << "<!DOCTYPE html>\n<html lang=\"" << HtmlEscape(page.language) << "\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<title>" << HtmlEscape(page.title) << "</title>\n<style>" << kPrintStyle << "</style>\n</head>\n<body>\n"
      << "<h1>" << HtmlEscape(page.title) << "</h1>\n";
  for (const auto& note : page.notes) out << "<p class=\"note\">" << HtmlEscape(note) << "</p>\n";
  for (const Table& table : tables) {
    if (tables.size() > 1) out << "<h2>" << HtmlEscape(table.name) << "</h2>\n";
    out << "<table>\n<thead><tr>";
    for (const auto& column : table.columns)
      out << (column.kind == ColumnKind::kText || column.kind == ColumnKind::kDate ? "<th>" : "<th class=\"num\">")
          << HtmlEscape(column.heading) << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
      out << "<tr>";
      for (std::size_t c = 0; c < table.columns.size(); ++c) {
        const auto kind = table.columns[c].kind;
        out << (kind == ColumnKind::kText || kind == ColumnKind::kDate ? "<td>" : "<td class=\"num\">")
            << HtmlEscape(CellText(table, r, c)) << "</td>";
      }
      out << "</tr>\n";
    }
    out << "</tbody>\n</table>\n";
  }
  out << "</body>\n</html>\n";
}

}  // namespace vanto::present
