// Every output format read back by an independent parser (libcsv, nlohmann-json, libxml2):
// hostile names (commas, quotes, line breaks, Chinese, markup) come back exactly and never
// turn into markup; unnamed people and empty reports are written sensibly.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>
#include <sstream>

#include "present/report/formats.h"
#include "present/report/date_options.h"
#include "tests/host/report/csv_rows.h"
#include "tests/host/report/html_dom.h"

using namespace vanto::report;
using vanto::report::test::CsvRows;
using vanto::report::test::HtmlDom;

namespace {

const std::vector<std::string> kHostileNames = {
    "Zhang, Wei", "Anna \"Nan\" Li", "Two\nLines", "王小明", "<script>alert(1)</script>", "O'Brien & Sons", "\t=1+1"};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(SwipeListing, CsvAndJsonReadBack) {
  for (Format format : {Format::Csv, Format::RawCsv, Format::Json}) {
    std::ostringstream out;
    SwipeWriter writer(out, format);
    for (std::size_t i = 0; i < kHostileNames.size(); ++i)
      writer.Write({"2026-03-06 08:00:0" + std::to_string(i), 1, 2, static_cast<std::int32_t>(100 + i), &kHostileNames[i]});
    writer.Write({"2026-03-06 09:00:00", 3, 4, 999, nullptr});
    EXPECT_EQ(writer.rows(), kHostileNames.size() + 1);
    if (format != Format::Json) {
      auto rows = CsvRows(out.str());
      ASSERT_EQ(rows.size(), kHostileNames.size() + 2);
      EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "port", "terminal", "person", "name"}));
      for (std::size_t i = 0; i < kHostileNames.size(); ++i) {
        // For a spreadsheet "\t=1+1" is written "'\t=1+1"; raw, as stored.
        EXPECT_EQ(rows[i + 1][4], format == Format::Csv ? GuardedCell(kHostileNames[i]) : kHostileNames[i]);
        EXPECT_EQ(UnguardedCell(rows[i + 1][4]), kHostileNames[i]);
        EXPECT_EQ(rows[i + 1][3], std::to_string(100 + i));
      }
      EXPECT_EQ(rows.back(), (std::vector<std::string>{"2026-03-06 09:00:00", "3", "4", "999", ""}));
    } else {
      auto lines = Lines(out.str());
      ASSERT_EQ(lines.size(), kHostileNames.size() + 1);  // one object per line, line breaks escaped
      for (std::size_t i = 0; i < kHostileNames.size(); ++i) {
        auto row = nlohmann::json::parse(lines[i]);
        EXPECT_EQ(row["name"], kHostileNames[i]);
        EXPECT_EQ(row["person"], 100 + i);
        EXPECT_EQ(row["port"], 1);
      }
      auto last = nlohmann::json::parse(lines.back());
      EXPECT_TRUE(last["name"].is_null());
      EXPECT_EQ(last["time"], "2026-03-06 09:00:00");
    }
  }
}

TEST(SwipeListing, TableKeepsOneLinePerSwipe) {
  std::ostringstream out;
  SwipeWriter writer(out, Format::Table);
  writer.Write({"2026-03-06 08:00:00", 1, 2, 101, &kHostileNames[2]});
  auto lines = Lines(out.str());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("Two Lines"), std::string::npos) << lines[1];
}

Report HandMade() {
  ReportBuilder b(ParseMonth("2026-03"), 12 * 60);
  b.Add(101, "2026-03-02 08:00:00");
  b.Add(101, "2026-03-02 17:00:00");
  b.Add(101, "2026-03-05 22:00:00");
  b.Add(101, "2026-03-06 06:00:00");
  b.Add(102, "2026-03-03 09:00:00");
  b.Add(555, "2026-03-04 10:00:00");  // no name
  std::vector<Person> people;
  people.push_back({101, kHostileNames[0], kHostileNames[1], "E-101"});
  people.push_back({102, kHostileNames[4], "生产部"});
  people.push_back({103, kHostileNames[2], ""});  // named, never swiped
  return b.Finish(people);
}

