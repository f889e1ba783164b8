// A person's month and a department's month in the console: the calendar shows a late day, a
// leave day and a correction; the department's totals add up and sort by any column; the exports
// answer each format; bad input is refused naming what; every role reads them, in Chinese too.
// On both engines: the records in SQLite or PostgreSQL (scripts/pg-cluster.sh).
#include <gtest/gtest.h>

#include <regex>

#include "host/attendance_host.h"
#include "host/db/database.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "tests/host/store_engines.h"
#include "tests/web/console_fixture.h"

namespace vanto::web::testing {
namespace {

store::StoredSwipe Swipe(std::int32_t person, const std::string& time) {
  return {1, 1, person, time.substr(0, 16), 1, time, "2026-07-01T00:00:30Z"};
}

// June 2026 (the 1st is a Monday): 7 and 8 of Sales and 9 of Night work 09:00-18:00 on weekdays.
// 7: late on the 2nd, on annual leave on the 3rd, no swipe out on the 4th but one added by a
// correction; 8: present on the 1st and the 2nd with an hour's overtime; 9 (named "=1+1") never.
void Fill(const std::string& location) {
  auto db = db::Database::Open(location);
  host::SiteChoice site;
  const host::AttendanceSite at{*db, site, nullptr, {"test", "test"}, std::nullopt};
  attendance::Shift day;
  day.name = "day";
  host::AddShift(at, day, std::vector<bool>{true, true, true, true, true, false, false});
  for (std::int32_t person : {7, 8, 9}) {
    attendance::Assignment a;
    a.pattern = "day";
    a.person = person;
    a.from = "2026-06-01";
    host::Assign(at, a);
  }
  auto swipes = db->Swipes();
  swipes->Insert(std::vector<store::StoredSwipe>{
      Swipe(7, "2026-06-02 09:10:00"), Swipe(7, "2026-06-02 18:20:00"), Swipe(7, "2026-06-04 08:55:00"),
      Swipe(8, "2026-06-01 08:50:00"), Swipe(8, "2026-06-01 18:00:00"), Swipe(8, "2026-06-02 08:50:00"),
      Swipe(8, "2026-06-02 19:00:00")});
  swipes->PutPeople(std::vector<store::PersonName>{{7, "Ann", "Sales"}, {8, "Bo", "Sales"}, {9, "=1+1", "Night"}});
  attendance::Leave leave;
  leave.person = 7;
  leave.kind = "annual";
  leave.from = leave.to = "2026-06-03";
  host::AddLeave(at, {leave});
  attendance::Correction out;
  out.person = 7;
  out.time = "2026-06-04 18:05:00";
  out.direction = attendance::Direction::kOut;
  out.reason = "forgot to swipe";
  host::AddCorrection(at, out);
  auto runs = db->SyncRuns();
  const std::int64_t run = runs->Begin("2026-07-01T00:00:00Z", store::RunStarter::Console, "test", "", "");
  store::RunTerminal synced;
  synced.port = 1;
  synced.terminal = 1;
  synced.outcome = "synced";
  runs->Finish(run, "2026-07-01T00:01:00Z", {synced});
}

std::string Match(const std::string& body, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(body, m, std::regex(pattern)) ? m[1].str() : "(none)";
}

// The person numbers of the department table's rows, in order.
std::string Order(const std::string& body) {
  std::string order;
  static const std::regex row("<tr class=\"person\" data-person=\"([0-9]+)\"");
  for (auto it = std::sregex_iterator(body.begin(), body.end(), row); it != std::sregex_iterator(); ++it)
    order += (order.empty() ? "" : ",") + (*it)[1].str();
  return order;
}

// A console over the records of one engine, filled as Fill says.
class AttendancePages : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    VANTO_STORE_ENGINE(GetParam(), engine_);
    ServerOptions options;
    options.records.database = engine_->FreshLocation();
    Fill(options.records.database);
    console_ = std::make_unique<Console>(options);
  }
  void TearDown() override { console_.reset(); }
  std::unique_ptr<store::testing::StoreEngine> engine_;
  std::unique_ptr<Console> console_;
};

