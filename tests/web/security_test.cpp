// The console against what a hostile or careless client sends: every route without a session,
// every role against every action, forged forms, reused sessions, markup and SQL in names,
// oversized bodies, a login brute force, proxies and response headers; refused actions in the
// audit trail (bounded), slow clients and many connections from one address.
#include <gtest/gtest.h>

#include <set>

#include "tests/web/console_fixture.h"
#include "tests/web/raw_client.h"
#include "host/db/record_store.h"
#include "host/db/sites.h"
#include "web/refusals.h"
#include "web/role_matrix.h"
#include "web/words.h"

namespace vanto::web::testing {
namespace {

using accounts::Role;

struct RouteCase {
  const char* method;
  const char* path;
  Action action;
  httplib::Params form;  // for POST: fields that change nothing when the action is allowed
  bool data = false;     // a GET of data (an event stream): 401 without a session, not the login page
};

// Every route but the public ones (login, static files) and logout (tested on its own).
const std::vector<RouteCase>& Routes() {
  static const std::vector<RouteCase> routes = {
      {"GET", "/dashboard", Action::ViewDashboard, {}},
      {"GET", "/report", Action::ViewReports, {}},
      {"GET", "/swipes", Action::ViewSwipes, {}},
      {"GET", "/people", Action::ViewPeople, {}},
      {"GET", "/enrolments", Action::ViewEnrolments, {}},
      {"GET", "/terminals", Action::ViewTerminals, {}},
      {"GET", "/terminals/rejected", Action::ViewRejected, {}},
      {"GET", "/users", Action::ManageUsers, {}},
      {"GET", "/audit", Action::ViewAudit, {}},
      {"GET", "/sites", Action::ViewSites, {}},
      {"POST", "/language", Action::ChooseLanguage, {{"language", "en"}}},
      {"GET", "/sync/events", Action::ViewDashboard, {}, true},
      {"POST", "/sync", Action::Sync, {{"port", "x"}}},
      {"POST", "/terminals/clear", Action::ClearTerminal, {{"terminal", "1.1"}}},  // unconfirmed
      {"POST", "/enrolments/backup", Action::BackupEnrolment, {{"terminal", "1.1"}, {"person", "x"}}},
      {"POST", "/enrolments/write", Action::WriteEnrolment, {{"person", "7"}, {"to", "../1.1"}}},
      {"POST", "/conflicts/acknowledge", Action::AcknowledgeConflict, {{"id", "999"}}},
      {"POST", "/conflicts/fold", Action::FoldDoubles, {}},  // unconfirmed
      {"GET", "/swipes/csv", Action::ViewSwipes, {}},
      {"GET", "/people/person?number=1", Action::ViewPeople, {}},
      {"GET", "/report/print", Action::ViewReports, {}},
      {"GET", "/report/csv", Action::ViewReports, {}},
      {"POST", "/people/edit", Action::EditPeople, {{"number", "x"}}},
      {"POST", "/people/import", Action::ImportPeople, {}},
      {"POST", "/users/add", Action::ManageUsers, {{"name", "!"}, {"role", "viewer"}, {"password", "x"}}},
      {"POST", "/users/disable", Action::ManageUsers, {{"name", "nobody"}, {"disabled", "1"}}},
      {"POST", "/users/password", Action::ManageUsers, {{"name", "nobody"}, {"password", "long enough now"}}},
      {"GET", "/attendance/setup", Action::ViewAttendance, {}},
      {"POST", "/attendance/setup/shift/add", Action::EditShifts, {{"shift_name", ""}}},
      {"POST", "/attendance/setup/shift/change", Action::EditShifts, {{"shift_name", "nobody"}}},
      {"POST", "/attendance/setup/shift/remove", Action::EditShifts, {{"shift_name", "nobody"}}},
      {"POST", "/attendance/setup/pattern/add", Action::EditShifts, {{"pattern_name", ""}}},
      {"POST", "/attendance/setup/pattern/remove", Action::EditShifts, {{"pattern_name", "nobody"}}},
      {"POST", "/attendance/setup/assign", Action::EditShifts, {{"assign_pattern", "nobody"}}},
      {"POST", "/attendance/setup/unassign", Action::EditShifts, {{"assign_id", "x"}}},
      {"POST", "/attendance/setup/holiday/set", Action::EditShifts, {{"holiday_date", "x"}}},
      {"POST", "/attendance/setup/holiday/remove", Action::EditShifts, {{"holiday_date", "x"}}},
      {"POST", "/attendance/setup/leave-kinds", Action::EditLeave, {{"leave_kinds", ""}}},
      {"POST", "/attendance/setup/month/close", Action::CloseMonth, {{"month", "x"}}},
      {"POST", "/attendance/setup/month/reopen", Action::ReopenMonth, {{"month", "x"}}},
      // The To review page and its actions (a person of no number changes nothing).
      {"GET", "/review", Action::ReviewDays, {}},
      {"POST", "/review/add-swipe", Action::EditCorrections, {{"person", "x"}}},
      {"POST", "/review/set-aside", Action::EditCorrections, {{"person", "x"}}},
      {"POST", "/review/leave", Action::EditLeave, {{"person", "x"}}},
      {"POST", "/review/mark", Action::ReviewDays, {{"person", "x"}}},
      {"POST", "/review/unmark", Action::ReviewDays, {{"person", "x"}}},
      {"GET", "/attendance/person?person=1", Action::ViewAttendance, {}},
      {"GET", "/attendance/department", Action::ViewAttendance, {}},
  };
  return routes;
}

// Actions the table grants before any page serves them (the attendance forms to come), with the
// roles they are meant for. Once a route serves one it moves to Routes().
struct ComingAction {
  Action action;
  bool viewer, hr, admin;
};
constexpr ComingAction kAttendance[] = {
    //  action                   viewer hr     admin
    {Action::EditShifts,      false, true,  true},
    {Action::EditLeave,       false, true,  true},
    {Action::EditCorrections, false, true,  true},
    {Action::CloseMonth,      false, true,  true},
    {Action::ReopenMonth,     false, false, true},
    {Action::ReviewDays,      false, true,  true},
};

// An action of the role matrix without a route under test is one nobody checks: fail until the
// table has one.
TEST(ConsoleSecurity, EveryActionOfTheRoleMatrixHasARouteUnderTest) {
  std::set<Action> tested;
  for (const RouteCase& r : Routes()) tested.insert(r.action);
  for (const Permission& p : RoleMatrix()) EXPECT_TRUE(tested.count(p.action)) << p.name << " has no route under test";
}

TEST(ConsoleSecurity, AttendanceIsReadByEveryRoleAndEditedByHrAndAdmin) {
  for (const ComingAction& c : kAttendance) {
    EXPECT_EQ(Allowed(Role::Viewer, c.action), c.viewer) << ActionName(c.action);
    EXPECT_EQ(Allowed(Role::Hr, c.action), c.hr) << ActionName(c.action);
    EXPECT_EQ(Allowed(Role::Admin, c.action), c.admin) << ActionName(c.action);
    EXPECT_EQ(SiteUseOf(c.action), SiteUse::Follows) << ActionName(c.action);
  }
}

httplib::Result Send(Console& console, const RouteCase& r, const std::string& cookie, httplib::Params form) {
  return std::string(r.method) == "GET" ? console.Get(r.path, cookie) : console.Post(r.path, form, cookie);
}

TEST(ConsoleSecurity, WithoutASessionPagesGoToLoginAndFormsAre401) {
  Console console;
  for (const RouteCase& r : Routes()) {
    for (const std::string& cookie : {std::string(), std::string("vanto_session=") + std::string(64, 'a'),
                                      std::string("vanto_session=../../etc/passwd")}) {
      httplib::Result res = Send(console, r, cookie, r.form);
      ASSERT_TRUE(res) << r.path;
      if (std::string(r.method) == "GET" && !r.data) {
        EXPECT_EQ(res->status, 303) << r.path;
        EXPECT_EQ(res->get_header_value("Location").rfind("/login?next=", 0), 0u) << r.path;
      } else {
        EXPECT_EQ(res->status, 401) << r.path;
      }
    }
  }
}

TEST(ConsoleSecurity, EachRoleIsRefusedExactlyWhatTheMatrixRefuses) {
  Console console;
  for (Role role : {Role::Viewer, Role::Hr, Role::Admin}) {
    Session s = console.Login(console.users.Of(role));
    for (const RouteCase& r : Routes()) {
      httplib::Params form = r.form;
      form.emplace("csrf", s.csrf);
      httplib::Result res = Send(console, r, s.cookie, form);
      ASSERT_TRUE(res) << r.path;
      // Allowed: anything but a refusal or a failure.
      if (Allowed(role, r.action)) {
        EXPECT_TRUE(res->status != 403 && res->status != 401 && res->status < 500)
            << accounts::RoleName(role) << " " << r.path << " " << res->status;
      } else {
        EXPECT_EQ(res->status, 403) << accounts::RoleName(role) << " " << r.path;
      }
    }
  }
  // The viewer's navigation offers only what it may open.
  Session viewer = console.Login(console.users.viewer);
  std::string page = console.Get("/dashboard", viewer.cookie)->body;
  EXPECT_NE(page.find("href=\"/report\""), std::string::npos);
  EXPECT_EQ(page.find("href=\"/users\""), std::string::npos);
  EXPECT_EQ(page.find("href=\"/swipes\""), std::string::npos);
}

TEST(ConsoleSecurity, AFormWithoutTheSessionsTokenIsRefusedAndChangesNothing) {
  Console console;
  Session admin = console.Login(console.users.admin);
  Session other = console.Login(console.users.hr);
  const std::size_t audit_rows = console.accounts().AuditTrail(1000).size();
  struct Forged {
    const char* what;
    std::optional<std::string> token;
  };
  for (const Forged& forged : {Forged{"missing", std::nullopt}, Forged{"empty", std::string()},
                               Forged{"wrong", std::string(64, '0')}, Forged{"another session's", other.csrf},
                               Forged{"truncated", admin.csrf.substr(0, 63)}}) {
    for (const RouteCase& r : Routes()) {
      if (std::string(r.method) != "POST") continue;
      httplib::Params form = r.form;
      if (r.path == std::string("/users/add")) form = {{"name", "mallory"}, {"role", "admin"}, {"password", kPassword}};
      if (r.path == std::string("/users/disable")) form = {{"name", console.users.hr}, {"disabled", "1"}};
      if (forged.token) form.emplace("csrf", *forged.token);
      httplib::Result res = console.Post(r.path, form, admin.cookie);
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 403) << forged.what << " token, " << r.path;
    }
  }
  EXPECT_FALSE(console.accounts().FindUser("mallory"));
  EXPECT_FALSE(console.accounts().FindUser(console.users.hr)->disabled);
  // Nothing but the refusals themselves went into the audit trail, a row each up to the rate.
  const std::vector<accounts::AuditEntry> trail = console.accounts().AuditTrail(1000);
  ASSERT_EQ(trail.size(), audit_rows + RefusalLimits{}.per_minute);
  for (std::size_t i = 0; i < RefusalLimits{}.per_minute; ++i) EXPECT_EQ(trail[i].action, "refused") << trail[i].details;
  // A login form without its cookie's token is refused too.
  httplib::Result login =
      console.Post("/login", {{"csrf", std::string(64, '1')}, {"name", console.users.admin}, {"password", kPassword}},
                   "vanto_login=" + std::string(64, '2'));
  EXPECT_EQ(login->status, 403);
  EXPECT_TRUE(Console::SetCookieOf(login, "vanto_session").empty());
}

// A page asked for before signing in is where signing in leads, its query (a period, a filter)
// kept, riding encoded inside `next`; a target off the site still leads to the dashboard.
TEST(ConsoleSecurity, SigningInLeadsBackToThePageAskedForWithItsQuery) {
  Console console;
  const std::string asked = "/review?from=2026-11-02&to=2026-11-06&department=%E4%BA%BA";
  RawClient raw(console.port());  // the header as sent (the library's client decodes it)
  ASSERT_TRUE(raw.Send("GET " + asked + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  EXPECT_NE(raw.ReadUntil("\r\n\r\n").find(
                "Location: /login?next=%2Freview%3Ffrom%3D2026-11-02%26to%3D2026-11-06%26department%3D%25E4%25BA%25BA\r\n"),
            std::string::npos)
      << raw.ReadUntil("\r\n\r\n");
  const std::string filter = "/review?from=2026-11-02&to=2026-11-06&department=Ops";
  for (const auto& [next, lands] : {std::pair<std::string, std::string>{filter, filter}, {"//evil.example/x", "/dashboard"}}) {
    httplib::Result form = console.Get("/login");
    const std::string token = Console::SetCookieOf(form, "vanto_login");
    httplib::Result in = console.Post(
        "/login", {{"csrf", token}, {"name", console.users.hr}, {"password", kPassword}, {"next", next}},
        "vanto_login=" + token);
    ASSERT_EQ(in->status, 303);
    EXPECT_EQ(in->get_header_value("Location"), lands) << next;
  }
}

TEST(ConsoleSecurity, ASessionEndsAtLogoutIdleAbsoluteExpiryPasswordChangeAndDisabling) {
  Console console;
  auto open = [&](const Session& s) { return console.Get("/dashboard", s.cookie)->status == 200; };
  struct Ending {
    const char* what;
    std::function<void(Console&, const Session&)> end;
  };
  const std::vector<Ending> endings = {
      {"logout", [](Console& c, const Session& s) { EXPECT_EQ(c.Post("/logout", {{"csrf", s.csrf}}, s.cookie)->status, 303); }},
      {"idle expiry", [](Console& c, const Session&) { c.Advance(c.accounts().policy().idle + 1); }},
      {"absolute expiry",
       [](Console& c, const Session& s) {
         // Kept busy all along, it still ends after the absolute lifetime.
         for (std::int64_t t = 0; t <= c.accounts().policy().absolute; t += c.accounts().policy().idle / 2) {
           c.Advance(c.accounts().policy().idle / 2);
           if (c.Get("/dashboard", s.cookie)->status != 200) return;
         }
       }},
      {"password change",
       [](Console& c, const Session&) {
         c.accounts().ChangePassword({"test", "command line"}, c.users.hr, "another long password");
       }},
      {"disabling", [](Console& c, const Session&) { c.accounts().SetDisabled({"test", "command line"}, c.users.hr, true); }},
  };
  for (const Ending& ending : endings) {
    Console fresh;
    Session s = fresh.Login(fresh.users.hr);
    auto still = [&] { return fresh.Get("/dashboard", s.cookie)->status == 200; };
    ASSERT_TRUE(still()) << ending.what;
    ending.end(fresh, s);
    EXPECT_FALSE(still()) << "the session survived " << ending.what;
    EXPECT_EQ(fresh.Post("/language", {{"csrf", s.csrf}, {"language", "en"}}, s.cookie)->status, 401) << ending.what;
  }
  // A new login answers a new token.
  Session a = console.Login(console.users.admin), b = console.Login(console.users.admin);
  EXPECT_NE(a.cookie, b.cookie);
  EXPECT_NE(a.csrf, b.csrf);
  EXPECT_TRUE(open(a) && open(b));
}

TEST(ConsoleSecurity, MarkupQuotesAndSqlInNamesAreInert) {
  Console console;
  Session admin = console.Login(console.users.admin);
  const std::vector<std::string> hostile = {
      "<script>alert(1)</script>", "\"><img src=x onerror=alert(1)>", "x' OR '1'='1", "a'); DROP TABLE users; --",
      "{{t.app}}", "../../etc/passwd", "名字<b>"};
  for (const std::string& name : hostile) {
    // As a login name: refused, audited, and shown inert on the audit page.
    EXPECT_EQ(console.LoginAttempt(name, "whatever")->status, 401) << name;
    // As a new user's name: refused, nothing added.
    httplib::Result add =
        console.Post("/users/add", {{"csrf", admin.csrf}, {"name", name}, {"role", "viewer"}, {"password", kPassword}},
                     admin.cookie);
    EXPECT_EQ(add->status, 400) << name;
  }
  EXPECT_EQ(console.accounts().Users().size(), 3u);
  std::string audit = console.Get("/audit", admin.cookie)->body;
  EXPECT_EQ(audit.find("<script>alert"), std::string::npos);
  EXPECT_EQ(audit.find("<img src=x"), std::string::npos);
  EXPECT_EQ(audit.find("<b>"), std::string::npos);
  EXPECT_NE(audit.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(audit.find("x&apos; OR &apos;1&apos;=&apos;1"), std::string::npos);
  EXPECT_NE(audit.find("{{t.app}}"), std::string::npos);  // not a template of ours
  // Filters that are no number are refused.
  for (const char* before : {"abc", "1;DROP", "../1", "-1", "99999999999999999999"})
    EXPECT_EQ(console.Get(std::string("/audit?before=") + before, admin.cookie)->status, 400) << before;
}

TEST(ConsoleSecurity, OversizedBodiesAre413AndChangeNothing) {
  Console console;
  Session admin = console.Login(console.users.admin);
  std::string huge((1 << 20) + 1, 'x');
  httplib::Result login = console.Post("/login", {{"name", huge}});
  ASSERT_TRUE(login);
  EXPECT_EQ(login->status, 413);
  httplib::Result add =
      console.Post("/users/add", {{"csrf", admin.csrf}, {"name", "big"}, {"role", "admin"}, {"password", huge}},
                   admin.cookie);
  ASSERT_TRUE(add);
  EXPECT_EQ(add->status, 413);
  EXPECT_FALSE(console.accounts().FindUser("big"));
}

TEST(ConsoleSecurity, ALoginBruteForceIsSlowedPerAccountAndPerAddressAndLogged) {
  struct Case {
    const char* what;
    std::function<std::string(int)> name;  // the name of the k-th wrong attempt
    int free;                              // wrong attempts before the lock-out
  };
  for (const Case& c : {Case{"one account", [](int) { return std::string("hal"); }, accounts::ThrottlePolicy{}.account_free},
                        Case{"many accounts from one address", [](int k) { return "guess" + std::to_string(k); },
                             accounts::ThrottlePolicy{}.address_free}}) {
    Console console;
    for (int k = 0; k < c.free; ++k) EXPECT_EQ(console.LoginAttempt(c.name(k), "wrong password")->status, 401) << c.what;
    // Locked: even the right password is not checked now.
    httplib::Result locked = console.LoginAttempt(console.users.hr, kPassword);
    EXPECT_EQ(locked->status, 429) << c.what;
    EXPECT_FALSE(locked->get_header_value("Retry-After").empty());
    EXPECT_TRUE(Console::SetCookieOf(locked, "vanto_session").empty());
    int failed = 0, throttled = 0;
    for (const accounts::AuditEntry& e : console.accounts().AuditTrail(1000)) {
      failed += e.action == "login.failed";
      throttled += e.action == "login.throttled";
    }
    EXPECT_EQ(failed, c.free) << c.what;
    EXPECT_EQ(throttled, 1) << c.what;
    // The lock-out is bounded: once it is over, the right password works.
    console.Advance(accounts::ThrottlePolicy{}.max_lock);
    EXPECT_EQ(console.LoginAttempt(console.users.hr, kPassword)->status, 303) << c.what;
  }
}

TEST(ConsoleSecurity, ForwardedHeadersCountOnlyFromTrustedProxies) {
  struct Case {
    bool trusted;
    std::string forwarded_for, proto;
    std::string origin;  // as the audit trail records the login
    bool secure;         // the session cookie is Secure
  };
  const std::vector<Case> cases = {
      {false, "203.0.113.9", "https", "127.0.0.1", false},
      {true, "203.0.113.9", "https", "203.0.113.9", true},
      {true, "198.51.100.1, 203.0.113.9", "http", "203.0.113.9", false},
      {true, "", "", "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    if (c.trusted) options.trusted_proxies = {"127.0.0.1"};
    Console console(options);
    httplib::Headers headers;
    if (!c.forwarded_for.empty()) headers.emplace("X-Forwarded-For", c.forwarded_for);
    if (!c.proto.empty()) headers.emplace("X-Forwarded-Proto", c.proto);
    httplib::Result r = console.LoginAttempt(console.users.viewer, kPassword, headers);
    ASSERT_EQ(r->status, 303);
    std::string cookie;
    Console::SetCookieOf(r, "vanto_session", &cookie);
    EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("; SameSite=Strict"), std::string::npos);
    EXPECT_EQ(cookie.find("; Secure") != std::string::npos, c.secure) << c.forwarded_for;
    EXPECT_EQ(console.accounts().AuditTrail(1).at(0).origin, c.origin) << c.forwarded_for;
  }
}

TEST(ConsoleSecurity, EveryAnswerCarriesTheSecurityHeaders) {
  Console console;
  Session admin = console.Login(console.users.admin);
  std::vector<httplib::Result> answers;
  answers.push_back(console.Get("/login"));
  answers.push_back(console.Get("/dashboard", admin.cookie));
  answers.push_back(console.Get("/users", admin.cookie));
  answers.push_back(console.Get("/no/such/page"));
  answers.push_back(console.Get("/static/console.js"));
  answers.push_back(console.Post("/sync", {}, admin.cookie));
  answers.push_back(console.Post("/login", {{"x", std::string((1 << 20) + 1, 'x')}}));
  for (const httplib::Result& r : answers) {
    ASSERT_TRUE(r);
    std::string csp = r->get_header_value("Content-Security-Policy");
    EXPECT_NE(csp.find("default-src 'self'"), std::string::npos) << r->status;
    EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << r->status;
    EXPECT_EQ(r->get_header_value("X-Frame-Options"), "DENY") << r->status;
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << r->status;
    EXPECT_EQ(r->get_header_value("Cache-Control"), "no-store") << r->status;
    EXPECT_EQ(r->get_header_value_count("Cache-Control"), 1u) << r->status;
  }
  EXPECT_EQ(answers[3]->status, 404);
}

TEST(ConsoleSecurity, PagesSpeakTheUsersLanguageElseTheBrowsers) {
  Console console;
  EXPECT_NE(console.Get("/login", "", {{"Accept-Language", "zh-CN,zh;q=0.9,en;q=0.8"}})->body.find("登录"),
            std::string::npos);
  EXPECT_NE(console.Get("/login", "", {{"Accept-Language", "en-GB,zh;q=0.5"}})->body.find("Sign in"),
            std::string::npos);
  Session hr = console.Login(console.users.hr);
  EXPECT_EQ(console.Post("/language", {{"csrf", hr.csrf}, {"language", "zh_CN"}}, hr.cookie)->status, 303);
  EXPECT_NE(console.Get("/dashboard", hr.cookie, {{"Accept-Language", "en"}})->body.find("概览"), std::string::npos);
  EXPECT_EQ(console.Post("/language", {{"csrf", hr.csrf}, {"language", "fr"}}, hr.cookie)->status, 400);
}

// The console's words come from the one catalogue, in the language asked for whatever the
// server's locale; words alike in English are told apart in Chinese by their names.
TEST(ConsoleWords, EachWordInTheReadersLanguageFromTheOneCatalogue) {
  struct Case {
    const char* key;
    const char* english;
    const char* chinese;
  } cases[] = {
      {"name", "Name", "用户名"},          {"person_name", "Name", "姓名"},
      {"nav_swipes", "Swipes", "打卡记录"}, {"swipes", "Swipes", "打卡次数"},
      {"from", "From", "来源"},            {"from_date", "From", "从"},
      {"sign_in", "Sign in", "登录"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Say(Language::kEnglish, c.key), c.english) << c.key;
    EXPECT_EQ(Say(Language::kChinese, c.key), c.chinese) << c.key << ": is the catalogue built?";
  }
  EXPECT_EQ(Say(Language::kChinese, "no_such_word"), "no_such_word");
  EXPECT_EQ(PageLanguage("", "fr, zh-TW;q=0.4"), Language::kChinese);
  EXPECT_EQ(LanguageCode(PageLanguage("en", "zh")), std::string("en"));
}

// The audit rows written since `before` rows were there, oldest first.
std::vector<accounts::AuditEntry> AuditSince(Console& console, std::size_t before) {
  std::vector<accounts::AuditEntry> trail = console.accounts().AuditTrail(10000);
  trail.resize(trail.size() - before);
  return {trail.rbegin(), trail.rend()};
}

TEST(ConsoleSecurity, EveryRefusedActionIsAuditedWithWhoWhatAndFromWhere) {
  Console console;
  Session viewer = console.Login(console.users.viewer), hr = console.Login(console.users.hr),
          admin = console.Login(console.users.admin);
  struct Case {
    const char* what;
    std::function<httplib::Result()> send;
    std::string actor, details;
  };
  const std::vector<Case> cases = {
      {"a page the role may not open", [&] { return console.Get("/users", viewer.cookie); }, console.users.viewer,
       "GET /users: the role viewer may not users"},
      {"an action the role may not do", [&] { return console.Post("/sync", {{"csrf", hr.csrf}}, hr.cookie); },
       console.users.hr, "POST /sync: the role hr may not sync"},
      {"a form without the session's token",
       [&] { return console.Post("/users/add", {{"name", "mallory"}, {"role", "admin"}}, admin.cookie); },
       console.users.admin, "POST /users/add: the form's token is missing or wrong"},
      {"a login form without its token",
       [&] { return console.Post("/login", {{"csrf", std::string(64, '1')}, {"name", "ada"}}, "vanto_login=" + std::string(64, '2')); },
       "", "POST /login: the form's token is missing or wrong"},
  };
  for (const Case& c : cases) {
    const std::size_t before = console.accounts().AuditTrail(10000).size();
    httplib::Result r = c.send();
    ASSERT_TRUE(r) << c.what;
    EXPECT_EQ(r->status, 403) << c.what;
    const std::vector<accounts::AuditEntry> rows = AuditSince(console, before);
    ASSERT_EQ(rows.size(), 1u) << c.what;
    EXPECT_EQ(rows[0].action, "refused") << c.what;
    EXPECT_EQ(rows[0].actor, c.actor) << c.what;
    EXPECT_EQ(rows[0].origin, "127.0.0.1") << c.what;
    EXPECT_EQ(rows[0].details, c.details) << c.what;
  }
}

// A database of two sites served as north: an HR clerk limited to north asks for south's pages
// by URL (403, audited) while an admin sees both; the chooser offers each only the sites they
// may see; actions on terminals run only on the serving host's own site.
TEST(ConsoleSecurity, AUserLimitedToASiteIsRefusedAnotherSitesPagesAndAnAdminSeesBoth) {
  ServerOptions options;
  options.records.site = std::optional<std::string>("north");  // assigned whole: g++ 12 -O2 warns of a string assigned in place
  Console console(options);
  {
    auto db = vanto::db::Database::Open(console.database());
    auto tables = db->Tables(false);
    ASSERT_TRUE(store::AddSite(*tables, "north", "test"));
    ASSERT_TRUE(store::AddSite(*tables, "south", "test"));
    store::RecordSiteSync(*tables, "south", "", "{}", "2026-12-01T09:00:00Z", "south-host");
    std::vector<store::StoredSwipe> rows;
    for (const auto& [site, person] : {std::pair<const char*, int>{"north", 171}, {"south", 172}}) {
      store::StoredSwipe s;
      s.site = site;
      s.port = 1, s.terminal = 1, s.person = person, s.occurrence = 1;
      s.minute = "2026-12-01 08:00";
      s.time = s.minute + ":00";
      s.downloaded_at = "2026-12-01T09:00:00Z";
      rows.push_back(s);
    }
    db->Swipes()->Insert(rows);
  }
  console.accounts().SetSites({"test", "command line"}, console.users.hr, {"north"});
  Session hr = console.Login(console.users.hr), admin = console.Login(console.users.admin);
  struct Case {
    const char* what;
    const Session* who;
    std::string path;
    int status;
    const char* shows;     // in the page when answered 200
    const char* hides;     // not in it
    bool audited = false;  // a refusal row of the user
  } cases[] = {
      {"hr: its own site by default", &hr, "/swipes", 200, ">171<", ">172<"},
      {"hr: its own site by name", &hr, "/swipes?site=north", 200, ">171<", "value=\"south\""},
      {"hr: another site's swipes", &hr, "/swipes?site=south", 403, "", "", true},
      {"hr: another site's report", &hr, "/report?site=south&month=2026-12", 403, "", "", true},
      {"hr: another site's CSV", &hr, "/swipes/csv?site=south", 403, "", "", true},
      {"hr: a site not held", &hr, "/swipes?site=west", 404, "", ""},
      {"admin: the serving site", &admin, "/swipes", 200, ">171<", ">172<"},
      {"admin: another site", &admin, "/swipes?site=south", 200, ">172<", ">171<"},
      {"admin: another site's report", &admin, "/report?site=south&month=2026-12", 200, "172", ""},
      {"admin: another site's dashboard, read-only", &admin, "/dashboard?site=south", 200, "south-host", "id=\"no-site"},
      {"admin: the Sites page", &admin, "/sites", 200, "id=\"site-south\"", ""},
      {"admin: another site's person month", &admin, "/attendance/person?person=172&site=south&month=2026-12", 200,
       "<span class=\"swipe\">08:00</span>", ""},
      {"admin: a person month of the chosen site only", &admin, "/attendance/person?person=171&site=south&month=2026-12",
       200, "id=\"calendar\"", "<span class=\"swipe\">08:00</span>"},
      {"hr: another site's department month", &hr, "/attendance/department?site=south&month=2026-12", 403, "", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = console.accounts().AuditTrail(10000).size();
    httplib::Result r = console.Get(c.path, c.who->cookie);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    if (c.status == 200) {
      EXPECT_NE(r->body.find(c.shows), std::string::npos) << r->body;
      if (*c.hides) {
        EXPECT_EQ(r->body.find(c.hides), std::string::npos) << r->body;
      }
    }
    const std::vector<accounts::AuditEntry> rows = AuditSince(console, before);
    if (c.audited) {
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_EQ(rows[0].action, "refused");
      EXPECT_EQ(rows[0].actor, console.users.hr);
      EXPECT_NE(rows[0].details.find("may not see site south"), std::string::npos) << rows[0].details;
    } else {
      EXPECT_TRUE(rows.empty());
    }
  }
  // The chooser offers the admin both sites, the clerk only its own.
  const std::string page = console.Get("/swipes?site=north", admin.cookie)->body;
  EXPECT_NE(page.find("<option value=\"south\""), std::string::npos) << page;
  EXPECT_EQ(console.Get("/report", hr.cookie)->body.find("<option value=\"south\""), std::string::npos);
  // The admin's choice of south is kept: an action on terminals is another host's to run there.
  httplib::Result chosen = console.Get("/dashboard?site=south", admin.cookie);
  const std::string site_cookie = "vanto_site=" + Console::SetCookieOf(chosen, "vanto_site");
  EXPECT_EQ(site_cookie, "vanto_site=south");
  httplib::Result sync = console.Post("/sync", {{"csrf", admin.csrf}}, admin.cookie + "; " + site_cookie);
  ASSERT_TRUE(sync);
  EXPECT_EQ(sync->status, 409);
  EXPECT_NE(sync->body.find("south-host"), std::string::npos) << sync->body;
  // A kept choice the user may not see is passed over: the clerk's pages stay its own site's.
  httplib::Result kept = console.Get("/swipes", hr.cookie + "; " + site_cookie);
  EXPECT_EQ(kept->status, 200);
  EXPECT_NE(kept->body.find(">171<"), std::string::npos);
}

TEST(ConsoleSecurity, RefusalsBeyondARateAreCountedAndTheCountWrittenOnce) {
  struct Case {
    const char* what;
    int sessions;                   // signed-in viewers refused the users page (0: login forms without a token)
    std::vector<std::string> from;  // the client addresses (through a trusted proxy), one refusal each in turn
    int refusals;
    std::size_t written;
    std::string counted_actor, counted_origin;
    std::string counted;  // the count row's first words
  };
  const std::vector<Case> cases = {
      {"one session", 1, {"203.0.113.1"}, 10, 3, "vic", "203.0.113.1", "7 more refused requests"},
      {"many sessions from one address", 5, {"203.0.113.1"}, 10, 3, "vic", "203.0.113.1", "7 more refused requests"},
      {"one address without a session", 0, {"203.0.113.1"}, 10, 3, "", "203.0.113.1", "7 more refused requests"},
      {"many addresses", 0, {"203.0.113.1", "203.0.113.2", "203.0.113.3", "203.0.113.4"}, 8, 5, "", "many addresses",
       "3 more refused requests"},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    options.trusted_proxies = {"127.0.0.1"};
    options.refusals.per_minute = 3;
    options.refusals.total_per_minute = 5;
    Console console(options);
    std::vector<Session> sessions;
    for (int i = 0; i < c.sessions; ++i) sessions.push_back(console.Login(console.users.viewer));
    const std::size_t before = console.accounts().AuditTrail(10000).size();
    for (int k = 0; k < c.refusals; ++k) {
      httplib::Headers headers = {{"X-Forwarded-For", c.from[static_cast<std::size_t>(k) % c.from.size()]}};
      httplib::Result r = c.sessions ? console.Get("/users", sessions[static_cast<std::size_t>(k % c.sessions)].cookie, headers)
                                     : console.Post("/login", {{"csrf", std::string(64, '1')}}, "", headers);
      ASSERT_TRUE(r) << c.what;
      EXPECT_EQ(r->status, 403) << c.what;
    }
    std::vector<accounts::AuditEntry> rows = AuditSince(console, before);
    EXPECT_EQ(rows.size(), c.written) << c.what;
    for (const accounts::AuditEntry& e : rows) EXPECT_EQ(e.action, "refused") << c.what;
    // Within its minute the count is held; once it ends, any request writes it, once.
    console.Get("/login");
    EXPECT_EQ(AuditSince(console, before).size(), c.written) << c.what;
    console.Advance(RefusalAudit::kWindow);
    console.Get("/login");
    console.Get("/login");
    rows = AuditSince(console, before);
    ASSERT_EQ(rows.size(), c.written + 1) << c.what;
    EXPECT_EQ(rows.back().action, "refused.counted") << c.what;
    EXPECT_EQ(rows.back().actor, c.counted_actor) << c.what;
    EXPECT_EQ(rows.back().origin, c.counted_origin) << c.what;
    EXPECT_EQ(rows.back().details.rfind(c.counted, 0), 0u) << c.what << ": " << rows.back().details;
  }
}

// Clients that send a request slowly, or part of one and nothing more: each is closed once its
// deadline passes, and none of them delays another client's answer meanwhile.
TEST(ConsoleSecurity, SlowClientsAreClosedAtTheirDeadlineAndDelayNobody) {
  using std::chrono::milliseconds;
  using std::chrono::minutes;
  struct Case {
    const char* what;
    milliseconds header, body;
    std::string sent;  // all the client sends
    bool closed;       // closed by the server (else still open once the others were answered)
  };
  const std::string post = "POST /login HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: 100\r\n\r\ncsrf=";
  const std::vector<Case> cases = {
      {"headers begun, long deadlines", minutes(10), minutes(10), "GET /login HTTP/1.1\r\nHo", false},
      {"nothing sent, long deadlines", minutes(10), minutes(10), "", false},
      {"headers begun", milliseconds(500), minutes(10), "GET /login HTTP/1.1\r\nHo", true},
      {"nothing sent", milliseconds(500), minutes(10), "", true},
      {"a body begun", minutes(10), milliseconds(500), post, true},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    options.connections.header = c.header;
    options.connections.body = c.body;
    Console console(options);
    std::vector<std::unique_ptr<RawClient>> slow;
    // More than the old server's 66 threads, from addresses of their own (under each one's cap).
    for (int i = 0; i < 80; ++i) {
      slow.push_back(std::make_unique<RawClient>(console.port(), "127.0.1." + std::to_string(1 + i)));
      ASSERT_TRUE(slow.back()->connected()) << c.what;
      ASSERT_TRUE(c.sent.empty() || slow.back()->Send(c.sent)) << c.what;
    }
    httplib::Result r = console.Get("/login");
    ASSERT_TRUE(r) << c.what;
    EXPECT_EQ(r->status, 200) << c.what;
    for (const auto& client : slow) {
      if (c.closed) EXPECT_TRUE(client->ClosedWithin(std::chrono::seconds(60))) << c.what;
      else EXPECT_FALSE(client->ClosedNow()) << c.what;
    }
  }
}

TEST(ConsoleSecurity, ConnectionsFromOneAddressAreCappedExceptATrustedProxys) {
  const std::string request = "GET /login HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  struct Case {
    const char* what;
    std::vector<std::string> trusted;
    const char* answer;  // to the connection beyond the cap
  };
  for (const Case& c : {Case{"a client", {}, "HTTP/1.1 503"}, Case{"a trusted proxy", {"127.0.0.5"}, "HTTP/1.1 200"}}) {
    ServerOptions options;
    options.connections.per_address = 4;
    options.connections.keep_alive = std::chrono::minutes(10);
    options.trusted_proxies = c.trusted;
    Console console(options);
    // Four connections, each surely counted (answered once), then kept open.
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 4; ++i) {
      held.push_back(std::make_unique<RawClient>(console.port(), "127.0.0.5"));
      held.back()->Send("GET /login HTTP/1.1\r\nHost: x\r\n\r\n");
      ASSERT_NE(held.back()->ReadUntil("</html>").find("</html>"), std::string::npos);
    }
    RawClient beyond(console.port(), "127.0.0.5");
    beyond.Send(request);
    EXPECT_EQ(beyond.ReadUntil("\r\n").rfind(c.answer, 0), 0u) << c.what << ": " << beyond.ReadUntil("\r\n");
    // Another address is served as ever.
    RawClient other(console.port(), "127.0.0.6");
    other.Send(request);
    EXPECT_EQ(other.ReadUntil("\r\n").rfind("HTTP/1.1 200", 0), 0u) << c.what;
    if (c.trusted.empty()) {
      EXPECT_NE(console.log().find("connections from 127.0.0.5 refused: 4 are open"), std::string::npos) << console.log();
      // One closed, the address may open one again (once the server has seen it close).
      held.pop_back();
      std::string answer;
      for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
           answer.rfind("HTTP/1.1 200", 0) != 0 && std::chrono::steady_clock::now() < until;) {
        RawClient again(console.port(), "127.0.0.5");
        again.Send(request);
        answer = again.ReadUntil("\r\n");
      }
      EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    }
  }
}

// A kept-alive connection serves request after request (the library's default closed it after 5);
// only the configured count ends it, and its last answer says so.
TEST(ConsoleSecurity, AKeptAliveConnectionServesManyRequests) {
  const std::string request = "GET /login HTTP/1.1\r\nHost: x\r\n\r\n";
  struct Case {
    const char* what;
    std::size_t per_connection;  // the limit
    std::size_t sent;            // requests sent, one after another's answer
    bool closed;                 // the server closed the connection after the last
  };
  const std::vector<Case> cases = {
      {"the default", ConnectionLimits{}.keep_alive_requests, 40, false},
      {"a limit of 3", 3, 3, true},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    options.connections.keep_alive = std::chrono::minutes(10);
    options.connections.keep_alive_requests = c.per_connection;
    Console console(options);
    RawClient client(console.port());
    ASSERT_TRUE(client.connected()) << c.what;
    for (std::size_t n = 1; n <= c.sent; ++n) {
      ASSERT_TRUE(client.Send(request)) << c.what << ": request " << n;
      client.ReadUntil("</html>", std::chrono::seconds(30), n);
      ASSERT_EQ(client.Count("HTTP/1.1 200"), n) << c.what << ": request " << n;
    }
    EXPECT_EQ(client.Count("Connection: close"), c.closed ? 1u : 0u) << c.what;
    if (c.closed) EXPECT_TRUE(client.ClosedWithin(std::chrono::seconds(30))) << c.what;
    else EXPECT_FALSE(client.ClosedNow()) << c.what;
  }
}

}  // namespace
}  // namespace vanto::web::testing
