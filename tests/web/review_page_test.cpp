// The To review page over a console's database: the days that need a look for HR, each action's
// post storing what it should (and nothing without the form token), a refusal shown in place,
// and the audit trail naming the console user and address.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>

#include "host/attendance_host.h"
#include "host/attendance_review.h"
#include "host/db/accounts_store.h"
#include "host/db/database.h"
#include "host/db/swipe_store.h"
#include "tests/web/console_fixture.h"
#include "web/words.h"

namespace vanto::web::testing {
namespace {

// A Monday two weeks or more back (in UTC, the host's zone of the test) and the days after it.
std::string Day(int after) {
  using namespace std::chrono;
  const sys_days today = floor<days>(system_clock::now());
  const sys_days monday = today - days(14) - days((weekday(today).iso_encoding() - 1));
  const year_month_day d{monday + days(after)};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", int(d.year()), unsigned(d.month()), unsigned(d.day()));
  return text;
}

// Person 5 works 09:00-18:00 Monday to Friday: one swipe on Monday (missing), present on
// Tuesday, late on Wednesday.
void Fill(db::Database& db) {
  host::SiteChoice none;
  const host::AttendanceSite at{db, none, nullptr, {"setup", "test"}, std::nullopt};
  host::AddShift(at, attendance::Shift{.name = "day", .full_day_minutes = 240},
                 std::vector<bool>{true, true, true, true, true, false, false});
  attendance::Assignment a;
  a.pattern = "day", a.person = 5, a.from = Day(-30);
  host::Assign(at, a);
  db.Swipes()->PutPeople(std::vector<store::PersonName>{{5, "Eve", "Ops"}});
  std::vector<store::StoredSwipe> swipes;
  for (const std::string& time : {Day(0) + " 09:30:00", Day(1) + " 09:00:00", Day(1) + " 18:00:00", Day(2) + " 09:40:00",
                                  Day(2) + " 18:00:00"})
    swipes.push_back({1, 1, 5, time.substr(0, 16), 1, time, "2026-01-01T00:00:00Z"});
  db.Swipes()->Insert(swipes);
}

TEST(ReviewPage, HrActsOnEachDayInPlace) {
  Console console;
  std::shared_ptr<db::Database> db = db::Database::Open(console.database());
  Fill(*db);
  host::SiteChoice none;
  const host::AttendanceSite at{*db, none, nullptr, {"test", "test"}, std::nullopt};
  const Session hr = console.Login(console.users.hr);
  const std::string view = "/review?from=" + Day(0) + "&to=" + Day(2);

  httplib::Result page = console.Get(view, hr.cookie);
  ASSERT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("id=\"review-count\">2<"), std::string::npos);
  EXPECT_NE(page->body.find("data-date=\"" + Day(0) + "\" data-status=\"missing-swipe\""), std::string::npos);
  EXPECT_NE(page->body.find("data-date=\"" + Day(2) + "\" data-status=\"late\""), std::string::npos);
  EXPECT_NE(page->body.find("href=\"/review\""), std::string::npos);  // in HR's navigation
  // In each language: the status in a clerk's words, the list of swipes so called, a swipe by its
  // time only (the row names the day), the department filter's choices.
  const struct {
    const char* accept;
    std::vector<std::string> shows;
  } languages[] = {
      {"en", {"<td class=\"status\">missing swipe</td>", "<th>Swipes</th>", "data-time=\"" + Day(2) + " 09:40:00\">09:40</span>",
              "<option value=\"Ops\">Ops</option>"}},
      {"zh-CN", {"<td class=\"status\">缺卡</td>", "<th>打卡记录</th>", "data-time=\"" + Day(0) + " 09:30:00\">09:30</span>"}},
  };
  for (const auto& l : languages)
    for (const std::string& text : l.shows)
      EXPECT_NE(console.Get(view, hr.cookie, {{"Accept-Language", l.accept}})->body.find(text), std::string::npos)
          << l.accept << ": " << text;
  // Exported: CSV for a spreadsheet (the byte-order mark, the late day), a workbook; another format refused.
  httplib::Result csv = console.Get(view + "&format=csv", hr.cookie);
  ASSERT_EQ(csv->status, 200);
  EXPECT_EQ(csv->body.rfind("\xEF\xBB\xBF", 0), 0u);
  EXPECT_NE(csv->body.find(Day(2) + ",5,Eve,Ops,late,"), std::string::npos) << csv->body;
  httplib::Result xlsx = console.Get(view + "&format=xlsx", hr.cookie);
  ASSERT_EQ(xlsx->status, 200);
  EXPECT_EQ(xlsx->body.rfind("PK", 0), 0u);
  EXPECT_EQ(console.Get(view + "&format=pdf", hr.cookie)->status, 400);
  const Session viewer = console.Login(console.users.viewer);
  EXPECT_EQ(console.Get("/dashboard", viewer.cookie)->body.find("href=\"/review\""), std::string::npos);

