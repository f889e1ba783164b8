// The Swipes, People and Report pages over a store of the test's own: filters and pages by
// position, the CSV downloads against the host's own writers, a person's month, edits and imports
// with their audit rows, and refusals that change nothing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <regex>
#include <set>
#include <sstream>

#include "host/attendance_data.h"
#include "host/judged_report.h"
#include "host/db/swipe_store.h"
#include "present/report/formats.h"
#include "present/report/date_options.h"
#include "present/swipe_export.h"
#include "tests/web/console_fixture.h"
#include "host/db/database.h"

namespace vanto::web::testing {
namespace {

store::StoredSwipe Swipe(int port, int terminal, std::int32_t person, const std::string& time) {
  return {port, terminal, person, time.substr(0, 16), 1, time, "2026-03-31T20:00:00Z"};
}

// 130 swipes in March 2026: persons 1..5 on ports 1 and 2, several sharing a time.
void Fill(const std::string& database) {
  auto store = vanto::db::Database::Open(database)->Swipes();
  std::vector<store::StoredSwipe> rows;
  for (int i = 0; i < 130; ++i) {
    char time[32];
    std::snprintf(time, sizeof time, "2026-03-%02d %02d:%02d:00", 2 + i / 10, 8 + i % 10, (i * 7) % 60);
    rows.push_back(Swipe(1 + i % 2, 1, 1 + i % 5, time));
  }
  store->Insert(rows);
  store->PutPeople(std::vector<store::PersonName>{{1, "Ann", "Sales"}, {2, "Bo", "Sales"}, {3, "Cy", "Night"}});
}

// The swipe rows of a page as "time|port|terminal|person", and its next-page link.
struct ShownPage {
  std::vector<std::string> rows;
  std::string next;
};
ShownPage Shown(const std::string& body) {
  ShownPage page;
  static const std::regex row(
      "<tr class=\"swipe\"><td>([^<]*)</td><td>([^<]*)</td><td>([^<]*)</td><td>([^<]*)</td>");
  for (auto it = std::sregex_iterator(body.begin(), body.end(), row); it != std::sregex_iterator(); ++it)
    page.rows.push_back((*it)[1].str() + "|" + (*it)[2].str() + "|" + (*it)[3].str() + "|" + (*it)[4].str());
  std::smatch m;
  static const std::regex next("id=\"next-page\" href=\"([^\"]*)\"|href=\"([^\"]*)\" id=\"next-page\"");
  if (std::regex_search(body, m, next)) page.next = std::regex_replace(m[1].matched ? m[1].str() : m[2].str(),
                                                                         std::regex("&amp;"), "&");
  return page;
}

TEST(RecordsPages, SwipesFilterAndPageWithoutRepeatingOrSkippingASwipe) {
  Console console;
  Fill(console.database());
  Session hr = console.Login(console.users.hr);
  auto store = vanto::db::Database::Open(console.database())->Swipes();
  struct Case {
    const char* query;
    store::SwipeQuery expected;
  };
  std::vector<Case> cases(5);
  cases[0].query = "";
  cases[1].query = "?person=3";
  cases[1].expected.persons = {3};
  cases[2].query = "?port=2&from=2026-03-05&to=2026-03-09";
  cases[2].expected.port = 2, cases[2].expected.from = "2026-03-05", cases[2].expected.to = "2026-03-09 23:59:59";
  cases[3].query = "?department=Sales";
  cases[3].expected.persons = {1, 2};
  cases[4].query = "?department=Nowhere";
  cases[4].expected.limit = 0;
  for (const Case& c : cases) {
    std::vector<std::string> want;
    store->Each(c.expected, [&](const store::StoredSwipe& s) {
      want.push_back(s.time + "|" + std::to_string(s.port) + "|" + std::to_string(s.terminal) + "|" +
                     std::to_string(s.person));
      return true;
    });
    std::vector<std::string> seen;
    std::string path = std::string("/swipes") + c.query;
    int pages = 0;
    while (!path.empty() && pages++ < 10) {
      httplib::Result res = console.Get(path, hr.cookie);
      ASSERT_TRUE(res);
      ASSERT_EQ(res->status, 200) << path;
      ShownPage page = Shown(res->body);
      EXPECT_LE(page.rows.size(), 50u);
      seen.insert(seen.end(), page.rows.begin(), page.rows.end());
      path = page.next;
    }
    std::sort(want.begin(), want.end());  // the page order sorts ties by more than the time
    std::vector<std::string> sorted = seen;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, want) << c.query;
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), seen.size()) << c.query;
  }
  // Hostile filters: refused with the reason, never run.
  for (const char* bad : {"/swipes?port=0", "/swipes?person=1%3BDROP", "/swipes?from=2026-13-01",
                          "/swipes?after=x%7C1", "/swipes?from=2026-03-09&to=2026-03-01", "/swipes?terminal=../1"}) {
    httplib::Result res = console.Get(bad, hr.cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << bad;
    EXPECT_EQ(Shown(res->body).rows.size(), 0u) << bad;
  }
}

