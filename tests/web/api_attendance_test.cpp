// Attendance in the HTTP API, on both engines: the scopes each route needs, a correction that
// changes a day's status while the stored swipes stay as they were, leave added all or nothing
// and withdrawn, and a token limited to sites refused another site's attendance.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "accounts/api_tokens.h"
#include "host/attendance_host.h"
#include "host/db/database.h"
#include "host/db/sites.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "tests/host/store_engines.h"
#include "web/api.h"
#include "web/api_attendance.h"

namespace vanto::web {
namespace {

using nlohmann::json;
using Params = std::multimap<std::string, std::string>;

const accounts::Actor kAdmin{"admin", "command line"};
const Params kJune{{"month", "2026-06"}, {"person", "7"}};

class ApiAttendanceTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    VANTO_STORE_ENGINE(GetParam(), engine_);
    location_ = engine_->FreshLocation();
    db_ = db::Database::Open(location_);
    {
      auto tables = db_->Tables(false);
      ASSERT_TRUE(store::AddSite(*tables, "A", "test"));
      ASSERT_TRUE(store::AddSite(*tables, "B", "test"));
    }
    served_ = Choice("A");
    // Person 7 of site A works 09:00-18:00 on weekdays from June.
    const host::AttendanceSite at{*db_, served_, nullptr, {"test", "test"}, std::nullopt};
    attendance::Shift day;
    day.name = "day";
    host::AddShift(at, day, std::vector<bool>{true, true, true, true, true, false, false});
    attendance::Assignment assignment;
    assignment.pattern = "day";
    assignment.person = 7;
    assignment.from = "2026-06-01";
    host::Assign(at, assignment);
    // Tuesday 2 June: in, and no swipe out; Wednesday 3 June: in and out.
    std::vector<store::StoredSwipe> rows;
    for (const char* time : {"2026-06-02 08:55:00", "2026-06-03 08:50:00", "2026-06-03 18:10:00"}) {
      store::StoredSwipe s;
      s.port = 1;
      s.terminal = 1;
      s.person = 7;
      s.time = time;
      s.minute = s.time.substr(0, 16);
      s.occurrence = 1;
      s.downloaded_at = "2026-07-01T00:00:30Z";
      s.site = "A";
      rows.push_back(s);
    }
    db_->Swipes()->Insert(rows);
    SyncedAfterJune("A");

    tokens_ = std::make_unique<accounts::Tokens>(db_->Tokens());
    all_ = tokens_->Add(kAdmin, "all", accounts::KnownScopes());
    clerk_ = tokens_->Add(kAdmin, "clerk", {"attendance:read", "attendance:write", "leave:write", "swipes:read"},
                          std::nullopt, {"A"});
    api_ = Server("A");
  }
  void TearDown() override { api_.reset(); }

  // The site's terminal 1 on port 1 synced completely after June.
  void SyncedAfterJune(const std::string& site) {
    auto runs = db_->SyncRuns();
    const std::int64_t run = runs->Begin("2026-07-01T00:00:00Z", store::RunStarter::Console, "test", "", site);
    store::RunTerminal synced;
    synced.port = 1;
    synced.terminal = 1;
    synced.outcome = "synced";
    runs->Finish(run, "2026-07-01T00:01:00Z", {synced});
  }
  static host::SiteChoice Choice(const std::string& site) {
    host::SiteChoice choice;
    choice.name = site;
    choice.filter = site;
    choice.sites = {"A", "B"};
    return choice;
  }
  std::unique_ptr<ApiServer> Server(const std::string& site) {
    ApiOptions options;
    options.database = location_;
    options.db = db_;
    options.site = site;
    options.served = Choice(site);
    return std::make_unique<ApiServer>(options, *tokens_);
  }
  ApiResponse Call(const std::string& token, const std::string& method, const std::string& path, Params params = {},
                   const std::string& body = "", ApiServer* server = nullptr) {
    ApiRequest r;
    r.method = method;
    r.path = path;
    r.params = std::move(params);
    r.authorization = "Bearer " + token;
    r.content_type = "application/json";
    r.body = body;
    r.origin = "127.0.0.9";
    return (server ? server : api_.get())->Handle(r);
  }
  // Person 7's June, by date: "present", "missing-swipe", ...
  std::map<std::string, std::string> June() {
    ApiResponse res = Call(all_, "GET", "/api/v1/attendance", kJune);
    EXPECT_EQ(res.status, 200) << res.body;
    json body = json::parse(res.body);
    EXPECT_EQ(body["site"], "A");
    EXPECT_EQ(body["month"], "2026-06");
    EXPECT_EQ(body["closed"], false);
    std::map<std::string, std::string> days;
    for (const json& d : body["days"]) {
      EXPECT_EQ(d["person"], 7);
      days[d["date"]] = d["status"];
    }
    return days;
  }
  std::vector<std::string> AuditActions(const std::string& prefix) {
    std::vector<std::string> actions;
    for (const accounts::AuditEntry& e : db_->Accounts()->AuditTrail(100, std::nullopt))
      if (e.action.rfind(prefix, 0) == 0) actions.push_back(e.action + " " + e.actor + " " + e.origin);
    return actions;
  }

