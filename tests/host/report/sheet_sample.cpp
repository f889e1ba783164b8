// Writes a sample of each export (sample.xlsx, sample.csv, sample.html) into the folder given, for
// sheet_export_test.py to open as a spreadsheet would; and checks that a cell of the wrong type is
// refused naming where, rather than written. Exit 0: written and refused as expected.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "present/sheet.h"

using vanto::present::Cell;
using vanto::present::ColumnKind;
using vanto::present::Table;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sheet_sample FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  Table month{"Attendance 2026-12 / [Site]",
              {{"Person", ColumnKind::kText}, {"Number", ColumnKind::kInteger}, {"Date", ColumnKind::kDate},
               {"In", ColumnKind::kTimeOfDay}, {"Worked", ColumnKind::kMinutes}, {"Overtime", ColumnKind::kHours}},
              {}};
  month.rows.push_back({std::string("=1+1"), std::int64_t{7}, std::string("2026-12-01"), std::int64_t{9 * 60 + 5},
                        std::int64_t{26 * 60 + 5}, 1.5});
  month.rows.push_back({std::string("张伟"), std::int64_t{8}, std::string("2026-12-02"), Cell{}, std::int64_t{-30},
                        std::int64_t{2}});
  month.rows.push_back({std::string("@SUM(A1)"), std::int64_t{9}});  // a short row: the rest empty
  Table second{"Attendance 2026-12 / [Site]", {{"Note", ColumnKind::kText}}, {{std::string("+cmd")}}};
  try {
    std::ofstream(folder + "/sample.xlsx", std::ios::binary) << vanto::present::XlsxBytes({month, second});
    std::ofstream csv(folder + "/sample.csv", std::ios::binary);
    vanto::present::WriteCsv(csv, month);
    std::ofstream html(folder + "/sample.html", std::ios::binary);
    vanto::present::WritePrintable(html, {"<Month> & co", {"Time zone: Asia/Shanghai"}, "zh-CN"}, {month});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "writing the samples failed: %s\n", e.what());
    return 1;
  }
  // Each wrong cell refused by each writer, the message naming the row and the column.
  const struct {
    Cell cell;
    ColumnKind kind;
  } wrong[] = {{std::string("2026-13-01"), ColumnKind::kDate}, {std::string("1.12.2026"), ColumnKind::kDate},
               {std::int64_t{1440}, ColumnKind::kTimeOfDay}, {std::string("9"), ColumnKind::kMinutes},
               {1.5, ColumnKind::kInteger}, {std::int64_t{1}, ColumnKind::kText}};
  int failures = 0;
  for (const auto& w : wrong) {
    Table bad{"bad", {{"A", ColumnKind::kText}, {"B", w.kind}}, {{std::string("x"), w.cell}}};
    for (int writer = 0; writer < 3; ++writer) {
      try {
        std::ostringstream sink;
        if (writer == 0) vanto::present::XlsxBytes({bad});
        if (writer == 1) vanto::present::WriteCsv(sink, bad);
        if (writer == 2) vanto::present::WritePrintable(sink, {}, {bad});
        std::fprintf(stderr, "writer %d took a wrong cell\n", writer);
        ++failures;
      } catch (const std::invalid_argument& e) {
        if (std::string(e.what()).find("row 1, column \"B\"") == std::string::npos) {
          std::fprintf(stderr, "refusal does not name the cell: %s\n", e.what());
          ++failures;
        }
      }
    }
  }
  return failures == 0 ? 0 : 1;
}