TEST_P(AttendancePages, APersonsMonthShowsLateLeaveAndACorrection) {
  Console& console = *console_;
  Session viewer = console.Login(console.users.viewer);
  httplib::Result res = console.Get("/attendance/person?person=7&month=2026-06", viewer.cookie);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const std::string& body = res->body;
  const struct {
    const char* date;
    const char* status;
    const char* shows;  // within the day's cell
  } days[] = {
      {"2026-06-02", "late", "<li data-finding=\"late\">late 10 min</li>"},
      {"2026-06-03", "leave", "<div class=\"leave\">Leave: annual</div>"},
      {"2026-06-04", "present", "+18:05 (correction)</span>"},
      {"2026-06-05", "absent", "<li data-finding=\"absent\">"},
      {"2026-06-06", "rest", "</td>"},
  };
  for (const auto& d : days) {
    const std::string cell = Match(body, std::string("(data-day=\"") + d.date + "\"[^]*?</td>)");
    EXPECT_NE(cell.find(std::string("data-status=\"") + d.status + "\""), std::string::npos) << d.date << cell;
    EXPECT_NE(cell.find(d.shows), std::string::npos) << d.date << cell;
  }
  EXPECT_NE(Match(body, "(data-day=\"2026-06-04\"[^]*?</td>)").find("title=\"forgot to swipe\""), std::string::npos);
  // A day without worked hours shows none (not the month's total, a key of the same name on the page).
  for (const char* date : {"2026-06-05", "2026-06-06"})
    EXPECT_EQ(Match(body, std::string("(data-day=\"") + date + "\"[^]*?</td>)").find("class=\"worked\""), std::string::npos)
        << date;
  // Monday first: the 1st (a Monday) opens the first week; the 30th is in the fifth.
  EXPECT_NE(body.find("<tbody>\n<tr><td class=\"day st-"), std::string::npos);
  EXPECT_EQ(Match(body, "<tr data-status=\"late\"><td [^>]*>[^<]*</td><td class=\"count\">([0-9]+)<"), "1");
  EXPECT_EQ(Match(body, "<td id=\"total-worked\">([^<]*)<"), "18:20");  // 9:10 on the 2nd and on the 4th
  EXPECT_NE(body.find("id=\"zone\">UTC<"), std::string::npos);
  EXPECT_NE(body.find("type=\"month\""), std::string::npos);
  EXPECT_NE(body.find("href=\"/attendance/person?person=7&amp;month=2026-05\" id=\"prev-month\""), std::string::npos);
}

TEST_P(AttendancePages, ADepartmentsMonthAddsUpAndSortsByAnyColumn) {
  Console& console = *console_;
  Session hr = console.Login(console.users.hr);
  const struct {
    const char* query;
    const char* order;
  } sorts[] = {
      {"", "7,8,9"},
      {"&sort=person&order=desc", "9,8,7"},
      {"&sort=absent&order=desc", "9,8,7"},  // 9 absent every weekday, 8 on all but two, 7 on all but three
      {"&sort=overtime&order=desc", "8,7,9"},
      {"&sort=name", "9,7,8"},  // "=1+1" before "Ann" before "Bo"
      {"&department=Sales&sort=late&order=desc", "7,8"},
  };
  for (const auto& s : sorts) {
    httplib::Result res = console.Get(std::string("/attendance/department?month=2026-06") + s.query, hr.cookie);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << s.query << res->body;
    EXPECT_EQ(Order(res->body), s.order) << s.query;
  }
  // Totals: the sum of each column over the people shown.
  const std::string body = console.Get("/attendance/department?month=2026-06&department=Sales", hr.cookie)->body;
  std::vector<int> sum(5, 0);
  static const std::regex row("<tr class=\"person\"[^]*?</td><td>[^<]*</td>((?:<td class=\"num\">[^<]*</td>)+)</tr>");
  static const std::regex num("<td class=\"num\">([^<]*)</td>");
  int rows = 0;
  for (auto it = std::sregex_iterator(body.begin(), body.end(), row); it != std::sregex_iterator(); ++it, ++rows) {
    const std::string cells = (*it)[1].str();
    int i = 0;
    for (auto n = std::sregex_iterator(cells.begin(), cells.end(), num); n != std::sregex_iterator() && i < 5; ++n, ++i)
      sum[i] += std::stoi((*n)[1].str());
  }
  EXPECT_EQ(rows, 2);
  const std::string totals = Match(body, "<tr class=\"totals\" id=\"totals\">(.*?)</tr>");
  std::string expected = "<td colspan=\"3\">Totals</td>";
  for (int n : sum) expected += "<td class=\"num\">" + std::to_string(n) + "</td>";
  EXPECT_EQ(totals.substr(0, expected.size()), expected);
  EXPECT_NE(body.find("href=\"/attendance/person?person=8&amp;month=2026-06\""), std::string::npos);
  // The counted statuses' columns in a clerk's words, on the page and in its export.
  const std::string csv = console.Get("/attendance/department?month=2026-06&format=csv", hr.cookie)->body;
  for (const char* heading : {"left early", "missing swipe"}) {
    EXPECT_NE(body.find(std::string(">") + heading + "</a></th>"), std::string::npos) << heading;
    EXPECT_NE(csv.find(std::string(",") + heading + ","), std::string::npos) << heading << "\n" << csv.substr(0, 300);
  }
}

