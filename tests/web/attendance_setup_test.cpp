// The attendance set-up page's forms against the host's stored rows: each post stores what the
// command would or is refused with the host's reason (the form kept), closing and reopening by
// role, a post without its form token; and the small things of the listings: row totals, the
// site's zone named, the Add person form that never overwrites.
#include <gtest/gtest.h>

#include <functional>

#include "host/attendance_host.h"
#include "host/db/sites.h"
#include "host/db/swipe_store.h"
#include "host/site/site.h"
#include "tests/web/console_fixture.h"
#include "web/attendance_setup_page.h"

namespace vanto::web::testing {
namespace {

using accounts::Role;

// The stored rows, read through the host as `vanto shift list` and friends read them.
struct Stored {
  explicit Stored(const std::string& database) : db(vanto::db::Database::Open(database)) {}
  host::AttendanceSite At() { return {*db, site, nullptr, {"test", "test"}, std::nullopt}; }
  std::shared_ptr<vanto::db::Database> db;
  host::SiteChoice site;
};

struct FormCase {
  const char* what;
  accounts::Role role;
  const char* path;
  httplib::Params form;
  int status;                 // 303: stored; else refused
  std::vector<std::string> said;  // on the refusal page
  std::function<bool(const host::AttendanceSite&)> stored;  // the rows after it
};

TEST(AttendanceSetup, EachFormStoresWhatTheCommandWouldOrShowsTheRefusal) {
  Console console;
  const Role hr = accounts::Role::Hr, admin = accounts::Role::Admin;
  auto shift = [](const host::AttendanceSite& at, const std::string& name) -> std::optional<attendance::Shift> {
    for (const attendance::Shift& s : host::ListShifts(at))
      if (s.name == name) return s;
    return std::nullopt;
  };
  auto patterns = [](const host::AttendanceSite& at) { return host::ListPatterns(at).size(); };
  auto assignments = [](const host::AttendanceSite& at) { return host::ListAssignments(at).size(); };
  const std::vector<FormCase> cases = {
      {"a day shift with its week pattern", hr, "/attendance/setup/shift/add",
       {{"shift_name", "office"}, {"shift_start", "09:00"}, {"shift_end", "18:00"}, {"shift_break", "60"},
        {"shift_day_mon", "1"}, {"shift_day_fri", "1"}},
       303, {}, [&](const host::AttendanceSite& at) {
         auto s = shift(at, "office");
         auto p = host::ListPatterns(at);
         return s && s->start == 540 && s->end == 1080 && s->break_minutes == 60 && p.size() == 1 &&
                p[0].days == std::vector<std::string>{"office", "", "", "", "office", "", ""};
       }},
      {"a night shift", hr, "/attendance/setup/shift/add",
       {{"shift_name", "nightwatch"}, {"shift_start", "22:00"}, {"shift_end", "06:00"}}, 303, {},
       [&](const host::AttendanceSite& at) { return shift(at, "nightwatch") && patterns(at) == 1; }},
      {"a name held already", hr, "/attendance/setup/shift/add",
       {{"shift_name", "office"}, {"shift_start", "08:00"}, {"shift_end", "17:00"}}, 400, {"office"},
       [&](const host::AttendanceSite& at) { return shift(at, "office")->start == 540; }},
      {"a time that is none", hr, "/attendance/setup/shift/add",
       {{"shift_name", "late"}, {"shift_start", "25:00"}, {"shift_end", "06:00"}}, 400, {"25:00", "value=\"late\""},
       [&](const host::AttendanceSite& at) { return !shift(at, "late"); }},
      {"core hours without flexible", hr, "/attendance/setup/shift/add",
       {{"shift_name", "late"}, {"shift_start", "10:00"}, {"shift_end", "19:00"}, {"shift_required", "400"}}, 400,
       {"flexible"}, [&](const host::AttendanceSite& at) { return !shift(at, "late"); }},
      {"a change keeps what is not given", hr, "/attendance/setup/shift/change",
       {{"shift_name", "office"}, {"shift_late_grace", "10"}, {"shift_start", ""}}, 303, {},
       [&](const host::AttendanceSite& at) {
         auto s = shift(at, "office");
         return s->late_grace == 10 && s->start == 540 && s->break_minutes == 60;
       }},
      {"a change of no shift", hr, "/attendance/setup/shift/change", {{"shift_name", "ghost"}, {"shift_late_grace", "1"}},
       400, {"ghost"}, nullptr},
      {"a pattern whose days overlap names both shifts", hr, "/attendance/setup/pattern/add",
       {{"pattern_name", "swing"}, {"pattern_kind", "week"}, {"pattern_days", "nightwatch,office,,,,,"}}, 400,
       {"nightwatch", "office"}, [&](const host::AttendanceSite& at) { return patterns(at) == 1; }},
      {"a week of six days", hr, "/attendance/setup/pattern/add",
       {{"pattern_name", "six"}, {"pattern_kind", "week"}, {"pattern_days", "office,,,,,"}}, 400, {"7"},
       [&](const host::AttendanceSite& at) { return patterns(at) == 1; }},
      {"a rotation", hr, "/attendance/setup/pattern/add",
       {{"pattern_name", "nights"}, {"pattern_kind", "rotation"}, {"pattern_days", "nightwatch, nightwatch,"},
        {"pattern_starts", "2026-01-05"}},
       303, {}, [&](const host::AttendanceSite& at) {
         for (const attendance::Pattern& p : host::ListPatterns(at))
           if (p.name == "nights")
             return p.kind == attendance::PatternKind::kRotation && p.starts == "2026-01-05" &&
                    p.days == std::vector<std::string>{"nightwatch", "nightwatch", ""};
         return false;
       }},
      {"a pattern to people by ranges", hr, "/attendance/setup/assign",
       {{"assign_pattern", "office"}, {"assign_people", "1-3,7"}, {"assign_department", ""}, {"assign_from", "2026-01-01"},
        {"assign_until", ""}},
       303, {}, [&](const host::AttendanceSite& at) { return assignments(at) == 4; }},
      {"all or nothing: person 3 has a pattern then", hr, "/attendance/setup/assign",
       {{"assign_pattern", "nights"}, {"assign_people", "4,3"}, {"assign_department", ""}, {"assign_from", "2026-02-01"},
        {"assign_until", "2026-02-28"}},
       400, {"value=\"4,3\""}, [&](const host::AttendanceSite& at) { return assignments(at) == 4; }},
      {"an inverted range named", hr, "/attendance/setup/assign",
       {{"assign_pattern", "office"}, {"assign_people", "9,8-5"}, {"assign_department", ""}, {"assign_from", "2026-01-01"}},
       400, {"8-5", "value=\"9,8-5\""}, [&](const host::AttendanceSite& at) { return assignments(at) == 4; }},
      {"people and a department at once", hr, "/attendance/setup/assign",
       {{"assign_pattern", "office"}, {"assign_people", "9"}, {"assign_department", "Sales"}, {"assign_from", "2026-01-01"}},
       400, {}, [&](const host::AttendanceSite& at) { return assignments(at) == 4; }},
      {"a department", hr, "/attendance/setup/assign",
       {{"assign_pattern", "nights"}, {"assign_people", ""}, {"assign_department", "Night"}, {"assign_from", "2026-01-01"},
        {"assign_until", "2026-12-31"}},
       303, {}, [&](const host::AttendanceSite& at) {
         auto all = host::ListAssignments(at);
         return all.size() == 5 && all.back().department == "Night" && all.back().until == "2026-12-31";
       }},
      {"a removed assignment", hr, "/attendance/setup/unassign", {{"assign_id", "1"}}, 303, {},
       [&](const host::AttendanceSite& at) { return assignments(at) == 4; }},
      {"a shift a pattern works stays", hr, "/attendance/setup/shift/remove", {{"shift_name", "nightwatch"}}, 400,
       {"nights"}, [&](const host::AttendanceSite& at) { return shift(at, "nightwatch").has_value(); }},
      {"a holiday", hr, "/attendance/setup/holiday/set",
       {{"holiday_date", "2026-10-01"}, {"holiday_kind", "holiday"}, {"holiday_name", "National Day"}}, 303, {},
       [&](const host::AttendanceSite& at) {
         auto days = host::ListDaysOff(at, std::string("2026"));
         return days.size() == 1 && days[0].name == "National Day" && days[0].kind == attendance::DayOffKind::kHoliday;
       }},
      {"a date that is none", hr, "/attendance/setup/holiday/set",
       {{"holiday_date", "2026-02-30"}, {"holiday_kind", "rest"}, {"holiday_name", ""}}, 400, {"2026-02-30"},
       [&](const host::AttendanceSite& at) { return host::ListDaysOff(at, std::string("2026")).size() == 1; }},
      {"leave kinds", hr, "/attendance/setup/leave-kinds", {{"leave_kinds", "annual sick, home-office"}}, 303, {},
       [&](const host::AttendanceSite& at) {
         return host::LeaveKinds(at) == std::vector<std::string>{"annual", "sick", "home-office"};
       }},
      {"a leave kind of capitals", hr, "/attendance/setup/leave-kinds", {{"leave_kinds", "Annual"}}, 400, {"Annual"},
       [&](const host::AttendanceSite& at) { return host::LeaveKinds(at).size() == 3; }},
      {"HR closes a month", hr, "/attendance/setup/month/close", {{"month", "2026-01"}}, 303, {},
       [&](const host::AttendanceSite& at) { return host::JudgeMonth(at, "2026-01", std::nullopt).closed; }},
      {"closed already", hr, "/attendance/setup/month/close", {{"month", "2026-01"}}, 400, {"2026-01"}, nullptr},
      {"HR may not reopen", hr, "/attendance/setup/month/reopen", {{"month", "2026-01"}}, 403, {},
       [&](const host::AttendanceSite& at) { return host::JudgeMonth(at, "2026-01", std::nullopt).closed; }},
      {"an admin reopens", admin, "/attendance/setup/month/reopen", {{"month", "2026-01"}}, 303, {},
       [&](const host::AttendanceSite& at) { return !host::JudgeMonth(at, "2026-01", std::nullopt).closed; }},
  };
  Stored stored(console.database());
  std::map<accounts::Role, Session> sessions;
  for (Role role : {hr, admin}) sessions[role] = console.Login(console.users.Of(role));
  for (const FormCase& f : cases) {
    httplib::Params form = f.form;
    form.emplace("csrf", sessions[f.role].csrf);
    httplib::Result r = console.Post(f.path, form, sessions[f.role].cookie);
    ASSERT_TRUE(r) << f.what;
    EXPECT_EQ(r->status, f.status) << f.what << "\n" << r->body;
    if (f.status == 303) {
      EXPECT_EQ(r->get_header_value("Location").rfind("/attendance/setup?saved=1#", 0), 0u) << f.what;
    }
    for (const std::string& text : f.said) EXPECT_NE(r->body.find(text), std::string::npos) << f.what << ": " << text;
    if (f.stored) {
      const host::AttendanceSite at = stored.At();
      EXPECT_TRUE(f.stored(at)) << f.what;
    }
  }
  // The page lists what was stored, in Chinese too.
  httplib::Result page = console.Get("/attendance/setup?year=2026", sessions[hr].cookie,
                                     {{"Accept-Language", "zh-CN"}});
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  for (const char* text : {"data-shift=\"office\"", "data-pattern=\"nights\"", "National Day", "home-office", "节假日"})
    EXPECT_NE(page->body.find(text), std::string::npos) << text;
}

TEST(AttendanceSetup, AFormWithoutItsTokenOrByAViewerChangesNothing) {
  Console console;
  Session hr = console.Login(console.users.hr), viewer = console.Login(console.users.viewer);
  const httplib::Params form = {{"shift_name", "office"}, {"shift_start", "09:00"}, {"shift_end", "18:00"}};
  EXPECT_EQ(console.Post("/attendance/setup/shift/add", form, hr.cookie)->status, 403);
  httplib::Params with_token = form;
  with_token.emplace("csrf", viewer.csrf);
  EXPECT_EQ(console.Post("/attendance/setup/shift/add", with_token, viewer.cookie)->status, 403);
  Stored stored(console.database());
  EXPECT_TRUE(host::ListShifts(stored.At()).empty());
  // The viewer reads the page, without its forms.
  httplib::Result page = console.Get("/attendance/setup", viewer.cookie);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body.find("id=\"shift-form\""), std::string::npos);
  EXPECT_EQ(page->body.find("/attendance/setup/month/reopen"), std::string::npos);
}

TEST(ConsoleListings, RowTotalsTheZoneAndAddingAPerson) {
  site::Site file;
  file.timezone = "Asia/Shanghai";
  ServerOptions options;
  options.records.site_file = &file;
  Console console(options);
  {
    auto store = vanto::db::Database::Open(console.database())->Swipes();
    std::vector<store::StoredSwipe> rows;
    for (int i = 0; i < 73; ++i) {
      char time[32];
      std::snprintf(time, sizeof time, "2026-03-%02d %02d:%02d:00", 1 + i / 10, 8 + i % 10, i % 60);
      rows.push_back({1, 1, 1 + i % 4, std::string(time).substr(0, 16), 1, time, "2026-03-31T20:00:00Z"});
    }
    store->Insert(rows);
    store->PutPeople(std::vector<store::PersonName>{{1, "Ann", "Sales"}, {2, "Bo", "Sales"}, {3, "Cy", "Night"}});
  }
  Session admin = console.Login(console.users.admin);
  const struct {
    const char* path;
    const char* total;  // the whole filter's, not the page's 50
  } listings[] = {{"/swipes", "73"}, {"/swipes?person=2", "18"}, {"/swipes?from=2026-03-08", "3"},
                  {"/people", "3"}, {"/people?q=sales", "2"}};
  for (const auto& l : listings) {
    httplib::Result r = console.Get(l.path, admin.cookie);
    ASSERT_TRUE(r) << l.path;
    EXPECT_NE(r->body.find(std::string("id=\"rows-total\">") + l.total + "<"), std::string::npos) << l.path;
  }
  const std::string audit_total = std::to_string(console.accounts().AuditTrail(10000).size());
  EXPECT_NE(console.Get("/audit", admin.cookie)->body.find("id=\"rows-total\">" + audit_total + "<"), std::string::npos);
  for (const char* path : {"/swipes", "/audit"})
    EXPECT_NE(console.Get(path, admin.cookie)->body.find("(Asia/Shanghai)"), std::string::npos) << path;
  // Add person: a new number is stored; one already there is refused and kept as it was.
  const httplib::Params add = {{"csrf", admin.csrf}, {"add", "1"}, {"number", "9"}, {"name", "Di"},
                               {"department", "Night"}, {"employee_code", ""}};
  EXPECT_EQ(console.Post("/people/edit", add, admin.cookie)->status, 303);
  httplib::Params again = add;
  again.erase("number");
  again.emplace("number", "1");
  httplib::Result refused = console.Post("/people/edit", again, admin.cookie);
  EXPECT_EQ(refused->status, 409);
  auto store = vanto::db::Database::Open(console.database())->Swipes();
  auto people = store->PeopleAmong(std::vector<std::int32_t>{1, 9}, std::nullopt);
  ASSERT_EQ(people.size(), 2u);
  EXPECT_EQ(people[0].name, "Ann");
  EXPECT_EQ(people[1].name, "Di");
}

// Every page names the zone of the site it shows: the serving site's file's, another site's as
// its last sync recorded it, the serving one's where that is not known.
TEST(ConsoleListings, TimesAreInTheShownSitesZone) {
  site::Site file;
  file.timezone = "Asia/Shanghai";
  ServerOptions options;
  options.records.site = "A";
  options.records.site_file = &file;
  Console console(options);
  {
    auto db = vanto::db::Database::Open(console.database());
    auto tables = db->Tables(false);
    store::RecordSiteSync(*tables, "A", "Asia/Shanghai", "{}", "2026-07-01T00:00:00Z", "a-host");
    store::RecordSiteSync(*tables, "B", "Europe/Berlin", "{}", "2026-07-01T00:00:00Z", "b-host");
    store::RecordSiteSync(*tables, "C", "", "{}", "2026-07-01T00:00:00Z", "c-host");
    tables.reset();
    for (const char* name : {"A", "B", "C"}) {  // a swipe each, so the Swipes page has its table
      store::StoredSwipe swipe{1, 1, 1, "2026-06-02 09:30", 1, "2026-06-02 09:30:00", "2026-07-01T00:00:30Z"};
      swipe.site = name;
      db->Swipes()->Insert(std::vector<store::StoredSwipe>{swipe});
    }
  }
  Session admin = console.Login(console.users.admin);
  const struct {
    const char* path;
    const char* zone;
  } cases[] = {{"/swipes?site=A", "(Asia/Shanghai)"}, {"/swipes?site=B", "(Europe/Berlin)"},
               {"/swipes?site=C", "(Asia/Shanghai)"}, {"/audit", "(Asia/Shanghai)"}};
  for (const auto& c : cases) {
    httplib::Result r = console.Get(c.path, admin.cookie);
    ASSERT_TRUE(r) << c.path;
    EXPECT_NE(r->body.find(c.zone), std::string::npos) << c.path;
  }
}

}  // namespace
}  // namespace vanto::web::testing