// The report's CSV columns before the day statuses came; programs read them by position.
const std::vector<std::string> kOldReportColumns = {"person", "name", "department", "day", "first", "last", "swipes",
                                                    "span", "span_minutes", "employee_code"};
const std::vector<std::string> kStatusColumns = {"status", "late_minutes", "early_minutes", "worked_minutes",
                                                 "overtime_minutes"};

std::vector<std::string> Cells(const std::vector<std::string>& row, std::size_t from, std::size_t to) {
  return {row.begin() + static_cast<std::ptrdiff_t>(std::min(from, row.size())),
          row.begin() + static_cast<std::ptrdiff_t>(std::min(to, row.size()))};
}

TEST(ReportFormats, CsvReadsBack) {
  std::ostringstream out;
  WriteReport(out, HandMade(), Format::Csv);
  auto rows = CsvRows(out.str());
  ASSERT_EQ(rows.size(), 6u);
  // The employee code, then the statuses come last: the columns before them stay where programs read them.
  std::vector<std::string> header = kOldReportColumns;
  header.insert(header.end(), kStatusColumns.begin(), kStatusColumns.end());
  EXPECT_EQ(rows[0], header);
  for (std::size_t i = 1; i < rows.size(); ++i)
    EXPECT_EQ(Cells(rows[i], 10, 15), std::vector<std::string>(5, "")) << "not judged: empty, row " << i;
  EXPECT_EQ(Cells(rows[1], 0, 10), (std::vector<std::string>{"101", "Zhang, Wei", "Anna \"Nan\" Li", "2026-03-01", "2026-03-02 08:00",
                                               "2026-03-02 08:00", "1", "0:00", "0", "E-101"}));
  EXPECT_EQ(Cells(rows[2], 0, 10), (std::vector<std::string>{"101", "Zhang, Wei", "Anna \"Nan\" Li", "2026-03-02",
                                               "2026-03-02 17:00", "2026-03-02 17:00", "1", "0:00", "0", "E-101"}));
  EXPECT_EQ(rows[3][3], "2026-03-05");
  EXPECT_EQ(rows[3][8], "480");  // the night shift, one working day
  EXPECT_EQ(rows[4][0], "102");
  EXPECT_EQ(rows[4][1], "<script>alert(1)</script>");
  EXPECT_EQ(Cells(rows[5], 0, 10), (std::vector<std::string>{"555", "", "", "2026-03-03", "2026-03-04 10:00", "2026-03-04 10:00",
                                               "1", "0:00", "0", ""}));
}

// HandMade judged: 101 late on its first working day, present on the others, absent twice without a swipe and
// pending once; 103 (never swiped) on leave; 555 judged on no day.
Report Judged() {
  Report r = HandMade();
  r.judged = true;
  r.people[0].judged = {{{2026, 3, 1}, "late", 5, 0, 0, 0},     {{2026, 3, 2}, "present", 0, 0, 0, 0},
                        {{2026, 3, 5}, "present", 0, 0, 480, 0}, {{2026, 3, 10}, "absent", 0, 0, 0, 0},
                        {{2026, 3, 11}, "absent", 0, 0, 0, 0},   {{2026, 3, 12}, "pending", 0, 0, 0, 0}};
  r.people[2].judged = {{{2026, 3, 10}, "leave", 0, 0, 0, 0}};
  return r;
}