  std::unique_ptr<store::testing::StoreEngine> engine_;
  std::string location_;
  std::shared_ptr<db::Database> db_;
  host::SiteChoice served_;
  std::unique_ptr<accounts::Tokens> tokens_;
  std::string all_, clerk_;
  std::unique_ptr<ApiServer> api_;
};

TEST_P(ApiAttendanceTest, EachRouteNeedsItsScope) {
  const std::string correction =
      R"({"person": 7, "kind": "add", "time": "2026-06-02 18:05", "direction": "out", "reason": "r"})";
  const std::string leave = R"({"person": 7, "kind": "annual", "from": "2026-06-05"})";
  struct Case {
    const char* method;
    const char* path;
    Params params;
    std::string body;
    const char* scope;
  } cases[] = {
      {"GET", "/api/v1/attendance", kJune, "", "attendance:read"},
      {"GET", "/api/v1/attendance/corrections", kJune, "", "attendance:read"},
      {"GET", "/api/v1/leave", kJune, "", "attendance:read"},
      {"POST", "/api/v1/attendance/corrections", {}, correction, "attendance:write"},
      {"DELETE", "/api/v1/attendance/corrections/999", {}, "", "attendance:write"},
      {"POST", "/api/v1/leave", {}, leave, "leave:write"},
      {"DELETE", "/api/v1/leave/999", {}, "", "leave:write"},
  };
  int made = 0;
  for (const Case& c : cases) {
    std::vector<std::string> others;
    for (const std::string& scope : accounts::KnownScopes())
      if (scope != c.scope) others.push_back(scope);
    const std::string without = tokens_->Add(kAdmin, "without" + std::to_string(made), others);
    const std::string only = tokens_->Add(kAdmin, "only" + std::to_string(made++), {c.scope});
    ApiResponse refused = Call(without, c.method, c.path, c.params, c.body);
    EXPECT_EQ(refused.status, 403) << c.method << " " << c.path << ": " << refused.body;
    EXPECT_NE(refused.body.find(c.scope), std::string::npos) << refused.body;
    ApiResponse allowed = Call(only, c.method, c.path, c.params, c.body);
    EXPECT_TRUE(allowed.status != 401 && allowed.status != 403 && allowed.status < 500)
        << c.method << " " << c.path << ": " << allowed.status << " " << allowed.body;
  }
}