// Attack: names and departments a spreadsheet would run, in the CSV downloads. Each cell is
// guarded by a leading apostrophe, and each download starts with a UTF-8 byte-order mark.
TEST(RecordsPages, DownloadsGuardCellsASpreadsheetWouldRun) {
  Console console;
  Fill(console.database());
  vanto::db::Database::Open(console.database())->Swipes()
      ->PutPeople(std::vector<store::PersonName>{{4, "=HYPERLINK(\"http://evil.example\",\"pay\")", "@SUM(A1)"},
                                                {5, "+cmd|' /C calc'!A0", "-2+3"}});
  Session hr = console.Login(console.users.hr);
  struct Case {
    const char* path;
    std::vector<std::string> guarded, never;
  } cases[] = {
      {"/swipes/csv?person=4", {"\"'=HYPERLINK(\"\"http://evil.example\"\",\"\"pay\"\")\""}, {",=HYPERLINK", ",\"=HYPERLINK"}},
      {"/swipes/csv?person=5", {",'+cmd|' /C calc'!A0"}, {",+cmd"}},
      {"/report/csv?month=2026-03", {",'@SUM(A1),", ",'-2+3,", "'=HYPERLINK"}, {",@SUM", ",-2+3", ",=HYPERLINK", ",\"=HYPERLINK"}},
  };
  for (const Case& c : cases) {
    httplib::Result res = console.Get(c.path, hr.cookie);
    ASSERT_TRUE(res) << c.path;
    ASSERT_EQ(res->status, 200) << c.path;
    EXPECT_EQ(res->body.rfind(report::kUtf8ByteOrderMark, 0), 0u) << c.path;
    for (const std::string& text : c.guarded) EXPECT_NE(res->body.find(text), std::string::npos) << c.path << ": " << text;
    for (const std::string& text : c.never) EXPECT_EQ(res->body.find(text), std::string::npos) << c.path << ": " << text;
  }
}