// Every format of a judged report keeps what it wrote before and adds each day's status and each person's
// counts of every judged day, days without swipes included.
TEST(ReportFormats, AJudgedReportAddsStatusesAndKeepsEveryOldField) {
  const Report plain = HandMade(), judged = Judged();
  std::ostringstream old_csv, csv, old_json, jsonl, table, html;
  WriteReport(old_csv, plain, Format::Csv);
  WriteReport(csv, judged, Format::Csv);
  WriteReport(old_json, plain, Format::Json);
  WriteReport(jsonl, judged, Format::Json);
  WriteReport(table, judged, Format::Table);
  WriteReportHtml(html, judged);

  auto before = CsvRows(old_csv.str()), after = CsvRows(csv.str());
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(Cells(after[i], 0, 10), Cells(before[i], 0, 10)) << "row " << i;
  EXPECT_EQ(Cells(after[1], 10, 15), (std::vector<std::string>{"late", "5", "0", "0", "0"}));
  EXPECT_EQ(Cells(after[5], 10, 15), std::vector<std::string>(5, ""));  // 555: not judged

  auto old_lines = Lines(old_json.str()), lines = Lines(jsonl.str());
  ASSERT_EQ(lines.size(), old_lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const nlohmann::json was = nlohmann::json::parse(old_lines[i]), is = nlohmann::json::parse(lines[i]);
    for (const auto& [key, value] : was.items()) {
      const bool added = key == "statuses" || std::find(kStatusColumns.begin(), kStatusColumns.end(), key) != kStatusColumns.end();
      if (!added) {
        EXPECT_EQ(is[key], value) << key << " of line " << i;
      }
    }
  }
  EXPECT_EQ(nlohmann::json::parse(lines[0])["status"], "late");
  EXPECT_EQ(nlohmann::json::parse(lines[3])["statuses"],
            nlohmann::json::parse(R"({"absent": 2, "late": 1, "pending": 1, "present": 2})"));
  EXPECT_EQ(nlohmann::json::parse(lines[6])["statuses"], nlohmann::json::parse(R"({"leave": 1})"));  // 103: no swipe
  EXPECT_TRUE(nlohmann::json::parse(lines[7])["status"].is_null());  // 555's day: not judged
  EXPECT_TRUE(nlohmann::json::parse(old_lines[3])["statuses"].is_null());  // unjudged: none counted

  EXPECT_NE(table.str().find("absent 2, late 1, pending 1, present 2"), std::string::npos) << table.str();

  HtmlDom dom(html.str());
  EXPECT_EQ(dom.Count("//section[@data-person='101']//td[@data-status='absent']"), 2u);
  EXPECT_EQ(dom.Count("//section[@data-person='103']//tr[@data-day='2026-03-10']/td[@data-status='leave']"), 1u);
}

// With the site's late_after, CSV gains a column "late" before the employee code, JSON a "late" member and the page a
// mark on the late day; without it, every format stays as it was (checked above).
TEST(ReportFormats, LateDaysAreMarkedInEveryFormatOnlyWhenTheSiteSetsLateAfter) {
  ReportBuilder b(ParseMonth("2026-03"), 0, 9 * 60);
  b.Add(7, "2026-03-02 08:00:00");
  b.Add(7, "2026-03-03 09:15:00");
  Report r = b.Finish({{7, "<b>Late</b>", ""}});
  std::ostringstream csv, jsonl, html;
  WriteReport(csv, r, Format::Csv);
  WriteReport(jsonl, r, Format::Json);
  WriteReportHtml(html, r);
  auto rows = CsvRows(csv.str());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][9], "late");
  EXPECT_EQ(rows[1][9], "0");
  EXPECT_EQ(rows[2][9], "1");
  auto lines = Lines(jsonl.str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(nlohmann::json::parse(lines[0])["late"], false);
  EXPECT_EQ(nlohmann::json::parse(lines[1])["late"], true);
  HtmlDom dom(html.str());
  EXPECT_EQ(dom.Count("//tr[contains(@class,'late')]"), 1u);
  EXPECT_EQ(dom.Count("//tr[@data-day='2026-03-03' and contains(@class,'late')]//span[@class='late']"), 1u);
}

