// The HTTP API's rules, on both engines: tokens and scopes (401, 403), malformed parameters (400
// naming the field), clamped pages, the rate limit (429 with Retry-After), reads counted per hour,
// changes audited, and keyset paging that neither repeats nor drops a swipe.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <atomic>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "accounts/api_tokens.h"
#include "host/db/swipe_feed.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "host/site_choice.h"
#include "tests/host/store_engines.h"
#include "web/api.h"
#include "web/metrics.h"
#include "host/db/database.h"
#include "host/db/sites.h"
#include "platform/ado/enrolment.h"

namespace vanto::web {
namespace {

using nlohmann::json;
using vanto::store::testing::PostgresEngine;
using vanto::store::testing::SqliteEngine;
using vanto::store::testing::StoreEngine;

const accounts::Actor kAdmin{"admin", "command line"};

class ApiTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    api_.reset();  // a test that sets up again: the server goes before the tokens it reads
    VANTO_STORE_ENGINE(GetParam(), engine_);
    location_ = engine_->FreshLocation();
    tokens_ = std::make_unique<accounts::Tokens>(vanto::db::Database::Open(location_)->Tokens(),
                                                 accounts::RateLimit{limit_}, [this] { return now_; });
    reader_ = tokens_->Add(kAdmin, "reader", {"swipes:read", "terminals:read"});
    writer_ = tokens_->Add(kAdmin, "writer", {"people:read", "people:write"});
    revoked_ = tokens_->Add(kAdmin, "gone", {"swipes:read", "people:read", "people:write", "terminals:read"});
    tokens_->Revoke(kAdmin, "gone");
    all_ = tokens_->Add(kAdmin, "all", accounts::KnownScopes());
    ApiOptions options;
    options.database = location_;
    options.ports = {{1, "/dev/ttyS0", {1, 2}}};
    options.max_limit = 10;
    options.default_limit = 4;
    options.day_starts = 6 * 60;
    options.late_after = 9 * 60;
    api_ = std::make_unique<ApiServer>(options, *tokens_);
  }
  ApiResponse Call(const std::string& token, const std::string& method, const std::string& path,
                   std::multimap<std::string, std::string> params = {}, const std::string& body = "") {
    ApiRequest r;
    r.method = method;
    r.path = path;
    r.params = std::move(params);
    if (!token.empty()) r.authorization = "Bearer " + token;
    r.content_type = "application/json";
    r.body = body;
    r.origin = "127.0.0.9";
    return api_->Handle(r);
  }
  void AddSwipes(int count) {
    auto store = vanto::db::Database::Open(location_)->Swipes();
    std::vector<vanto::store::StoredSwipe> rows;
    for (int i = 0; i < count; ++i) {
      vanto::store::StoredSwipe s;
      s.port = 1;
      s.terminal = 1 + i % 2;
      s.person = 100 + i % 3;  // several swipes share a time: paging must tell them apart
      s.minute = "2026-12-0" + std::to_string(1 + i / 10) + " 08:00";
      s.occurrence = 1 + i;
      s.time = s.minute + ":00";
      s.downloaded_at = "2026-12-08T09:00:00Z";
      rows.push_back(s);
    }
    store->Insert(rows);
    stored_ += static_cast<std::size_t>(count);
    // On a shared PostgreSQL server a transaction still open elsewhere (another test's) holds the
    // feed back until it ends: wait, within a bound, until the feed serves every stored swipe.
    auto feed = vanto::db::Database::Open(location_)->Feed();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (feed->Read({}, stored_ + 1).swipes.size() < stored_ && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::size_t stored_ = 0;

  std::int64_t limit_ = 600;
  std::int64_t now_ = 1'796'000'000;
  std::unique_ptr<StoreEngine> engine_;
  std::string location_;
  std::unique_ptr<accounts::Tokens> tokens_;
  std::string reader_, writer_, revoked_, all_;
  std::unique_ptr<ApiServer> api_;
};

TEST_P(ApiTest, RefusalsAreProblemsNamingTheirCause) {
  const std::string people_body = R"({"people": [{"person": 7, "name": "Ann"}]})";
  struct Case {
    const char* what;
    std::string token;
    std::string method, path;
    std::multimap<std::string, std::string> params;
    std::string body;
    int status;
    std::string field;  // expected in the problem
  } cases[] = {
      {"no token", "", "GET", "/api/v1/swipes/feed", {}, "", 401, ""},
      {"not a token of ours", "vnt_" + std::string(64, '0'), "GET", "/api/v1/swipes/feed", {}, "", 401, ""},
      {"malformed token", "abc", "GET", "/api/v1/swipes/feed", {}, "", 401, ""},
      {"revoked token", revoked_, "GET", "/api/v1/swipes/feed", {}, "", 401, ""},
      {"reader lacks people:read", reader_, "GET", "/api/v1/people", {}, "", 403, ""},
      {"reader lacks people:write", reader_, "POST", "/api/v1/people", {}, people_body, 403, ""},
      {"writer lacks swipes:read", writer_, "GET", "/api/v1/swipes", {}, "", 403, ""},
      {"writer lacks terminals:read", writer_, "GET", "/api/v1/terminals", {}, "", 403, ""},
      {"feed cursor malformed", reader_, "GET", "/api/v1/swipes/feed", {{"after", "12"}}, "", 400, "after"},
      {"feed cursor not a number", reader_, "GET", "/api/v1/swipes/feed", {{"after", "1.x"}}, "", 400, "after"},
      {"limit zero", reader_, "GET", "/api/v1/swipes/feed", {{"limit", "0"}}, "", 400, "limit"},
      {"limit not a number", reader_, "GET", "/api/v1/swipes/feed", {{"limit", "ten"}}, "", 400, "limit"},
      {"listing cursor malformed", reader_, "GET", "/api/v1/swipes", {{"after", "yesterday"}}, "", 400, "after"},
      {"from not a date", reader_, "GET", "/api/v1/swipes", {{"from", "2026-13"}}, "", 400, "from"},
      {"to not a date", reader_, "GET", "/api/v1/swipes", {{"to", "12/08/2026"}}, "", 400, "to"},
      {"from a day the calendar lacks", reader_, "GET", "/api/v1/swipes", {{"from", "2026-02-30"}}, "", 400, "from"},
      {"to an hour the day lacks", reader_, "GET", "/api/v1/swipes", {{"to", "2026-02-01 24:00"}}, "", 400, "to"},
      {"to a second the minute lacks", reader_, "GET", "/api/v1/swipes", {{"to", "2026-02-01T08:00:60"}}, "", 400, "to"},
      {"port not a number", reader_, "GET", "/api/v1/swipes", {{"port", "COM1"}}, "", 400, "port"},
      {"person not a number", reader_, "GET", "/api/v1/swipes", {{"person", "7x"}}, "", 400, "person"},
      {"body not JSON", writer_, "POST", "/api/v1/people", {}, "{", 400, "body"},
      {"no people", writer_, "POST", "/api/v1/people", {}, R"({"people": []})", 400, "people"},
      {"name missing", writer_, "POST", "/api/v1/people", {}, R"([{"person": 7}])", 400, "people[0].name"},
      {"person not a number", writer_, "POST", "/api/v1/people", {}, R"([{"person": "7", "name": "A"}])", 400,
       "people[0].person"},
      {"no token for the figures", "", "GET", "/metrics", {}, "", 401, ""},
      {"a token in the query is no token", "", "GET", "/metrics", {{"access_token", all_}}, "", 401, ""},
      {"reader lacks metrics:read", reader_, "GET", "/metrics", {}, "", 403, ""},
      {"the figures are only read", all_, "POST", "/metrics", {}, "", 405, ""},
      {"no such route", reader_, "GET", "/api/v1/nothing", {}, "", 404, ""},
      {"no such method", writer_, "DELETE", "/api/v1/people", {}, "", 405, ""},
      {"reader lacks syncs:write", reader_, "POST", "/api/v1/syncs", {}, "", 403, ""},
      {"reader lacks syncs:read", reader_, "GET", "/api/v1/syncs/1", {}, "", 403, ""},
      {"writer lacks reports:read", writer_, "GET", "/api/v1/reports/month", {{"month", "2026-12"}}, "", 403, ""},
      {"reader lacks enrolments:read", reader_, "GET", "/api/v1/enrolments", {}, "", 403, ""},
      {"writer lacks enrolments:write", writer_, "POST", "/api/v1/enrolments/copy", {}, "{}", 403, ""},
      {"sync id not a number", all_, "GET", "/api/v1/syncs/first", {}, "", 400, "id"},
      {"no such sync", all_, "GET", "/api/v1/syncs/99", {}, "", 404, "id"},
      {"sync id path too deep", all_, "GET", "/api/v1/syncs/1/x", {}, "", 404, ""},
      {"syncs before not a number", all_, "GET", "/api/v1/syncs", {{"before", "x"}}, "", 400, "before"},
      {"no month", all_, "GET", "/api/v1/reports/month", {}, "", 400, "month"},
      {"month 13", all_, "GET", "/api/v1/reports/month", {{"month", "2026-13"}}, "", 400, "month"},
      {"month a day", all_, "GET", "/api/v1/reports/month", {{"month", "2026-12-01"}}, "", 400, "month"},
      {"report person out of range", all_, "GET", "/api/v1/reports/month", {{"month", "2026-12"}, {"person", "2147483648"}},
       "", 400, "person"},
      {"copy person out of range", all_, "POST", "/api/v1/enrolments/copy", {}, R"({"person": 40000, "to": []})", 400,
       "person"},
      {"copy body not an object", all_, "POST", "/api/v1/enrolments/copy", {}, "[1]", 400, "body"},
      {"sync without a site", all_, "POST", "/api/v1/syncs", {}, "", 409, ""},
      {"copy without a site", all_, "POST", "/api/v1/enrolments/copy", {}, R"({"person": 7, "to": [{"port": 1, "terminal": 1}]})",
       409, ""},
  };
  for (const Case& c : cases) {
    ApiResponse res = Call(c.token, c.method, c.path, c.params, c.body);
    EXPECT_EQ(res.status, c.status) << c.what << ": " << res.body;
    EXPECT_EQ(res.content_type, "application/problem+json") << c.what;
    json problem = json::parse(res.body, nullptr, false);
    ASSERT_TRUE(problem.is_object()) << c.what;
    EXPECT_EQ(problem.value("status", 0), c.status) << c.what;
    EXPECT_FALSE(problem.value("title", "").empty()) << c.what;
    EXPECT_EQ(problem.value("field", ""), c.field) << c.what;
    if (c.status == 401) {
      bool challenged = false;
      for (const auto& [name, value] : res.headers) challenged |= name == "WWW-Authenticate";
      EXPECT_TRUE(challenged) << c.what;
    }
  }
  // A refused write changed nothing.
  EXPECT_EQ(json::parse(Call(writer_, "GET", "/api/v1/people").body)["people"].size(), 0u);
  // Each token refused for its scope left its row: who, from where, what.
  std::multiset<std::string> refused, expected;
  for (const Case& c : cases)
    if (c.status == 403)
      expected.insert((c.token == reader_ ? "token:reader|" : "token:writer|") + c.method + " " + c.path);
  auto accounts = vanto::db::Database::Open(location_)->Accounts();
  for (const accounts::AuditEntry& e : accounts->AuditTrail(100, std::nullopt))
    if (e.action == "refused") {
      EXPECT_EQ(e.origin, "127.0.0.9");
      EXPECT_NE(e.details.find(": the token lacks the scope "), std::string::npos) << e.details;
      refused.insert(e.actor + "|" + e.details.substr(0, e.details.find(':')));
    }
  EXPECT_EQ(refused, expected);
}

TEST_P(ApiTest, PagesAreClampedAndSaySo) {
  AddSwipes(25);
  struct Case {
    const char* limit;
    std::size_t served;
    bool clamped;
  } cases[] = {{nullptr, 4, false}, {"3", 3, false}, {"10", 10, false}, {"11", 10, true}, {"5000000000", 0, false}};
  for (const Case& c : cases) {
    std::multimap<std::string, std::string> params;
    if (c.limit) params.emplace("limit", c.limit);
    for (const char* path : {"/api/v1/swipes/feed", "/api/v1/swipes"}) {
      ApiResponse res = Call(reader_, "GET", path, params);
      if (c.served == 0) {  // past any page size there is
        EXPECT_EQ(res.status, 400) << path;
        continue;
      }
      ASSERT_EQ(res.status, 200) << path << " " << res.body;
      json page = json::parse(res.body);
      EXPECT_EQ(page["swipes"].size(), c.served) << path << " limit " << (c.limit ? c.limit : "none");
      EXPECT_EQ(page["limit"], c.served) << path;
      EXPECT_EQ(page["max_limit"], 10) << path;
      EXPECT_EQ(page.value("limit_clamped", false), c.clamped) << path;
    }
  }
}

TEST_P(ApiTest, ListingPagesThroughEverySwipeOnceInTimeOrder) {
  AddSwipes(25);
  std::set<std::string> seen;
  std::string last_time;
  std::multimap<std::string, std::string> params{{"limit", "3"}, {"port", "1"}};
  int pages = 0;
  for (;;) {
    ApiResponse res = Call(reader_, "GET", "/api/v1/swipes", params);
    ASSERT_EQ(res.status, 200) << res.body;
    json page = json::parse(res.body);
    for (const json& s : page["swipes"]) {
      EXPECT_GE(s["time"].get<std::string>(), last_time);
      last_time = s["time"];
      EXPECT_TRUE(seen.insert(s.dump()).second) << "repeated: " << s.dump();
    }
    ASSERT_LT(++pages, 20);
    if (page["next"].is_null()) break;
    params.erase("after");
    params.emplace("after", page["next"].get<std::string>());
  }
  EXPECT_EQ(seen.size(), 25u);
  // The filters hold across pages.
  json only = json::parse(Call(reader_, "GET", "/api/v1/swipes", {{"person", "101"}, {"to", "2026-12-01"}}).body);
  for (const json& s : only["swipes"]) EXPECT_EQ(s["person"], 101);
  EXPECT_EQ(only["swipes"].size(), 3u);  // i = 1, 4, 7 on the first day
}

// Two sites' swipes in one database: the feed carries each swipe's site and takes ?site; a token
// limited to site A reads only A's swipes from the feed, the listing and the report, and asking
// for B's is 403, audited as a refusal.
TEST_P(ApiTest, TheFeedFiltersBySiteAndATokenLimitedToSitesReadsOnlyThose) {
  {
    auto db = vanto::db::Database::Open(location_);
    auto tables = db->Tables(false);
    ASSERT_TRUE(vanto::store::AddSite(*tables, "A", "test"));
    ASSERT_TRUE(vanto::store::AddSite(*tables, "B", "test"));
    std::vector<vanto::store::StoredSwipe> rows;
    for (int i = 0; i < 5; ++i) {
      vanto::store::StoredSwipe s;
      s.port = 1;
      s.terminal = 1;
      s.person = 17;  // the same port, terminal, person and minute at both sites
      s.minute = "2026-12-0" + std::to_string(1 + i / 2) + " 08:00";
      s.occurrence = 1;
      s.time = s.minute + ":00";
      s.downloaded_at = "2026-12-08T09:00:00Z";
      s.site = i % 2 ? "B" : "A";
      rows.push_back(s);
    }
    db->Swipes()->Insert(rows);  // A: 3, B: 2
    // Runs 1 and 3 synced A, run 2 B.
    auto runs = db->SyncRuns();
    for (const char* site : {"A", "B", "A"}) {
      const std::int64_t id = runs->Begin("2026-12-08T09:00:00Z", vanto::store::RunStarter::Console, "test", "1", site);
      runs->Finish(id, "2026-12-08T09:01:00Z", {});
    }
    // Person 17's fingerprint at A, password at B.
    for (const auto& [site, kind] : {std::pair<std::string, LONG>{"A", 0}, {"B", 10}}) {
      vanto::host::SiteChoice choice;
      choice.name = site;
      choice.filter = site;
      ComPtr<RowSet> enrolment;
      ASSERT_EQ(db->EnrolmentRows(choice, 17, kind, &enrolment), S_OK);
      ASSERT_EQ(AddEnrolmentRow(enrolment.Get(), EnrolmentRow{17, kind, 1, 0, std::vector<BYTE>{1}}), S_OK);
    }
    // Within a bound, until the feed serves them (as AddSwipes waits).
    auto feed = db->Feed();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (feed->Read({}, 6).swipes.size() < 5 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string clerk =
      tokens_->Add(kAdmin, "clerk", {"swipes:read", "reports:read", "enrolments:read", "enrolments:write", "syncs:read"},
                   std::nullopt, {"A"});
  ApiOptions options;
  options.database = location_;
  options.site = "B";  // a server of site B
  ApiServer served_b(options, *tokens_);
  options.site = "A";
  api_ = std::make_unique<ApiServer>(options, *tokens_);
  const std::multimap<std::string, std::string> month{{"month", "2026-12"}};
  struct Case {
    const char* what;
    std::string token;
    ApiServer* server;  // null: site A's
    std::string path;
    std::multimap<std::string, std::string> params;
    int status;
    std::string sites;  // the feed's or listing's swipes' sites, in order (syncs: their ids); a 400's field
  } cases[] = {
      {"every site's feed", reader_, nullptr, "/api/v1/swipes/feed", {}, 200, "ABABA"},
      {"one site's feed", reader_, nullptr, "/api/v1/swipes/feed", {{"site", "B"}}, 200, "BB"},
      {"a limited token's feed", clerk, nullptr, "/api/v1/swipes/feed", {}, 200, "AAA"},
      {"a limited token asks for its site", clerk, nullptr, "/api/v1/swipes/feed", {{"site", "A"}}, 200, "AAA"},
      {"a limited token asks for another site", clerk, nullptr, "/api/v1/swipes/feed", {{"site", "B"}}, 403, ""},
      {"a site the database lacks", reader_, nullptr, "/api/v1/swipes/feed", {{"site", "C"}}, 400, "site"},
      {"no site's name", reader_, nullptr, "/api/v1/swipes/feed", {{"site", "a b"}}, 400, "site"},
      {"an empty site", reader_, nullptr, "/api/v1/swipes/feed", {{"site", ""}}, 400, "site"},
      {"the listing of its site", clerk, nullptr, "/api/v1/swipes", {}, 200, "AAA"},
      {"the listing of another site", clerk, &served_b, "/api/v1/swipes", {}, 403, ""},
      {"another site's listing, unlimited", reader_, &served_b, "/api/v1/swipes", {}, 200, "BB"},
      {"the report of another site", clerk, &served_b, "/api/v1/reports/month", month, 403, ""},
      {"the report of its site", clerk, nullptr, "/api/v1/reports/month", month, 200, ""},
      {"the enrolments of another site", clerk, &served_b, "/api/v1/enrolments", {}, 403, ""},
      {"every site's syncs", all_, nullptr, "/api/v1/syncs", {}, 200, "321"},
      {"a limited token's syncs", clerk, nullptr, "/api/v1/syncs", {}, 200, "31"},
      {"a limited token's syncs, a page", clerk, nullptr, "/api/v1/syncs", {{"limit", "1"}, {"before", "3"}}, 200, "1"},
      {"a sync of its site", clerk, nullptr, "/api/v1/syncs/3", {}, 200, ""},
      {"a sync of another site", clerk, nullptr, "/api/v1/syncs/2", {}, 403, ""},
  };
  for (const Case& c : cases) {
    ApiRequest r;
    r.method = "GET";
    r.path = c.path;
    r.params = c.params;
    r.authorization = "Bearer " + c.token;
    r.origin = "127.0.0.9";
    const ApiResponse res = (c.server ? c.server : api_.get())->Handle(r);
    ASSERT_EQ(res.status, c.status) << c.what << ": " << res.body;
    const json body = json::parse(res.body);
    if (c.status == 400) {
      EXPECT_EQ(body["field"], c.sites) << c.what;
    }
    if (c.status == 200 && body.contains("syncs")) {
      std::string ids;
      for (const json& run : body["syncs"]) ids += std::to_string(run["id"].get<std::int64_t>());
      EXPECT_EQ(ids, c.sites) << c.what;
    }
    if (c.status != 200 || !body.contains("swipes")) continue;
    std::string sites;
    for (const json& s : body["swipes"]) sites += s["site"].get<std::string>();
    EXPECT_EQ(sites, c.sites) << c.what;
  }
  // The enrolments listed are the serving site's.
  for (const auto& [server, token, kinds] : {std::tuple{api_.get(), clerk, "fingerprint"}, std::tuple{&served_b, all_, "password"}}) {
    ApiRequest r;
    r.method = "GET";
    r.path = "/api/v1/enrolments";
    r.authorization = "Bearer " + token;
    const ApiResponse res = server->Handle(r);
    ASSERT_EQ(res.status, 200) << res.body;
    const json listed = json::parse(res.body)["enrolments"];
    ASSERT_EQ(listed.size(), 1u) << res.body;
    EXPECT_EQ(listed[0]["kind"], kinds) << res.body;
  }
  // A copy at another site's server is refused to a token limited to A before any terminal is reached.
  ApiRequest copy;
  copy.method = "POST";
  copy.path = "/api/v1/enrolments/copy";
  copy.body = R"({"person": 17, "to": [{"port": 1, "terminal": 1}]})";
  copy.authorization = "Bearer " + clerk;
  copy.content_type = "application/json";
  EXPECT_EQ(served_b.Handle(copy).status, 403);
  std::multiset<std::string> refused, expected{"token:clerk|POST /api/v1/enrolments/copy"};
  for (const Case& c : cases)
    if (c.status == 403) expected.insert("token:clerk|GET " + c.path);
  auto accounts = vanto::db::Database::Open(location_)->Accounts();
  for (const accounts::AuditEntry& e : accounts->AuditTrail(100, std::nullopt))
    if (e.action == "refused") {
      EXPECT_NE(e.details.find(": the token is limited to the sites A, not site B"), std::string::npos) << e.details;
      refused.insert(e.actor + "|" + e.details.substr(0, e.details.find(':')));
    }
  EXPECT_EQ(refused, expected);
}

TEST_P(ApiTest, WritesAreAuditedAndReadsCountedPerHour) {
  ApiResponse put = Call(writer_, "POST", "/api/v1/people", {},
                         R"({"people": [{"person": 7, "name": "Ann", "department": "Stores"}, {"person": 8, "name": "Bo"}]})");
  ASSERT_EQ(put.status, 200) << put.body;
  EXPECT_EQ(json::parse(put.body)["added"], 2);
  json people = json::parse(Call(writer_, "GET", "/api/v1/people").body)["people"];
  ASSERT_EQ(people.size(), 2u);
  EXPECT_EQ(people[0]["department"], "Stores");
  auto accounts = vanto::db::Database::Open(location_)->Accounts();
  bool audited = false;
  for (const accounts::AuditEntry& e : accounts->AuditTrail(10, std::nullopt))
    audited |= e.action == "people.put" && e.actor == "token:writer" && e.origin == "127.0.0.9";
  EXPECT_TRUE(audited);

  for (int i = 0; i < 3; ++i) ASSERT_EQ(Call(reader_, "GET", "/api/v1/terminals").status, 200);
  EXPECT_EQ(tokens_->ReadsThisHour("reader"), 3);
  EXPECT_EQ(tokens_->ReadsThisHour("writer"), 1);  // the GET; the POST is audited, not counted
  now_ += 3600;  // the next hour has a counter of its own
  ASSERT_EQ(Call(reader_, "GET", "/api/v1/swipes/feed").status, 200);
  EXPECT_EQ(tokens_->ReadsThisHour("reader"), 1);
  EXPECT_EQ(tokens_->ReadsThisHour("writer"), 0);
}

TEST_P(ApiTest, RateLimitAnswers429WithRetryAfterPerToken) {
  limit_ = 2;  // two a minute: one each 30 s
  SetUp();
  EXPECT_EQ(Call(reader_, "GET", "/api/v1/terminals").status, 200);
  EXPECT_EQ(Call(reader_, "GET", "/api/v1/terminals").status, 200);
  ApiResponse refused = Call(reader_, "GET", "/api/v1/terminals");
  EXPECT_EQ(refused.status, 429);
  std::string retry;
  for (const auto& [name, value] : refused.headers)
    if (name == "Retry-After") retry = value;
  EXPECT_EQ(retry, "30");
  EXPECT_EQ(Call(writer_, "GET", "/api/v1/people").status, 200);  // another token is not held back
  now_ += 29;
  EXPECT_EQ(Call(reader_, "GET", "/api/v1/terminals").status, 429);
  now_ += 1;
  EXPECT_EQ(Call(reader_, "GET", "/api/v1/terminals").status, 200);
}

// A token made with an expiry works until then and is refused (401, like no token) from then on;
// the expiry is listed and audited; one in the past is refused when it is made.
TEST_P(ApiTest, ATokenIsRefusedFromItsExpiryOn) {
  const std::string brief = tokens_->Add(kAdmin, "brief", {"people:read"}, now_ + 60);
  EXPECT_THROW(tokens_->Add(kAdmin, "late", {"people:read"}, now_), accounts::TokenError);
  EXPECT_EQ(Call(brief, "GET", "/api/v1/people").status, 200);
  now_ += 59;
  EXPECT_EQ(Call(brief, "GET", "/api/v1/people").status, 200);
  now_ += 1;
  EXPECT_EQ(Call(brief, "GET", "/api/v1/people").status, 401);
  EXPECT_EQ(Call(reader_, "GET", "/api/v1/terminals").status, 200);  // one without expiry goes on
  for (const accounts::ApiToken& t : tokens_->List()) {
    EXPECT_EQ(t.expires_at, t.name == "brief" ? accounts::UtcText(now_) : "") << t.name;
    EXPECT_EQ(t.ExpiredAt(now_), t.name == "brief") << t.name;
  }
  bool audited = false;
  for (const accounts::AuditEntry& e : vanto::db::Database::Open(location_)->Accounts()->AuditTrail(20, std::nullopt))
    audited |= e.action == "token.add" && e.details == "brief people:read expires " + accounts::UtcText(now_);
  EXPECT_TRUE(audited);
}

// The API's JSON carries every value as stored: a name a spreadsheet would run is not guarded.
TEST_P(ApiTest, JsonKeepsValuesThatASpreadsheetWouldRun) {
  const std::string name = "=HYPERLINK(\"http://x\",\"y\")";
  const json people = {{"people", {{{"person", 7}, {"name", name}, {"department", "@SUM(A1)"}}}}};
  ASSERT_EQ(Call(writer_, "POST", "/api/v1/people", {}, people.dump()).status / 100, 2);
  const json listed = json::parse(Call(writer_, "GET", "/api/v1/people").body);
  ASSERT_EQ(listed["people"].size(), 1u);
  EXPECT_EQ(listed["people"][0]["name"], name);
  EXPECT_EQ(listed["people"][0]["department"], "@SUM(A1)");
}

TEST_P(ApiTest, TokensAreShownOnceAndKeptAsHashes) {
  EXPECT_EQ(reader_.size(), 68u);
  EXPECT_THROW(tokens_->Add(kAdmin, "reader", {"swipes:read"}), accounts::TokenError);
  EXPECT_THROW(tokens_->Add(kAdmin, "bad name!", {"swipes:read"}), accounts::TokenError);
  EXPECT_THROW(tokens_->Revoke(kAdmin, "gone"), accounts::TokenError);
  std::vector<accounts::ApiToken> listed = tokens_->List();
  ASSERT_EQ(listed.size(), 3u);  // by name: all, reader, writer
  EXPECT_EQ(listed[1].name, "reader");
  EXPECT_EQ(listed[1].scopes, (std::vector<std::string>{"swipes:read", "terminals:read"}));
  auto accounts = vanto::db::Database::Open(location_)->Accounts();
  int made = 0, revoked = 0;
  for (const accounts::AuditEntry& e : accounts->AuditTrail(20, std::nullopt)) {
    made += e.action == "token.add";
    revoked += e.action == "token.revoke";
    EXPECT_EQ(e.details.find(reader_), std::string::npos);  // the secret is never written down
  }
  EXPECT_EQ(made, 4);
  EXPECT_EQ(revoked, 1);
}

TEST_P(ApiTest, EveryDocumentedRouteIsServedAndAnswersAsDocumented) {
  json doc = json::parse(ApiServer::OpenApiDocument());
  std::size_t operations = 0;
  for (const auto& [path, methods] : doc["paths"].items())
    for (const auto& [method, op] : methods.items()) {
      ++operations;
      std::string verb;
      for (char c : method) verb += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      std::string token = path.find("people") != std::string::npos ? writer_ : reader_;
      if (op.contains("x-scope") && op["x-scope"] != "swipes:read" && op["x-scope"] != "terminals:read" &&
          path.find("people") == std::string::npos)
        token = all_;
      std::string concrete = path;
      if (auto brace = concrete.find("{id}"); brace != std::string::npos) concrete.replace(brace, 4, "1");
      std::multimap<std::string, std::string> params;
      for (const json& p : op.value("parameters", json::array()))
        if (p["in"] == "query" && p["required"] == true) params.emplace(p["name"], "2026-12");
      ApiResponse res = Call(token, verb, concrete, params, R"([{"person": 1, "name": "X"}])");
      // Served: no unknown route or method, and an answer the document lists for the operation.
      EXPECT_TRUE(op["responses"].contains(std::to_string(res.status))) << verb << " " << path << ": " << res.status << " "
                                                                        << res.body;
      if (token != all_) {
        EXPECT_EQ(res.status, 200) << verb << " " << path << ": " << res.body;
      }
    }
  EXPECT_EQ(operations, ApiRoutes().size());
  // The enrolment table comes with the schema on either engine: none stored is an empty list.
  EXPECT_EQ(Call(all_, "GET", "/api/v1/enrolments").body, R"({"enrolments":[]})");
}

// GET /metrics in the text format, of what the database holds; /healthz without a token.
TEST_P(ApiTest, TheFiguresAreServedInTheTextFormatAndHealthNeedsNoToken) {
  AddSwipes(5);  // port 1: terminal 1 three, terminal 2 two, none with identity
  ApiResponse res = Call(all_, "GET", "/metrics");
  ASSERT_EQ(res.status, 200) << res.body;
  EXPECT_EQ(res.content_type, kExpositionType);
  for (const char* line : {"# TYPE vanto_terminal_stored_swipes gauge\n",
                           "vanto_terminal_stored_swipes{site=\"\",port=\"1\",terminal=\"1\"} 3\n",
                           "vanto_terminal_stored_swipes{site=\"\",port=\"1\",terminal=\"2\"} 2\n",
                           "# TYPE vanto_terminal_last_sync_age_seconds gauge\n", "vanto_conflicts_open 0\n",
                           "vanto_rejected_records 0\n"})
    EXPECT_NE(res.body.find(line), std::string::npos) << line << res.body;
  // Never synced: no age to tell.
  EXPECT_EQ(res.body.find("vanto_terminal_last_sync_age_seconds{"), std::string::npos) << res.body;
  ApiResponse health = Call("", "GET", "/healthz");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.body, "ok\n");
}

// The text format's escapes, and the console's request counters written as counters and a
// cumulative histogram.
TEST(ConsoleFigures, LabelsAreEscapedAndRequestsCountedByGroupAndClass) {
  struct Case {
    std::string value, written;
  } cases[] = {{"plain", "plain"}, {"a\"b", "a\\\"b"}, {"back\\slash", "back\\\\slash"}, {"two\nlines", "two\\nlines"},
               {"中文", "中文"}};
  for (const Case& c : cases) {
    ExpositionWriter w;
    w.Sample("x", {{"endpoint", c.value}}, std::int64_t{1});
    EXPECT_EQ(w.text(), "x{endpoint=\"" + c.written + "\"} 1\n") << c.value;
  }
  ExpositionWriter help;
  help.Family("x", "gauge", "one\ntwo \\ three");
  EXPECT_EQ(help.text(), "# HELP x one\\ntwo \\\\ three\n# TYPE x gauge\n");

  struct Route {
    const char* method;
    const char* path;
    bool console;
    RouteGroup group;
  } routes[] = {{"GET", "/dashboard", true, RouteGroup::Page},      {"POST", "/sync", true, RouteGroup::Form},
                {"POST", "/login", true, RouteGroup::Login},        {"GET", "/static/console.css", true, RouteGroup::Static},
                {"GET", "/sync/events", true, RouteGroup::Events},  {"GET", "/api/v1/swipes", false, RouteGroup::Api},
                {"GET", "/metrics", false, RouteGroup::Metrics},    {"GET", "/healthz", false, RouteGroup::Health},
                {"GET", "/../etc/passwd", false, RouteGroup::Other}};
  for (const Route& r : routes) EXPECT_EQ(GroupOf(r.method, r.path, r.console), r.group) << r.path;

  RequestCounters counters;
  using std::chrono::milliseconds;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 250; ++i) counters.Count(RouteGroup::Page, 200, milliseconds(2));
    });
  for (std::thread& t : threads) t.join();
  counters.Count(RouteGroup::Page, 503, milliseconds(700));
  counters.Count(RouteGroup::Other, 400, std::nullopt);  // never routed: counted, not timed
  const std::string text = MetricsText({}, counters.Read());
  for (const char* line : {"vanto_console_requests_total{group=\"page\",status=\"2xx\"} 1000\n",
                           "vanto_console_requests_total{group=\"page\",status=\"5xx\"} 1\n",
                           "vanto_console_requests_total{group=\"other\",status=\"4xx\"} 1\n",
                           "vanto_console_request_duration_seconds_bucket{group=\"page\",le=\"0.001\"} 0\n",
                           "vanto_console_request_duration_seconds_bucket{group=\"page\",le=\"0.0025\"} 1000\n",
                           "vanto_console_request_duration_seconds_bucket{group=\"page\",le=\"0.5\"} 1000\n",
                           "vanto_console_request_duration_seconds_bucket{group=\"page\",le=\"1\"} 1001\n",
                           "vanto_console_request_duration_seconds_bucket{group=\"page\",le=\"+Inf\"} 1001\n",
                           "vanto_console_request_duration_seconds_sum{group=\"page\"} 2.7\n",
                           "vanto_console_request_duration_seconds_count{group=\"page\"} 1001\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  EXPECT_EQ(text.find("vanto_console_request_duration_seconds_count{group=\"other\"}"), std::string::npos) << text;
}

// /healthz's check of a database that hangs: unhealthy once the bound has passed, one check at a
// time (a second request waits for the running one instead of starting another), and a new check
// once that one has ended.
TEST(HealthCheck, AHungDatabaseIsUnhealthyAfterTheBoundAndChecksRunOneAtATime) {
  HealthCheck health(std::chrono::milliseconds(50));
  std::atomic<int> hung_runs{0}, good_runs{0};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto hung = [&hung_runs, released] {
    ++hung_runs;
    released.wait();
    throw std::runtime_error("the server went away");
  };
  EXPECT_FALSE(health.Healthy(hung));
  EXPECT_FALSE(health.Healthy(hung));
  EXPECT_EQ(hung_runs, 1);
  release.set_value();
  // Until the hung check has ended, a request joins it (and hears it failed); then a check of its own.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool healthy = false;
  while (!healthy && std::chrono::steady_clock::now() < deadline)
    healthy = health.Healthy([&good_runs] { ++good_runs; });
  EXPECT_TRUE(healthy);
  EXPECT_GE(good_runs, 1);
  EXPECT_EQ(hung_runs, 1);
}

// The month report as the report computes it, per person and working day, with the console's
// filters; on both engines.
TEST_P(ApiTest, MonthReportServesWhatTheReportComputes) {
  ASSERT_EQ(Call(writer_, "POST", "/api/v1/people", {},
                 R"([{"person": 7, "name": "Ann", "department": "Stores"}, {"person": 8, "name": "Bo", "department": "Office"},
                     {"person": 9, "name": "Cy", "department": "Stores"}])")
                .status,
            200);
  auto store = vanto::db::Database::Open(location_)->Swipes();
  std::vector<vanto::store::StoredSwipe> rows;
  int occurrence = 0;
  for (auto [person, time] : {std::pair{7, "2026-12-01 08:00:10"}, std::pair{7, "2026-12-01 08:00:40"},
                              std::pair{7, "2026-12-01 17:30:00"}, std::pair{7, "2026-12-02 09:15:00"},
                              std::pair{7, "2026-12-03 05:00:00"},  // before the day starts: 2 December's
                              std::pair{8, "2026-12-01 10:00:00"}, std::pair{42, "2026-12-05 07:00:00"},
                              std::pair{7, "2026-11-30 08:00:00"}}) {
    vanto::store::StoredSwipe s;
    s.port = 1, s.terminal = 1, s.person = person, s.time = time, s.minute = std::string(time).substr(0, 16);
    s.occurrence = ++occurrence, s.downloaded_at = "2026-12-08T09:00:00Z";
    rows.push_back(s);
  }
  store->Insert(rows);

