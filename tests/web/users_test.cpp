// The Users and Audit pages as an admin uses them: each change takes effect, is refused with
// its reason when it must be, and leaves its audit row.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "tests/web/console_fixture.h"

namespace vanto::web::testing {
namespace {

TEST(ConsoleUsers, AdminChangesUsersAndEachChangeIsAudited) {
  Console console;
  Session admin = console.Login(console.users.admin);
  struct Step {
    const char* path;
    httplib::Params form;
    int status;           // 303: done (back to the users page)
    const char* audited;  // the audit row's action when done
  };
  const std::vector<Step> steps = {
      {"/users/add", {{"name", "newbie"}, {"role", "hr"}, {"password", "first password"}}, 303, "user.add"},
      {"/users/add", {{"name", "newbie"}, {"role", "hr"}, {"password", "first password"}}, 409, nullptr},
      {"/users/add", {{"name", "short"}, {"role", "hr"}, {"password", "1234567"}}, 400, nullptr},
      {"/users/add", {{"name", "norole"}, {"role", "root"}, {"password", "first password"}}, 400, nullptr},
      {"/users/password", {{"name", "newbie"}, {"password", "second password"}}, 303, "user.password"},
      {"/users/password", {{"name", "ghost"}, {"password", "second password"}}, 404, nullptr},
      {"/users/disable", {{"name", "newbie"}, {"disabled", "1"}}, 303, "user.disable"},
      {"/users/disable", {{"name", "newbie"}, {"disabled", "0"}}, 303, "user.enable"},
      {"/users/disable", {{"name", "newbie"}, {"disabled", "maybe"}}, 400, nullptr},
      {"/users/disable", {{"name", console.users.admin}, {"disabled", "1"}}, 409, nullptr},  // the last admin
  };
  for (const Step& step : steps) {
    httplib::Params form = step.form;
    form.emplace("csrf", admin.csrf);
    std::int64_t last = console.accounts().AuditTrail(1).at(0).id;
    httplib::Result r = console.Post(step.path, form, admin.cookie);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, step.status) << step.path << " " << form.find("name")->second;
    std::vector<accounts::AuditEntry> newest = console.accounts().AuditTrail(1);
    if (step.audited) {
      EXPECT_EQ(r->get_header_value("Location").rfind("/users?done=", 0), 0u);
      EXPECT_EQ(newest.at(0).action, step.audited);
      EXPECT_EQ(newest.at(0).actor, console.users.admin);
      EXPECT_EQ(newest.at(0).origin, "127.0.0.1");
    } else {
      EXPECT_EQ(newest.at(0).id, last) << "a refused change left an audit row";
      EXPECT_NE(r->body.find("class=\"error\""), std::string::npos);
    }
  }
  // The new user logs in with the second password only, and is listed.
  EXPECT_EQ(console.LoginAttempt("newbie", "first password")->status, 401);
  EXPECT_EQ(console.LoginAttempt("newbie", "second password")->status, 303);
  std::string page = console.Get("/users", admin.cookie)->body;
  EXPECT_NE(page.find(">newbie<"), std::string::npos);
  // The audit page lists the changes, newest first, and pages further back.
  std::string audit = console.Get("/audit", admin.cookie)->body;
  EXPECT_LT(audit.find("user.enable"), audit.find("user.disable"));
  EXPECT_NE(audit.find("test"), std::string::npos);  // the setup's own rows, under their actor
}

TEST(ConsoleUsers, TheAuditPagePagesBackByRowId) {
  Console console;
  for (int i = 0; i < 150; ++i) console.accounts().Audit({"test", "command line"}, "note", "row " + std::to_string(i));
  Session admin = console.Login(console.users.admin);
  std::string first = console.Get("/audit", admin.cookie)->body;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(first, m, std::regex("href=\"/audit\\?before=([0-9]+)\"")));
  std::string second = console.Get("/audit?before=" + m[1].str(), admin.cookie)->body;
  EXPECT_NE(first.find(">row 149<"), std::string::npos);
  EXPECT_EQ(first.find(">row 10<"), std::string::npos);
  EXPECT_NE(second.find(">row 10<"), std::string::npos);
  EXPECT_EQ(second.find(">row 149<"), std::string::npos);
}

TEST(ConsoleUsers, ADatabaseFailureShowsAMessageAndChangesNothing) {
  Console console;
  Session admin = console.Login(console.users.admin);
  // From now on every audit row fails to be written, as on a full disk.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(console.database().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TRIGGER refuse BEFORE INSERT ON audit BEGIN SELECT RAISE(ABORT, 'disk full'); END",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  struct Case {
    const char* path;
    httplib::Params form;
  };
  for (const Case& c : std::vector<Case>{
           {"/users/add", {{"name", "newbie"}, {"role", "admin"}, {"password", kPassword}}},
           {"/users/password", {{"name", console.users.hr}, {"password", "another long password"}}},
           {"/users/disable", {{"name", console.users.hr}, {"disabled", "1"}}}}) {
    httplib::Params form = c.form;
    form.emplace("csrf", admin.csrf);
    httplib::Result r = console.Post(c.path, form, admin.cookie);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 500) << c.path;
    EXPECT_NE(r->body.find("nothing was changed"), std::string::npos) << c.path;
    EXPECT_NE(console.log().find("disk full"), std::string::npos);  // the cause is logged, not shown
    EXPECT_EQ(r->body.find("disk full"), std::string::npos);
  }
  EXPECT_FALSE(console.accounts().FindUser("newbie"));
  EXPECT_FALSE(console.accounts().FindUser(console.users.hr)->disabled);
  EXPECT_EQ(console.LoginAttempt(console.users.hr, kPassword)->status, 500);  // a login needs its audit row too
}

}  // namespace
}  // namespace vanto::web::testing