TEST_P(ApiAttendanceTest, ACorrectionChangesTheDayAndNeverTheStoredSwipes) {
  const Params swipes_of_7{{"person", "7"}};
  const std::string swipes_before = Call(all_, "GET", "/api/v1/swipes", swipes_of_7).body;
  ASSERT_EQ(json::parse(swipes_before)["swipes"].size(), 3u);
  std::map<std::string, std::string> before = June();
  EXPECT_EQ(before["2026-06-02"], "missing-swipe");
  EXPECT_EQ(before["2026-06-03"], "present");

  ApiResponse added = Call(clerk_, "POST", "/api/v1/attendance/corrections", {},
                           R"({"person": 7, "kind": "add", "time": "2026-06-02T18:05", "direction": "out",
                               "reason": "forgot to swipe out"})");
  ASSERT_EQ(added.status, 201) << added.body;
  const std::int64_t id = json::parse(added.body)["id"];
  std::map<std::string, std::string> after = June();
  EXPECT_EQ(after["2026-06-02"], "present");
  EXPECT_EQ(after["2026-06-03"], "present");
  EXPECT_EQ(Call(all_, "GET", "/api/v1/swipes", swipes_of_7).body, swipes_before);

  json listed = json::parse(Call(clerk_, "GET", "/api/v1/attendance/corrections", kJune).body)["corrections"];
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["id"], id);
  EXPECT_EQ(listed[0]["kind"], "add");
  EXPECT_EQ(listed[0]["time"], "2026-06-02 18:05:00");
  EXPECT_EQ(listed[0]["direction"], "out");
  EXPECT_EQ(listed[0]["by"], "token:clerk");
  EXPECT_EQ(listed[0]["withdrawn"], false);

  // Withdrawn: the day is as before, the correction kept and listed as withdrawn; once only.
  const std::string path = "/api/v1/attendance/corrections/" + std::to_string(id);
  ApiResponse withdrawn = Call(clerk_, "DELETE", path);
  EXPECT_EQ(withdrawn.status, 204) << withdrawn.body;
  EXPECT_TRUE(withdrawn.body.empty());
  EXPECT_EQ(June(), before);
  listed = json::parse(Call(clerk_, "GET", "/api/v1/attendance/corrections", kJune).body)["corrections"];
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["withdrawn"], true);
  EXPECT_EQ(listed[0]["withdrawn_by"], "token:clerk");
  EXPECT_EQ(Call(clerk_, "DELETE", path).status, 409);
  EXPECT_EQ(Call(clerk_, "DELETE", "/api/v1/attendance/corrections/99999").status, 404);
  EXPECT_EQ(AuditActions("correction."), (std::vector<std::string>{"correction.withdraw token:clerk 127.0.0.9",
                                                                   "correction.add token:clerk 127.0.0.9"}));
}

std::string TooMuchLeave() {
  json leave = json::array();
  for (std::size_t i = 0; i <= kMaxLeavePerRequest; ++i)
    leave.push_back({{"person", 7}, {"kind", "annual"}, {"from", "2026-06-04"}});
  return leave.dump();
}

TEST_P(ApiAttendanceTest, RefusedInputIsA400NamingTheFieldAndChangesNothing) {
  struct Case {
    const char* what;
    const char* path;
    std::string body;
    const char* field;  // "" a refusal of the host's (its own words)
  } cases[] = {
      {"correction: an unknown kind", "/api/v1/attendance/corrections",
       R"({"person": 7, "kind": "move", "time": "2026-06-02 18:05", "direction": "out", "reason": "r"})", "kind"},
      {"correction: an added swipe without direction", "/api/v1/attendance/corrections",
       R"({"person": 7, "kind": "add", "time": "2026-06-02 18:05", "reason": "r"})", "direction"},
      {"correction: a day the calendar lacks", "/api/v1/attendance/corrections",
       R"({"person": 7, "kind": "add", "time": "2026-06-31 18:05", "direction": "out", "reason": "r"})", "time"},
      {"correction: a set-aside without its terminal", "/api/v1/attendance/corrections",
       R"({"person": 7, "kind": "set-aside", "time": "2026-06-02 08:55:00", "port": 1, "reason": "r"})", "terminal"},
      {"correction: no reason", "/api/v1/attendance/corrections",
       R"({"person": 7, "kind": "add", "time": "2026-06-02 18:05", "direction": "out"})", "reason"},
      {"correction: it duplicates a stored swipe", "/api/v1/attendance/corrections",
       R"({"person": 7, "kind": "add", "time": "2026-06-02 08:55:00", "direction": "in", "reason": "r"})", ""},
      {"leave: an array's bad date", "/api/v1/leave",
       R"([{"person": 7, "kind": "annual", "from": "2026-06-04"}, {"person": 7, "kind": "annual", "from": "2026-06-31"}])",
       "leave[1].from"},
      {"leave: half a part of a day", "/api/v1/leave",
       R"([{"person": 7, "kind": "annual", "from": "2026-06-04"}, {"person": 7, "kind": "sick", "from": "2026-06-05",
           "part_start": "09:00"}])",
       "leave[1].part_end"},
      {"leave: an element that is no object", "/api/v1/leave", R"([{"person": 7, "kind": "annual", "from": "2026-06-04"}, 3])",
       "leave[1]"},
      {"leave: no element", "/api/v1/leave", "[]", "leave"},
      {"leave: more than a request adds", "/api/v1/leave", TooMuchLeave(), "leave"},
      {"leave: an unknown kind in the second", "/api/v1/leave",
       R"([{"person": 7, "kind": "annual", "from": "2026-06-04"}, {"person": 7, "kind": "sabbatical", "from": "2026-06-05"}])",
       ""},
  };
  for (const Case& c : cases) {
    ApiResponse res = Call(all_, "POST", c.path, {}, c.body);
    EXPECT_EQ(res.status, 400) << c.what << ": " << res.body;
    json problem = json::parse(res.body, nullptr, false);
    ASSERT_TRUE(problem.is_object()) << c.what;
    EXPECT_EQ(problem.value("field", ""), c.field) << c.what << ": " << res.body;
    EXPECT_FALSE(problem.value("detail", "").empty()) << c.what;
  }
  EXPECT_EQ(json::parse(Call(all_, "GET", "/api/v1/leave", kJune).body)["leave"].size(), 0u);
  EXPECT_EQ(json::parse(Call(all_, "GET", "/api/v1/attendance/corrections", kJune).body)["corrections"].size(), 0u);
  EXPECT_TRUE(AuditActions("leave.").empty());
  EXPECT_TRUE(AuditActions("correction.").empty());
  for (const Params& bad : {Params{}, Params{{"month", "2026-13"}}, Params{{"month", "2026-06"}, {"person", "x"}},
                            Params{{"month", "2026-06"}, {"site", "C"}}}) {
    ApiResponse res = Call(all_, "GET", "/api/v1/attendance", bad);
    EXPECT_EQ(res.status, 400) << res.body;
  }
}