  json all = json::parse(Call(all_, "GET", "/api/v1/reports/month", {{"month", "2026-12"}}).body);
  EXPECT_EQ(all["first_day"], "2026-12-01");
  EXPECT_EQ(all["last_day"], "2026-12-31");
  EXPECT_EQ(all["day_starts"], "06:00");
  EXPECT_EQ(all["late_after"], "09:00");
  ASSERT_EQ(all["people"].size(), 4u);  // every known person, and 42 who has swipes but no name
  const json& ann = all["people"][0];
  EXPECT_EQ(ann["person"], 7);
  EXPECT_EQ(ann["name"], "Ann");
  EXPECT_EQ(ann["days_present"], 2);
  ASSERT_EQ(ann["days"].size(), 2u);
  // Every field the report had before, as it was; the day statuses come beside them.
  const json old_days[] = {json::parse(R"({"day": "2026-12-01", "first": "2026-12-01 08:00", "last": "2026-12-01 17:30",
                                          "swipes": 2, "span_minutes": 570, "late": false})"),
                           json::parse(R"({"day": "2026-12-02", "first": "2026-12-02 09:15", "last": "2026-12-03 05:00",
                                          "swipes": 2, "span_minutes": 1185, "late": true})")};
  for (std::size_t i = 0; i < 2; ++i) {
    for (const auto& [key, value] : old_days[i].items()) EXPECT_EQ(ann["days"][i][key], value) << key << " of day " << i;
    EXPECT_TRUE(ann["days"][i]["status"].is_string()) << ann["days"][i];
  }
  EXPECT_TRUE(ann["statuses"].is_object()) << ann;
  EXPECT_EQ(ann["total_minutes"], 570 + 1185);
  EXPECT_TRUE(all["people"][3]["name"].is_null());
  EXPECT_EQ(all["people"][3]["person"], 42);

  struct Case {
    const char* what;
    std::multimap<std::string, std::string> params;
    std::vector<int> people;
  } cases[] = {
      {"one person", {{"person", "8"}}, {8}},
      {"a department", {{"department", "Stores"}}, {7, 9}},
      {"a department and a person in it", {{"department", "Stores"}, {"person", "9"}}, {9}},
      {"a department and a person not in it", {{"department", "Stores"}, {"person", "8"}}, {}},
      {"a department nobody is in", {{"department", "Nowhere"}}, {}},
  };
  for (const Case& c : cases) {
    std::multimap<std::string, std::string> params = c.params;
    params.emplace("month", "2026-12");
    ApiResponse res = Call(all_, "GET", "/api/v1/reports/month", params);
    ASSERT_EQ(res.status, 200) << c.what << ": " << res.body;
    const json body = json::parse(res.body);
    std::vector<int> got;
    for (const json& p : body["people"]) got.push_back(p["person"]);
    EXPECT_EQ(got, c.people) << c.what;
  }
}