TEST(RecordsPages, DownloadsCarryTheHostsOwnColumnsAndNumbers) {
  Console console;
  Fill(console.database());
  Session viewer = console.Login(console.users.viewer);
  Session hr = console.Login(console.users.hr);
  auto store = vanto::db::Database::Open(console.database())->Swipes();

  store::SwipeQuery query;
  query.persons = {1};
  std::ostringstream swipes;
  host::ExportSwipes(*store, query, report::Format::Csv, swipes);
  httplib::Result csv = console.Get("/swipes/csv?person=1", hr.cookie);
  ASSERT_TRUE(csv);
  EXPECT_EQ(csv->status, 200);
  EXPECT_EQ(csv->body, report::kUtf8ByteOrderMark + swipes.str());
  EXPECT_NE(csv->get_header_value("Content-Disposition").find("attachment"), std::string::npos);

  // The report as the host judges it, day statuses and all.
  std::ostringstream month;
  auto db = vanto::db::Database::Open(console.database());
  const host::SiteChoice every;
  const host::AttendanceSite at{*db, every, nullptr, {"test", "test"}, std::nullopt};
  const report::Report judged = host::BuildJudgedReport(at, report::ParseMonth("2026-03"), 0, std::nullopt);
  ASSERT_TRUE(judged.judged);
  report::WriteReport(month, judged, report::Format::Csv);
  httplib::Result report = console.Get("/report/csv?month=2026-03", viewer.cookie);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->body, report::kUtf8ByteOrderMark + month.str());
  httplib::Result page = console.Get("/report?month=2026-03", viewer.cookie);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<td class=\"name\">Ann</td>"), std::string::npos);
  EXPECT_NE(page->body.find("<td class=\"status\" data-status=\""), std::string::npos) << page->body;
  EXPECT_NE(page->body.find("<td class=\"statuses\">"), std::string::npos);
  httplib::Result print = console.Get("/report/print?month=2026-03", viewer.cookie);
  EXPECT_EQ(print->status, 200);
  EXPECT_NE(print->body.find("data-person=\"1\""), std::string::npos);
  EXPECT_EQ(print->get_header_value_count("Content-Security-Policy"), 1u);
  EXPECT_EQ(print->get_header_value("Content-Security-Policy").find("script"), std::string::npos);
  for (const char* bad : {"/report?month=2026-3", "/report/csv?month=%3Cb%3E", "/report/print?month=2026-00"})
    EXPECT_EQ(console.Get(bad, viewer.cookie)->status, 400) << bad;
}