TEST_P(ApiAttendanceTest, LeaveIsAddedAllTogetherAndWithdrawn) {
  ApiResponse added = Call(clerk_, "POST", "/api/v1/leave", {},
                           R"([{"person": 7, "kind": "annual", "from": "2026-06-04", "to": "2026-06-05", "note": "trip"},
                               {"person": 7, "kind": "sick", "from": "2026-06-08", "part_start": "09:00",
                                "part_end": "13:00"}])");
  ASSERT_EQ(added.status, 201) << added.body;
  const json ids = json::parse(added.body)["ids"];
  ASSERT_EQ(ids.size(), 2u);
  std::map<std::string, std::string> days = June();
  EXPECT_EQ(days["2026-06-04"], "leave");
  EXPECT_EQ(days["2026-06-05"], "leave");
  json listed = json::parse(Call(clerk_, "GET", "/api/v1/leave", kJune).body)["leave"];
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["to"], "2026-06-05");
  EXPECT_EQ(listed[0]["note"], "trip");
  EXPECT_EQ(listed[1]["part_start"], "09:00");
  EXPECT_EQ(listed[1]["part_end"], "13:00");
  EXPECT_EQ(listed[1]["by"], "token:clerk");

  ApiResponse one = Call(clerk_, "POST", "/api/v1/leave", {}, R"({"person": 7, "kind": "annual", "from": "2026-06-09"})");
  ASSERT_EQ(one.status, 201) << one.body;
  EXPECT_EQ(json::parse(one.body)["ids"].size(), 1u);

  EXPECT_EQ(Call(clerk_, "DELETE", "/api/v1/leave/" + std::to_string(ids[0].get<std::int64_t>())).status, 204);
  days = June();
  EXPECT_NE(days["2026-06-04"], "leave");
  EXPECT_EQ(days["2026-06-09"], "leave");
  listed = json::parse(Call(clerk_, "GET", "/api/v1/leave", kJune).body)["leave"];
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0]["withdrawn"], true);
  EXPECT_EQ(Call(clerk_, "DELETE", "/api/v1/leave/" + std::to_string(ids[0].get<std::int64_t>())).status, 409);
}