TEST(ReportFormats, JsonLinesReadBack) {
  std::ostringstream out;
  WriteReport(out, HandMade(), Format::Json);
  auto lines = Lines(out.str());
  std::vector<nlohmann::json> days, people;
  for (const std::string& line : lines) {
    auto row = nlohmann::json::parse(line);
    (row["type"] == "day" ? days : people).push_back(row);
  }
  ASSERT_EQ(days.size(), 5u);
  ASSERT_EQ(people.size(), 4u);
  EXPECT_EQ(people[0]["person"], 101);
  EXPECT_EQ(people[0]["days_present"], 3);
  EXPECT_EQ(people[0]["total_span_minutes"], 480);
  EXPECT_EQ(people[2]["person"], 103);
  EXPECT_EQ(people[2]["name"], "Two\nLines");
  EXPECT_EQ(people[2]["days_present"], 0);
  EXPECT_TRUE(people[3]["name"].is_null());
  EXPECT_EQ(days[2]["first"], "2026-03-05 22:00");
  EXPECT_EQ(days[2]["last"], "2026-03-06 06:00");
}

TEST(ReportFormats, TableNamesUnnamedPeopleAndNextDayTimes) {
  std::ostringstream out;
  WriteReport(out, HandMade(), Format::Table);
  std::string text = out.str();
  EXPECT_NE(text.find("(no name)"), std::string::npos);
  EXPECT_NE(text.find("06:00 +1"), std::string::npos) << text;
  EXPECT_NE(text.find("working days start at 12:00"), std::string::npos);
  EXPECT_EQ(text.find("Two\nLines"), std::string::npos);

  std::ostringstream empty;
  WriteReport(empty, ReportBuilder(ParseMonth("2026-03"), 0).Finish({}), Format::Table);
  EXPECT_NE(empty.str().find("No swipes and no people"), std::string::npos);
}

TEST(ReportFormats, TableAlignsChineseNames) {
  EXPECT_EQ(DisplayWidth("王小明"), 6u);
  EXPECT_EQ(DisplayWidth("Ann"), 3u);
  std::ostringstream out;
  WritePeople(out, {{1, "王小明", "x"}, {2, "Ann", "y"}}, Format::Table);
  auto lines = Lines(out.str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].find(" x"), lines[1].size() - 2);
  EXPECT_EQ(DisplayWidth(lines[1]), DisplayWidth(lines[2]));
}

TEST(ReportHtml, ParsesWithOneRowPerDayAndNoInjection) {
  Report report = HandMade();
  std::ostringstream out;
  WriteReportHtml(out, report);
  std::string html = out.str();
  HtmlDom dom(html);
  EXPECT_EQ(dom.Count("//section[@class='person']"), 4u);
  EXPECT_EQ(dom.Count("//section[@data-person='101']//tbody/tr"), 31u);  // a month grid
  EXPECT_EQ(dom.Count("//tr[contains(@class,'present')]"), report.day_count());
  EXPECT_EQ(dom.Count("//section[@data-person='101']//tr[contains(@class,'present')]//rect[@class='span']"), 3u);
  // Markup in a name stays text.
  EXPECT_EQ(dom.Count("//script"), 0u);
  auto headings = dom.Texts("//section[@data-person='102']/h2");
  ASSERT_EQ(headings.size(), 1u);
  EXPECT_EQ(headings[0], "102 · <script>alert(1)</script>");
  EXPECT_EQ(dom.Texts("//section[@data-person='555']/h2")[0], "555 · (no name)");
  // Self-contained: nothing to fetch.
  EXPECT_EQ(dom.Count("//*[@src]"), 0u);
  EXPECT_EQ(dom.Count("//link"), 0u);
  EXPECT_EQ(html.find("http:"), std::string::npos);
  EXPECT_EQ(html.find("https:"), std::string::npos);
  EXPECT_EQ(dom.Count("//a[not(starts-with(@href,'#'))]"), 0u);
  EXPECT_NE(html.find("@page { size: A4"), std::string::npos);
}

TEST(ReportHtml, EmptyReportIsAPage) {
  std::ostringstream out;
  WriteReportHtml(out, ReportBuilder(ParseMonth("2026-02"), 0).Finish({}));
  HtmlDom dom(out.str());
  EXPECT_EQ(dom.Count("//section[@class='person']"), 0u);
  EXPECT_EQ(dom.Texts("//title")[0], "Attendance 2026-02-01 to 2026-02-28");
}

}  // namespace