// Recorded syncs, whoever started them: listed newest first a page at a time, and each by its id
// with its terminals' outcomes, cause codes and counts; on both engines.
TEST_P(ApiTest, SyncsAreReadFromTheRunStore) {
  auto runs = vanto::db::Database::Open(location_)->SyncRuns();
  const std::int64_t first = runs->Begin("2026-12-08T08:00:00Z", vanto::store::RunStarter::Timer, "", "1,2", "");
  vanto::store::RunTerminal ok{1, 1, "synced", "", "", {}, 30, 20, 0, 120, 3000, "read", -4};
  vanto::store::RunTerminal missing{2, 0, "failed", "missing", "port 2 (/dev/x): the device does not exist",
                                    {{"port", "2"}, {"device", "/dev/x"}}, 0, 0, 0, 0, 0, "", {}};
  runs->Finish(first, "2026-12-08T08:00:09Z", {ok, missing});
  const std::int64_t second = runs->Begin("2026-12-08T09:00:00Z", vanto::store::RunStarter::Console, "token:all", "2", "");
  const std::int64_t third = runs->Begin("2026-12-08T10:00:00Z", vanto::store::RunStarter::Command, "root", "", "");
  runs->Finish(third, "2026-12-08T10:00:01Z", {});

  ApiResponse one = Call(all_, "GET", "/api/v1/syncs/" + std::to_string(first));
  ASSERT_EQ(one.status, 200) << one.body;
  json run = json::parse(one.body);
  EXPECT_EQ(run["state"], "finished");
  EXPECT_EQ(run["started_by"], "timer");
  EXPECT_EQ(run["ports"], json::parse("[1, 2]"));
  // The sync's one shape: "added" (the name to use) and "new" (the command line's) say the same.
  EXPECT_EQ(run["counts"], json::parse(R"({"terminals": 2, "synced": 1, "failed": 1, "cancelled": 0, "delivered": 30,
                                           "added": 20, "new": 20, "quarantined": 0})"));
  ASSERT_EQ(run["terminals"].size(), 2u);
  EXPECT_EQ(run["terminals"][0]["cause_code"], nullptr);
  EXPECT_EQ(run["terminals"][0]["clock_drift"], -4);
  EXPECT_EQ(run["terminals"][0]["added"], 20);
  EXPECT_EQ(run["terminals"][0]["new"], 20);
  EXPECT_EQ(run["terminals"][1]["cause_code"], "missing");
  EXPECT_EQ(run["terminals"][1]["terminal"], 0);  // the port itself: 0, as it always was
  EXPECT_FALSE(run["terminals"][1].contains("cause"));  // codes and values, not the host's words
  EXPECT_EQ(run["terminals"][1]["cause_values"], json::parse(R"({"port": "2", "device": "/dev/x"})"));
  EXPECT_EQ(run["terminals"][0]["cause_values"], json::object());  // synced: names nothing
  EXPECT_EQ(json::parse(Call(all_, "GET", "/api/v1/syncs/" + std::to_string(second)).body)["state"], "unfinished");

  std::vector<std::int64_t> listed;
  std::multimap<std::string, std::string> params{{"limit", "2"}};
  for (int page = 0; page < 5; ++page) {
    json body = json::parse(Call(all_, "GET", "/api/v1/syncs", params).body);
    for (const json& r : body["syncs"]) listed.push_back(r["id"]);
    if (body["next"].is_null()) break;
    params.erase("before");
    params.emplace("before", std::to_string(body["next"].get<std::int64_t>()));
  }
  EXPECT_EQ(listed, (std::vector<std::int64_t>{third, second, first}));
}

TEST(ApiScopesTest, ParsesKnownScopesOnly) {
  EXPECT_EQ(accounts::ParseScopes("swipes:read,people:write"),
            (std::vector<std::string>{"swipes:read", "people:write"}));
  for (const char* bad : {"", "swipes:write", "swipes:read,", "swipes:read,swipes:read", "SWIPES:READ"})
    EXPECT_THROW(accounts::ParseScopes(bad), accounts::TokenError) << bad;
}

INSTANTIATE_TEST_SUITE_P(Engines, ApiTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace vanto::web