TEST(RecordsPages, AnEditIsAuditedInItsTransactionShownEscapedAndReachesTheReport) {
  Console console;
  Fill(console.database());
  Session hr = console.Login(console.users.hr);
  const std::string name = "<b>\"Ann\" O'Neil</b>";
  httplib::Result edit = console.Post(
      "/people/edit",
      {{"csrf", hr.csrf}, {"number", "1"}, {"name", name}, {"department", "R&D"}, {"employee_code", "E-7"},
       {"month", "2026-03"}},
      hr.cookie);
  ASSERT_TRUE(edit);
  EXPECT_EQ(edit->status, 303);
  // The employee code is listed, shown for editing and kept by a form without the field.
  EXPECT_NE(console.Get("/people", hr.cookie)->body.find("<td class=\"code\">E-7</td>"), std::string::npos);
  EXPECT_NE(console.Get("/people/person?number=1&month=2026-03", hr.cookie)->body.find("value=\"E-7\""),
            std::string::npos);
  std::vector<accounts::AuditEntry> trail = console.accounts().AuditTrail(1);
  ASSERT_EQ(trail.size(), 1u);
  EXPECT_EQ(trail[0].action, "people.edit");
  EXPECT_EQ(trail[0].actor, console.users.hr);
  EXPECT_EQ(trail[0].origin, "127.0.0.1");
  EXPECT_NE(trail[0].details.find("1 updated"), std::string::npos);

  std::string report = console.Get("/report?month=2026-03", hr.cookie)->body;
  EXPECT_NE(report.find("&lt;b&gt;&quot;Ann&quot; O&apos;Neil&lt;/b&gt;"), std::string::npos);
  ASSERT_EQ(console.Post("/people/edit",
                         {{"csrf", hr.csrf}, {"number", "1"}, {"name", name}, {"department", "R&D"}, {"month", "2026-03"}},
                         hr.cookie)
                ->status,
            303);
  EXPECT_NE(console.Get("/people", hr.cookie)->body.find("<td class=\"code\">E-7</td>"), std::string::npos);
  EXPECT_EQ(report.find(name), std::string::npos);

  // Refused edits change nothing and write no audit row.
  const std::size_t rows = console.accounts().AuditTrail(1000).size();
  for (const httplib::Params& bad :
       {httplib::Params{{"number", "1"}, {"name", ""}}, httplib::Params{{"number", "1"}, {"name", "Two\nLines"}},
        httplib::Params{{"number", "99999999999"}, {"name", "X"}}, httplib::Params{{"number", "1"}, {"name", "\xff"}},
        httplib::Params{{"number", "1"}, {"name", std::string(201, 'x')}}}) {
    httplib::Params form = bad;
    form.emplace("csrf", hr.csrf);
    httplib::Result res = console.Post("/people/edit", form, hr.cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << bad.begin()->second;
  }
  EXPECT_EQ(console.accounts().AuditTrail(1000).size(), rows);
  EXPECT_EQ(vanto::db::Database::Open(console.database())->Swipes()->People()[0].name, name);
}

httplib::Result Upload(const Console& console, const Session& s, const std::string& content) {
  httplib::MultipartFormDataItems items = {{"csrf", s.csrf, "", ""}, {"file", content, "people.csv", "text/csv"}};
  return console.Client().Post("/people/import", {{"Cookie", s.cookie}}, items);
}

TEST(RecordsPages, AnImportIsAllOrNothingWithOneAuditRow) {
  Console console;
  Session admin = console.Login(console.users.admin);
  const std::size_t rows = console.accounts().AuditTrail(1000).size();
  // A bad row (line 3: a number listed twice) refuses the whole file.
  httplib::Result refused = Upload(console, admin, "person,name,department\n7,Seven,\n7,Again,\n");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
  EXPECT_NE(refused->body.find("people.csv:3"), std::string::npos);
  EXPECT_TRUE(vanto::db::Database::Open(console.database())->Swipes()->People().empty());
  EXPECT_EQ(console.accounts().AuditTrail(1000).size(), rows);

  httplib::Result done = Upload(console, admin, "person,name,department\n7,\"Zhang, Wei\",Nights\n8,王小明,\n");
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 303);
  EXPECT_EQ(done->get_header_value("Location"), "/people?added=2&updated=0&unchanged=0");
  EXPECT_EQ(vanto::db::Database::Open(console.database())->Swipes()->People(),
            (std::vector<store::PersonName>{{7, "Zhang, Wei", "Nights"}, {8, "王小明", ""}}));
  std::vector<accounts::AuditEntry> trail = console.accounts().AuditTrail(1);
  EXPECT_EQ(trail[0].action, "people.import");
  EXPECT_EQ(trail[0].actor, console.users.admin);
  std::string list = console.Get("/people?q=zhang", admin.cookie)->body;
  EXPECT_NE(list.find("Zhang, Wei"), std::string::npos);
  EXPECT_EQ(list.find("王小明"), std::string::npos);
  EXPECT_EQ(list.find("id=\"more-people\""), std::string::npos);
  // A list longer than a page says so.
  std::string many = "person,name\n";
  for (int i = 1000; i < 1600; ++i) many += std::to_string(i) + ",P" + std::to_string(i) + "\n";
  ASSERT_EQ(Upload(console, admin, many)->status, 303);
  std::string all = console.Get("/people", admin.cookie)->body;
  EXPECT_NE(all.find("id=\"more-people\""), std::string::npos);
  EXPECT_EQ(all.find("P1599"), std::string::npos);

  // An upload over the body limit is refused before it is read.
  httplib::Result huge = Upload(console, admin, "person,name\n" + std::string(2 << 20, 'x'));
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->status, 413);
}