TEST_P(AttendancePages, ExportsAnswerEachFormatNamedForTheMonth) {
  Console& console = *console_;
  Session hr = console.Login(console.users.hr);
  const struct {
    const char* path;
    const char* file;      // in Content-Disposition ("" none: a page)
    const char* starts;    // the body's first bytes
    const char* contains;
  } exports[] = {
      {"/attendance/person?person=7&month=2026-06&format=xlsx", "attendance-7-2026-06.xlsx", "PK", ""},
      {"/attendance/person?person=7&month=2026-06&format=csv", "attendance-7-2026-06.csv", "\xEF\xBB\xBF", "2026-06-02,late,day,09:10,18:20,10,0,9:10,"},
      {"/attendance/person?person=7&month=2026-06&format=print", "", "<!DOCTYPE html>", "@media print"},
      {"/attendance/department?month=2026-06&format=csv", "attendance-all-2026-06.csv", "\xEF\xBB\xBF", "9,'=1+1,Night,"},
      {"/attendance/department?month=2026-06&department=Sales&format=xlsx", "attendance-Sales-2026-06.xlsx", "PK", ""},
      {"/attendance/department?month=2026-06&format=print", "", "<!DOCTYPE html>", "<td>=1+1</td>"},
  };
  for (const auto& e : exports) {
    httplib::Result res = console.Get(e.path, hr.cookie);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << e.path;
    EXPECT_EQ(res->body.rfind(e.starts, 0), 0u) << e.path;
    EXPECT_NE(res->body.find(e.contains), std::string::npos) << e.path << "\n" << res->body.substr(0, 600);
    const std::string disposition = res->get_header_value("Content-Disposition");
    if (*e.file) EXPECT_NE(disposition.find(e.file), std::string::npos) << e.path << " " << disposition;
    else EXPECT_EQ(disposition, "") << e.path;
  }
}

TEST_P(AttendancePages, BadInputIsRefusedNamingWhatAndChineseWordsAreThere) {
  Console& console = *console_;
  Session admin = console.Login(console.users.admin);
  const struct {
    const char* path;
    const char* says;
  } bad[] = {
      {"/attendance/person?month=2026-06", "Person: a person number"},
      {"/attendance/person?person=abc&month=2026-06", "Person: a person number"},
      {"/attendance/person?person=99999999999&month=2026-06", "Person: a person number"},
      {"/attendance/person?person=7&month=2026-13", "Month (YYYY-MM)"},
      {"/attendance/person?person=7&month=2026-06&format=pdf", "Format: xlsx, csv or print"},
      {"/attendance/department?month=junk", "Month (YYYY-MM)"},
      {"/attendance/department?month=2026-06&sort=salary", "Sort: a column"},
      {"/attendance/department?month=2026-06&sort=late&order=up", "Sort: a column"},
  };
  for (const auto& b : bad) {
    httplib::Result res = console.Get(b.path, admin.cookie);
    ASSERT_TRUE(res) << b.path;
    EXPECT_EQ(res->status, 400) << b.path;
    EXPECT_NE(res->body.find(b.says), std::string::npos) << b.path;
  }
  const httplib::Headers zh{{"Accept-Language", "zh-CN"}};
  const std::string person = console.Get("/attendance/person?person=7&month=2026-06", admin.cookie, zh)->body;
  EXPECT_NE(person.find("迟到"), std::string::npos);
  EXPECT_NE(person.find("个人月度考勤"), std::string::npos);
  const std::string department = console.Get("/attendance/department?month=2026-06", admin.cookie, zh)->body;
  EXPECT_NE(department.find("部门月度考勤"), std::string::npos);
  EXPECT_NE(department.find("合计"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Engines, AttendancePages, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::web::testing