TEST_P(ApiAttendanceTest, ATokenLimitedToSitesIsRefusedAnotherSitesAttendance) {
  std::unique_ptr<ApiServer> served_b = Server("B");
  const std::string leave = R"({"person": 7, "kind": "annual", "from": "2026-06-05"})";
  const Params of_b{{"month", "2026-06"}, {"site", "B"}};
  const Params of_a{{"month", "2026-06"}, {"site", "A"}};
  struct Case {
    const char* what;
    std::string token;
    ApiServer* server;  // null: site A's
    const char* method;
    std::string path;
    Params params;
    std::string body;
    int status;
    std::string site;  // the answer's site
  } cases[] = {
      {"its site", clerk_, nullptr, "GET", "/api/v1/attendance", {{"month", "2026-06"}}, "", 200, "A"},
      {"another site asked", clerk_, nullptr, "GET", "/api/v1/attendance", of_b, "", 403, ""},
      {"another site's server", clerk_, served_b.get(), "GET", "/api/v1/attendance", {{"month", "2026-06"}}, "", 403, ""},
      {"its site from another site's server", clerk_, served_b.get(), "GET", "/api/v1/attendance", of_a, "", 200, "A"},
      {"another site's leave", clerk_, nullptr, "GET", "/api/v1/leave", of_b, "", 403, ""},
      {"another site's corrections", clerk_, nullptr, "GET", "/api/v1/attendance/corrections", of_b, "", 403, ""},
      {"leave for another site", clerk_, nullptr, "POST", "/api/v1/leave", {{"site", "B"}}, leave, 403, ""},
      {"withdrawing at another site", clerk_, nullptr, "DELETE", "/api/v1/leave/1", {{"site", "B"}}, "", 403, ""},
      {"another site, unlimited", all_, nullptr, "GET", "/api/v1/attendance", of_b, "", 200, "B"},
  };
  for (const Case& c : cases) {
    ApiResponse res = Call(c.token, c.method, c.path, c.params, c.body, c.server);
    EXPECT_EQ(res.status, c.status) << c.what << ": " << res.body;
    if (c.status == 200) {
      EXPECT_EQ(json::parse(res.body)["site"], c.site) << c.what;
    }
  }
  // Nothing was written at B, and each refusal left its row.
  EXPECT_EQ(json::parse(Call(all_, "GET", "/api/v1/leave", of_b).body)["leave"].size(), 0u);
  std::size_t refused = 0;
  for (const accounts::AuditEntry& e : db_->Accounts()->AuditTrail(100, std::nullopt))
    if (e.action == "refused" && e.actor == "token:clerk") {
      EXPECT_NE(e.details.find("limited to the sites A, not site B"), std::string::npos) << e.details;
      ++refused;
    }
  EXPECT_EQ(refused, 6u);
  // A's leave is not B's: withdrawing it at B finds none.
  ApiResponse at_a = Call(all_, "POST", "/api/v1/leave", {}, leave);
  ASSERT_EQ(at_a.status, 201) << at_a.body;
  const std::string id = std::to_string(json::parse(at_a.body)["ids"][0].get<std::int64_t>());
  EXPECT_EQ(Call(all_, "DELETE", "/api/v1/leave/" + id, {{"site", "B"}}).status, 404);
  EXPECT_EQ(Call(all_, "DELETE", "/api/v1/leave/" + id).status, 204);
}