TEST(RecordsPages, APersonsMonthMarksLoneSwipesAndLateDays) {
  ServerOptions options;
  options.records.late_after = 9 * 60;
  Console console(options);
  {
    auto store = vanto::db::Database::Open(console.database())->Swipes();
    store->Insert(std::vector<store::StoredSwipe>{Swipe(1, 1, 4, "2026-03-02 08:55:00"), Swipe(1, 1, 4, "2026-03-02 17:05:00"),
                                                  Swipe(1, 1, 4, "2026-03-03 09:20:00"), Swipe(1, 1, 4, "2026-03-03 18:00:00"),
                                                  Swipe(1, 1, 4, "2026-03-04 08:00:00")});
  }
  Session hr = console.Login(console.users.hr);
  httplib::Result res = console.Get("/people/person?number=4&month=2026-03", hr.cookie);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const std::string& body = res->body;
  auto cell = [&](const char* date) {
    std::smatch m;
    std::regex re(std::string("<td class=\"([^\"]*)\" data-day=\"") + date + "\"");
    return std::regex_search(body, m, re) ? m[1].str() : std::string("(none)");
  };
  EXPECT_EQ(cell("2026-03-02"), "day present");
  EXPECT_EQ(cell("2026-03-03"), "day present late");
  EXPECT_EQ(cell("2026-03-04"), "day present single");
  EXPECT_EQ(cell("2026-03-05"), "day");
  EXPECT_NE(body.find("<span id=\"days-present\">3</span>"), std::string::npos);
  EXPECT_NE(body.find("<span id=\"total-span\">16:50</span>"), std::string::npos);
  // 2026-03-01 is a Sunday: six blank cells come before it.
  EXPECT_NE(body.find("<tr><td></td><td></td><td></td><td></td><td></td><td></td><td class=\"day\" data-day=\"2026-03-01\""),
            std::string::npos);
  for (const char* bad : {"/people/person", "/people/person?number=abc", "/people/person?number=4&month=13"})
    EXPECT_EQ(console.Get(bad, hr.cookie)->status, 400) << bad;
}

TEST(RecordsPages, TheEnrolmentsPageListsTheHostsCopyAndNoSecret) {
  Console console;
  {
    auto store = vanto::db::Database::Open(console.database())->Swipes();
    store->PutPeople(std::vector<store::PersonName>{{7, "<Seven>", ""}});
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(console.database().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "INSERT INTO enrolment (cPsn_Num, iFingerprintNO, imachineno, npassword) VALUES "
                         "(7, 0, 2, NULL), (7, 10, 3, 918273), (8, 0, 1, NULL)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  Session hr = console.Login(console.users.hr);
  httplib::Result res = console.Get("/enrolments", hr.cookie);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  std::regex row("<tr class=\"enrolment\" data-person=\"[^\"]*\"><td>([^<]*)</td><td>([^<]*)</td><td>([^<]*)</td><td>([^<]*)</td>");
  std::vector<std::string> shown;
  for (auto it = std::sregex_iterator(res->body.begin(), res->body.end(), row); it != std::sregex_iterator(); ++it)
    shown.push_back((*it)[1].str() + "|" + (*it)[2].str() + "|" + (*it)[3].str() + "|" + (*it)[4].str());
  EXPECT_EQ(shown, (std::vector<std::string>{"7|&lt;Seven&gt;|fingerprint|2", "7|&lt;Seven&gt;|password|3",
                                             "8||fingerprint|1"}));
  EXPECT_EQ(res->body.find("918273"), std::string::npos);  // a password never leaves the table
  EXPECT_NE(res->body.find("id=\"host-copy\""), std::string::npos);
}

TEST(RecordsPages, AFailingDatabaseShowsItsMessageAndChangesNothing) {
  ServerOptions options;
  options.records.database = "/nonexistent-vanto-folder/site.db";
  Console console(options);
  Session admin = console.Login(console.users.admin);
  const std::size_t rows = console.accounts().AuditTrail(1000).size();
  for (const char* path : {"/swipes", "/people", "/report?month=2026-03", "/people/person?number=1", "/enrolments"}) {
    httplib::Result res = console.Get(path, admin.cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503) << path;
    EXPECT_NE(res->body.find("/nonexistent-vanto-folder/site.db"), std::string::npos) << path;
  }
  httplib::Result edit =
      console.Post("/people/edit", {{"csrf", admin.csrf}, {"number", "1"}, {"name", "X"}}, admin.cookie);
  EXPECT_EQ(edit->status, 503);
  EXPECT_EQ(console.accounts().AuditTrail(1000).size(), rows);
}

}  // namespace
}  // namespace vanto::web::testing