  auto corrections = [&] { return host::ListCorrections(at, Day(0), Day(6), 5).size(); };
  auto reviewed = [&] {
    std::size_t n = 0;
    for (const host::ReviewDay& d : host::ToReview(at, Day(0), Day(6), {std::nullopt, true}).days) n += d.reviewed ? 1 : 0;
    return n;
  };
  const struct {
    const char* path;
    httplib::Params fields;
    const char* done;
    std::function<std::size_t()> count;
    std::size_t after;
  } actions[] = {
      {"/review/add-swipe", {{"date", Day(0)}, {"time", "18:00"}, {"direction", "out"}, {"reason", "forgot"}},
       "review_done_swipe", corrections, 1},
      {"/review/set-aside", {{"date", Day(2)}, {"swipe", "1:1:" + Day(2) + " 09:40:00"}, {"reason", "a colleague's card"}},
       "review_done_set_aside", corrections, 2},
      {"/review/leave", {{"date", Day(3)}, {"kind", "sick"}, {"note", "flu"}}, "review_done_leave",
       [&] { return host::ListLeave(at, Day(0), Day(6), 5).size(); }, 1},
      {"/review/mark", {{"date", Day(2)}, {"note", "checked"}}, "review_done_mark", reviewed, 1},
      {"/review/unmark", {{"date", Day(2)}}, "review_done_unmark", reviewed, 0},
  };
  for (const auto& a : actions) {
    SCOPED_TRACE(a.path);
    httplib::Params form = a.fields;
    form.emplace("person", "5");
    form.emplace("from", Day(0));
    form.emplace("to", Day(2));
    const std::size_t before = a.count();
    EXPECT_EQ(console.Post(a.path, form, hr.cookie)->status, 403);  // no form token
    EXPECT_EQ(a.count(), before);
    form.emplace("csrf", hr.csrf);
    httplib::Result r = console.Post(a.path, form, hr.cookie);
    ASSERT_EQ(r->status, 303) << r->body;
    EXPECT_EQ(r->get_header_value("Location"), view + "&done=" + a.done);
    EXPECT_EQ(a.count(), a.after);
    EXPECT_EQ(console.Get(r->get_header_value("Location"), hr.cookie)->status, 200);
  }
  const std::vector<attendance::Correction> stored = host::ListCorrections(at, Day(0), Day(6), 5);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].time, Day(0) + " 18:00:00");
  EXPECT_EQ(stored[0].direction, attendance::Direction::kOut);
  EXPECT_EQ(stored[1].kind, attendance::CorrectionKind::kSetAside);
  EXPECT_EQ(stored[1].time, Day(2) + " 09:40:00");
  EXPECT_EQ(stored[1].entered.by, console.users.hr);

  // A refusal is said on the page, which keeps the view.
  httplib::Result refused = console.Post(
      "/review/add-swipe",
      {{"csrf", hr.csrf}, {"person", "5"}, {"date", Day(0)}, {"from", Day(0)}, {"to", Day(2)}, {"time", "19:00"},
       {"direction", "in"}, {"reason", " "}},
      hr.cookie);
  EXPECT_EQ(refused->status, 400);
  EXPECT_NE(refused->body.find("a correction needs its reason"), std::string::npos);
  EXPECT_NE(refused->body.find("name=\"from\" id=\"from\" value=\"" + Day(0) + "\""), std::string::npos);
  EXPECT_EQ(corrections(), 2u);

  // Every action is audited under the console user and the client's address.
  for (const char* action : {"correction.add", "leave.add", "day.review", "day.unreview"}) {
    bool found = false;
    for (const store::AuditEntry& e : db->Accounts()->AuditTrail(100, std::nullopt))
      if (e.action == action) {
        found = true;
        EXPECT_EQ(e.actor, console.users.hr) << action;
        EXPECT_EQ(e.origin, "127.0.0.1") << action;
      }
    EXPECT_TRUE(found) << action;
  }
}

// The rules' status words as the pages say them; a word the rules do not have, as it is.
TEST(StatusSaid, EveryStatusInAClerksWords) {
  const struct {
    const char* word;
    const char* en;
    const char* zh;
  } words[] = {
      {"present", "present", "出勤"},          {"late", "late", "迟到"},
      {"left-early", "left early", "早退"},    {"absent", "absent", "缺勤"},
      {"missing-swipe", "missing swipe", "缺卡"}, {"half-day", "half day", "半天"},
      {"leave", "leave", "请假"},              {"holiday", "holiday", "节假日"},
      {"rest", "rest", "休息"},                {"not-scheduled", "not scheduled", "未排班"},
      {"pending", "pending", "待定"},          {"someday", "someday", "someday"},
  };
  for (const auto& w : words) {
    EXPECT_EQ(StatusSaid(Language::kEnglish, w.word), w.en);
    EXPECT_EQ(StatusSaid(Language::kChinese, w.word), w.zh);
  }
  EXPECT_EQ(StatusCountsSaid(Language::kEnglish, {{"left-early", 2}, {"absent", 1}}), "absent 1, left early 2");
}

}  // namespace
}  // namespace vanto::web::testing