// Another site's days are judged with what its last sync recorded (its late_after, its terminals),
// not with the serving site's file: site B's person 8 came at 09:30, after B's late_after, and B's
// terminal 2 never answered.
TEST_P(ApiAttendanceTest, AnotherSitesDaysAreJudgedWithItsRecordedSettings) {
  store::StoredSwipe s;
  s.port = 1;
  s.terminal = 1;
  s.person = 8;
  s.time = "2026-06-02 09:30:00";
  s.minute = s.time.substr(0, 16);
  s.occurrence = 1;
  s.downloaded_at = "2026-07-01T00:00:30Z";
  s.site = "B";
  db_->Swipes()->Insert(std::vector<store::StoredSwipe>{s});
  SyncedAfterJune("B");
  const Params of_b{{"month", "2026-06"}, {"site", "B"}, {"person", "8"}};
  auto second_of_june = [&] {
    json body = json::parse(Call(all_, "GET", "/api/v1/attendance", of_b).body);
    for (const json& d : body["days"])
      if (d["date"] == "2026-06-02") return d;
    return json();
  };
  EXPECT_EQ(second_of_june()["status"], "present");  // B never synced: nothing recorded of it
  // June is long past: past pending_limit a day is judged, naming the terminal it went without.
  const struct {
    const char* settings;
    const char* status;
    bool judged_without;
  } cases[] = {
      {R"({"timezone": "", "late_after": "09:00", "ports": [{"number": 1, "terminals": [1]}]})", "late", false},
      {R"({"late_after": "09:00", "pending_limit": 1000, "ports": [{"number": 1, "terminals": [1, 2]}]})", "pending",
       false},
      {R"({"late_after": "09:00", "ports": [{"number": 1, "terminals": [1, 2]}]})", "late", true},
      {R"({"late_after": "09:00", "ports": [{"number": 1, "terminals": [1, 2], "not_collected": [2]}]})", "late",
       false},
  };
  for (const auto& c : cases) {
    {
      auto tables = db_->Tables(false);
      store::RecordSiteSync(*tables, "B", "", c.settings, "2026-07-01T00:01:00Z", "b-host");
    }
    const json day = second_of_june();
    EXPECT_EQ(day["status"], c.status) << c.settings;
    EXPECT_EQ(day.dump().find("judged-without") != std::string::npos, c.judged_without) << day.dump();
  }
}

// Programs rely on the status words: the document lists each of them, and no other.
TEST(ApiAttendanceDocument, TheDayStatusIsOneOfTheDocumentedWords) {
  const json doc = json::parse(ApiServer::OpenApiDocument());
  EXPECT_EQ(doc["components"]["schemas"]["AttendanceDay"]["properties"]["status"]["enum"],
            json({"present", "late", "left-early", "absent", "missing-swipe", "half-day", "leave", "holiday", "rest",
                  "not-scheduled", "pending"}));
  for (const char* path : {"/api/v1/attendance/corrections/{id}", "/api/v1/leave/{id}"})
    EXPECT_TRUE(doc["paths"][path]["delete"]["responses"].contains("204")) << path;
}

// The month report carries each working day's status and each person's counts over every day the
// rules judge, days without swipes too: a late day, absent days counted, a month still to come
// pending (never absent).
TEST_P(ApiAttendanceTest, TheMonthReportCountsEveryJudgedDay) {
  std::vector<store::StoredSwipe> late;
  for (const char* time : {"2026-06-04 09:30:00", "2026-06-04 18:30:00"}) {
    store::StoredSwipe s;
    s.port = 1, s.terminal = 1, s.person = 7, s.time = time, s.minute = s.time.substr(0, 16), s.occurrence = 1;
    s.downloaded_at = "2026-07-01T00:00:30Z", s.site = "A";
    late.push_back(s);
  }
  db_->Swipes()->Insert(late);
  struct Case {
    const char* month;
    std::map<std::string, int> statuses;
    std::map<std::string, std::string> swiped_days;  // day: status
  } cases[] = {
      {"2026-06",
       {{"absent", 19}, {"late", 1}, {"missing-swipe", 1}, {"present", 1}, {"rest", 8}},
       {{"2026-06-02", "missing-swipe"}, {"2026-06-03", "present"}, {"2026-06-04", "late"}}},
      {"2099-06", {{"pending", 22}, {"rest", 8}}, {}},
  };
  for (const Case& c : cases) {
    ApiResponse res = Call(all_, "GET", "/api/v1/reports/month", {{"month", c.month}, {"person", "7"}});
    ASSERT_EQ(res.status, 200) << c.month << ": " << res.body;
    const json people = json::parse(res.body)["people"];
    ASSERT_EQ(people.size(), 1u) << c.month << ": " << res.body;  // 7, by the shift alone when without swipes
    EXPECT_EQ(people[0]["statuses"], json(c.statuses)) << c.month;
    std::map<std::string, std::string> swiped;
    for (const json& d : people[0]["days"]) swiped[d["day"]] = d["status"];
    EXPECT_EQ(swiped, c.swiped_days) << c.month;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, ApiAttendanceTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::web
