// The dashboard and the Terminals page over a console with a site: each port and terminal with
// its last sync, capacity, quarantined and conflicting records, a port's own failure, the recent
// runs (markup in a cause rendered inert); "Sync now" refusing what is no port of the site; the
// progress stream's first event; acknowledging a conflict with its audit row, once.
#include <gtest/gtest.h>

#include "host/db/push_store.h"
#include "host/db/record_store.h"
#include "host/db/sites.h"
#include "host/db/sync_runs.h"
#include "tests/web/console_fixture.h"
#include "host/db/database.h"
#include "host/errors.h"
#include "host/said_values.h"

namespace vanto::web::testing {
namespace {

std::unique_ptr<host::SyncJobs> SiteSyncs(const std::string& database) {
  site::Site site;
  site.path = "site.toml";
  for (auto [number, terminals] : {std::pair{1, std::vector<int>{1, 2}}, std::pair{2, std::vector<int>{3}}}) {
    site::SitePort port;
    port.number = number;
    port.device = "/nonexistent/tty" + std::to_string(number);
    port.terminals = terminals;
    site.ports.push_back(port);
  }
  host::SyncSettings settings;
  settings.db = vanto::db::Database::Open(database);
  return std::make_unique<host::SyncJobs>(site, settings);
}

store::RunTerminal Row(int port, int terminal, const std::string& outcome, const std::string& code, const std::string& cause,
                       std::int64_t added, std::int64_t held, std::int64_t capacity) {
  store::RunTerminal t;
  t.port = port, t.terminal = terminal, t.outcome = outcome, t.cause_code = code, t.cause = cause;
  t.added = added, t.held = held, t.capacity = capacity;
  return t;
}

store::RunTerminal Clocked(store::RunTerminal t, const std::string& clock, std::int64_t drift) {
  t.clock = clock, t.clock_drift = drift;
  return t;
}

store::RunTerminal WithValues(store::RunTerminal t, store::CauseValues values) {
  t.cause_values = std::move(values);
  return t;
}

// One run recorded by the command line, a rejected record of terminal 1.2 and a conflict of 1.1.
std::int64_t Seed(const std::string& database) {
  auto runs = vanto::db::Database::Open(database)->SyncRuns();
  std::int64_t id = runs->Begin("2026-12-08T09:00:00Z", store::RunStarter::Command, "root", "1,2", "");
  runs->Finish(id, "2026-12-08T09:00:07Z",
               {Clocked(Row(1, 1, "synced", "", "", 40, 100, 50000), "read", 3725),
                Clocked(WithValues(Row(1, 2, "failed", "line", "the line failed", 3, 0, 0),
                                   {{"port", "1"}, {"device", "/dev/ttyS1"}, {"detail", "the line failed"}, {"terminal", "2"}}),
                        "read", -40),
                Row(2, 0, "failed", "missing", "<script>alert(1)</script>", 0, 0, 0)});
  auto swipes = vanto::db::Database::Open(database)->Swipes();
  store::RejectedRecord rejected;
  rejected.port = 1, rejected.terminal = 2, rejected.person = 7, rejected.year = 2026, rejected.month = 13;
  rejected.reason = "month 13";
  rejected.first_seen = "2026-12-08T09:00:05Z";
  swipes->AddRejected(rejected);
  store::StoredSwipe held{1, 1, 101, "2026-11-02 08:00", 1, "2026-11-02 08:00:00", "2026-12-08T09:00:00Z", 77u, 1u, 0u, 0};
  swipes->Insert(std::vector<store::StoredSwipe>{held});
  store::StoredSwipe other = held;
  other.person = 102;
  store::InsertResult result = swipes->InsertChecked(std::vector<store::StoredSwipe>{other}, store::OnConflict::Stop);
  EXPECT_EQ(result.conflicts.size(), 1u);
  return swipes->Conflicts(false).at(0).id;
}

TEST(ConsoleDashboard, EachTerminalShowsItsLastSyncCapacityQuarantinedAndConflictingRecords) {
  Console console({}, SiteSyncs);
  Seed(console.database());
  Session viewer = console.Login(console.users.viewer);
  httplib::Result page = console.Get("/dashboard", viewer.cookie);
  ASSERT_EQ(page->status, 200);
  const std::string& body = page->body;
  auto row = [&](int port, int terminal) {
    const std::string start = "data-port=\"" + std::to_string(port) + "\" data-terminal=\"" + std::to_string(terminal) + "\"";
    std::size_t at = body.find(start);
    return at == std::string::npos ? std::string() : body.substr(at, body.find("</tr>", at) - at);
  };
  struct Expect {
    int port, terminal;
    std::vector<std::string> shows;
  } expected[] = {
      {1, 1, {"<td>2026-12-08 09:00:07</td>", "class=\"synced\"", "<td class=\"new\">40</td>", "100 / 50000",
              "<td class=\"quarantined\">0</td>", "<td class=\"conflicting\">1</td>",
              // Beyond the site's 60 s warning limit: marked, with the way to mend it.
              "class=\"clock clock-off\" data-drift=\"3725\"", ">1 h 2 min ahead</td>"}},
      {1, 2, {"class=\"failed\"", "data-code=\"line\"", "the line failed", "<td class=\"quarantined\">1</td>",
              "<td class=\"conflicting\">0</td>", "class=\"clock\" data-drift=\"-40\">40 s behind</td>"}},
      // A row recorded with its words only (an earlier version): its words, once, without the label.
      {2, 0, {"data-code=\"missing\">&lt;script&gt;alert(1)&lt;/script&gt;</td>"}},
      {2, 3, {"never synced"}},
  };
  for (const Expect& e : expected)
    for (const std::string& shown : e.shows)
      EXPECT_NE(row(e.port, e.terminal).find(shown), std::string::npos)
          << e.port << "." << e.terminal << " lacks " << shown << " in " << row(e.port, e.terminal);
  EXPECT_EQ(body.find("<script>alert"), std::string::npos);
  // A cause recorded as a code and values is worded in each reader's language, once.
  const std::string english = "data-code=\"line\">port 1 (/dev/ttyS1), terminal 2: the line failed</td>";
  EXPECT_NE(row(1, 2).find(english), std::string::npos) << row(1, 2);
  httplib::Result zh = console.Get("/dashboard", viewer.cookie, {{"Accept-Language", "zh-CN"}});
  ASSERT_TRUE(zh);
  EXPECT_NE(zh->body.find("data-code=\"line\">端口 1（/dev/ttyS1），"), std::string::npos) << zh->body;
  EXPECT_NE(body.find("command line (root)"), std::string::npos);
  EXPECT_EQ(body.find("action=\"/sync\""), std::string::npos);  // the viewer may not sync
  Session admin = console.Login(console.users.admin);
  EXPECT_NE(console.Get("/dashboard", admin.cookie)->body.find("action=\"/sync\""), std::string::npos);
}

// In a database of two sites, the dashboard of the serving host's site lists that site's runs
// only, whoever else's runs the database holds.
TEST(ConsoleDashboard, TheRunsListedAreTheShownSitesOwn) {
  ServerOptions options;
  options.records.site = "north";
  Console console(options, SiteSyncs);
  {
    auto db = vanto::db::Database::Open(console.database());
    auto tables = db->Tables(false);
    ASSERT_TRUE(store::AddSite(*tables, "north", "test"));
    ASSERT_TRUE(store::AddSite(*tables, "south", "test"));
    auto runs = db->SyncRuns();
    for (const auto& [site, who] : {std::pair<const char*, const char*>{"north", "ann"}, {"south", "bob"}}) {
      const std::int64_t id = runs->Begin("2026-12-08T09:00:00Z", store::RunStarter::Command, who, "1", site);
      runs->Finish(id, "2026-12-08T09:00:07Z", {Row(1, 1, "synced", "", "", 4, 0, 0)});
    }
  }
  Session admin = console.Login(console.users.admin);
  httplib::Result page = console.Get("/dashboard", admin.cookie);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("command line (ann)"), std::string::npos) << page->body;
  EXPECT_EQ(page->body.find("(bob)"), std::string::npos);
}

// The push panel: each endpoint of the site with its backlog and last error (inert markup), and
// one the store has not seen yet.
TEST(ConsoleDashboard, ThePushPanelShowsEachEndpointsBacklogAndLastError) {
  auto with_pushes = [](const std::string& database) {
    site::Site site;
    site.path = "site.toml";
    site::SitePort port;
    port.number = 1, port.device = "/nonexistent/tty1", port.terminals = {1};
    site.ports.push_back(port);
    for (const char* name : {"payroll", "later"}) {
      site::SitePush push;
      push.name = name, push.url = "https://hr.example/in", push.secret_file = "/nonexistent/secret";
      site.pushes.push_back(push);
    }
    host::SyncSettings settings;
    settings.db = vanto::db::Database::Open(database);
    return std::make_unique<host::SyncJobs>(site, settings);
  };
  Console console({}, with_pushes);
  Seed(console.database());  // one swipe stored
  auto push = vanto::db::Database::Open(console.database())->Push();
  push->Add("payroll", {}, "2026-12-08T08:00:00Z");
  push->Failed("payroll", 3, 1'800'000'000, "HTTP 500: <b>down</b>", "2026-12-08T09:10:00Z");
  Session viewer = console.Login(console.users.viewer);
  const std::string body = console.Get("/dashboard", viewer.cookie)->body;
  const std::size_t payroll = body.find("data-name=\"payroll\"");
  ASSERT_NE(payroll, std::string::npos) << body;
  const std::string row = body.substr(payroll, body.find("</tr>", payroll) - payroll);
  for (const char* shown : {"<td class=\"backlog\">1</td>", "2026-12-08 09:10:00 HTTP 500: &lt;b&gt;down&lt;/b&gt;",
                            "2027-01-15 08:00:00"})
    EXPECT_NE(row.find(shown), std::string::npos) << shown << " not in " << row;
  EXPECT_NE(body.find("class=\"push failing\" data-name=\"payroll\""), std::string::npos);
  const std::size_t later = body.find("data-name=\"later\"");
  ASSERT_NE(later, std::string::npos);
  EXPECT_NE(body.substr(later, body.find("</tr>", later) - later).find("not sent to yet"), std::string::npos);
}

// Each reader's language and the site's time zone on every page that shows the host's words or
// a time: no English left for a Chinese reader, every stored UTC time shown as the zone's wall
// time under a heading that names the zone.
TEST(ConsoleLanguage, EachPageInTheReadersLanguageAndTheSitesTimeZone) {
  auto with_push = [](const std::string& database) {
    std::unique_ptr<host::SyncJobs> jobs = SiteSyncs(database);
    site::Site site = jobs->site();
    site::SitePush push;
    push.name = "payroll", push.url = "https://hr.example/in", push.secret_file = "/nonexistent/secret";
    site.pushes.push_back(push);
    // Two [[push]] tables the file gets wrong, one naming its endpoint, as an English host words them.
    push.name = "ledger", push.problem = "/etc/vanto/site.toml:9: key 'push.url': 'ftp://x' is no http:// or https:// address";
    site.pushes.push_back(push);
    site.problems.push_back({site::SitePart::kPush, push.problem, "ledger", host::Message::Verbatim(push.problem)});
    const std::string ports = "/etc/vanto/site.toml:14: key 'push.ports': must be a list of numbers, not a string";
    site.problems.push_back({site::SitePart::kPush, ports, "", host::Message::Verbatim(ports)});
    host::SyncSettings settings;
    settings.db = vanto::db::Database::Open(database);
    return std::make_unique<host::SyncJobs>(site, settings);
  };
  ServerOptions options;
  const std::optional<site::TimeZone> shanghai = site::TimeZone::Find("Asia/Shanghai");
  ASSERT_TRUE(shanghai) << "no zone database";
  options.times = ShownTimes(*shanghai);
  Console console(options, with_push);
  Seed(console.database());  // a run ended 09:00:07 UTC, a swipe in 2026-11, a rejected record
  {  // A later run of terminal 2.3 that the host's part failed, with words of the catalogue.
    auto runs = vanto::db::Database::Open(console.database())->SyncRuns();
    const std::int64_t id = runs->Begin("2026-12-08T10:00:00Z", store::RunStarter::Console, "ada", "2", "");
    const host::HostError failed(host::Message("database {0} is read-only", {"/srv/site.db"}));
    runs->Finish(id, "2026-12-08T10:00:01Z",
                 {WithValues(Row(2, 3, "failed", "host", failed.what(), 0, 0, 0), host::WithError({}, failed))});
  }
  auto push = vanto::db::Database::Open(console.database())->Push();
  push->Add("payroll", {}, "2026-12-08T08:00:00Z");
  push->Failed("payroll", 3, 1'800'000'000, "HTTP 500: the server failed", "2026-12-08T09:10:00Z");
  // Audit rows as the console writes them: a failed sign-in, a user added.
  ASSERT_TRUE(console.LoginAttempt(console.users.viewer, "not the password"));
  Session admin = console.Login(console.users.admin);
  ASSERT_EQ(console.Post("/users/add", {{"csrf", admin.csrf}, {"name", "li"}, {"role", "viewer"}, {"password", "long enough"}},
                         admin.cookie)->status, 303);
  // A request the role may not make, refused and audited.
  Session viewer = console.Login(console.users.viewer);
  ASSERT_EQ(console.Post("/sync", {{"csrf", viewer.csrf}}, viewer.cookie)->status, 403);
  // A count of refusals from more addresses than are followed, as the bound writes it.
  console.accounts().Audit({"", "many addresses"}, "refused.counted",
                           "3 more refused requests in the minute from 2026-12-08T09:00:00Z (the last: POST /login: the "
                           "form's token is missing or wrong)");
  struct Case {
    const char* path;
    const char* language;
    std::vector<std::string> shown, absent;
  } cases[] = {
      {"/dashboard", "zh-CN",
       {"上次同步（Asia/Shanghai）", "开始（Asia/Shanghai）", "最近成功（Asia/Shanghai）", "下次尝试（Asia/Shanghai）",
        "<td>2026-12-08 17:00:07</td>", "2026-12-08 17:10:00 HTTP 500：服务器出错", "2027-01-15 16:00:00",
        "/etc/vanto/site.toml:9：键“push.url”：“ftp://x”不是 http:// 或 https:// 地址",
        "/etc/vanto/site.toml:14：键“push.ports”：必须是数字列表，而不是字符串",
        "data-code=\"host\">数据库 /srv/site.db 是只读的</td>"},
       {"UTC", "the server failed", "key '", "is no http", "must be", "is read-only"}},
      {"/dashboard", "en",
       {"Last sync (Asia/Shanghai)", "2026-12-08 17:10:00 HTTP 500: the server failed",
        "data-code=\"host\">database /srv/site.db is read-only</td>"},
       {"UTC", "_said"}},
      {"/audit", "zh-CN", {"时间（Asia/Shanghai）", "<td>密码错误</td>", "<td>li（查看者）</td>",
                           "<td>POST /sync：查看者角色无权执行 sync</td>", "<td>多个地址</td>",
                           "<td>自 2026-12-08T09:00:00Z 起"},
       {"UTC", "wrong password", "(viewer)", "may not", "many addresses", "more refused"}},
      {"/users", "zh-CN", {"创建时间（Asia/Shanghai）"}, {"UTC"}},
      {"/terminals/rejected", "zh-CN", {"首次发现（Asia/Shanghai）", "<td>2026-12-08 17:00:05</td>"}, {"UTC", "09:00:05"}},
      {"/report/print?month=2026-11", "zh-CN", {"<html lang=\"zh-CN\">", "<title>考勤 2026-11-01 至 2026-11-30</title>", "签名"},
       {"Attendance", "Signature", "days present", "person-days"}},
      {"/report/print?month=2026-11", "en", {"<html lang=\"en\">", "<title>Attendance 2026-11-01 to 2026-11-30</title>"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.language);
    httplib::Result r = console.Get(c.path, admin.cookie, {{"Accept-Language", c.language}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    for (const std::string& shown : c.shown) EXPECT_NE(r->body.find(shown), std::string::npos) << shown << " not in " << r->body;
    for (const std::string& absent : c.absent) EXPECT_EQ(r->body.find(absent), std::string::npos) << absent << " in " << r->body;
  }
}

TEST(ConsoleDashboard, SyncNowRefusesWhatIsNoPortOfTheSiteAndStartsNothing) {
  Console console({}, SiteSyncs);
  Session admin = console.Login(console.users.admin);
  const std::size_t audit_rows = console.accounts().AuditTrail(1000).size();
  struct Case {
    const char* port;
    int status;
  } cases[] = {{"x", 400}, {"1;DROP TABLE sync_runs", 400}, {"../1", 400}, {"-1", 400}, {"1234", 400}, {"9", 404}};
  for (const Case& c : cases) {
    httplib::Result r = console.Post("/sync", {{"csrf", admin.csrf}, {"port", c.port}}, admin.cookie);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << c.port;
  }
  EXPECT_EQ(console.accounts().AuditTrail(1000).size(), audit_rows);
  EXPECT_TRUE(vanto::db::Database::Open(console.database())->SyncRuns()->Recent(5).empty());
}

TEST(ConsoleDashboard, TheProgressStreamTellsTheStateAtOnce) {
  Console console({}, SiteSyncs);
  Session viewer = console.Login(console.users.viewer);
  std::string received;
  httplib::Headers headers = {{"Cookie", viewer.cookie}};
  httplib::Result r = console.Client().Get("/sync/events", headers, [&](const char* data, std::size_t length) {
    received.append(data, length);
    return received.find("\n\n") == std::string::npos;  // the first event is enough
  });
  EXPECT_NE(received.find("event: progress\ndata: {"), std::string::npos) << received;
  EXPECT_NE(received.find("\"running\":false"), std::string::npos) << received;
  EXPECT_NE(received.find("\"finished\":0"), std::string::npos) << received;
}

// While nothing runs, a stream is one event and its end (the browser asks again after the poll
// bound): open dashboards hold no connection, however many.
TEST(ConsoleDashboard, WhileNothingRunsAStreamIsOneEventAndNoHeldConnection) {
  ServerOptions options;
  options.streams.poll = std::chrono::seconds(7);
  Console console(options, SiteSyncs);
  Session viewer = console.Login(console.users.viewer);
  for (int i = 0; i < 3 * static_cast<int>(StreamLimits{}.total); ++i) {
    httplib::Result r = console.Get("/sync/events", viewer.cookie);
    ASSERT_TRUE(r) << i;
    EXPECT_EQ(r->status, 200);
    EXPECT_FALSE(r->has_header("Transfer-Encoding")) << i;  // a whole answer, not a held stream
    EXPECT_EQ(r->body.rfind("retry: 7000\nevent: progress\ndata: {", 0), 0u) << r->body;
    EXPECT_NE(r->body.find("\"running\":false"), std::string::npos) << r->body;
  }
}

TEST(ConsoleTerminals, AnAdminAcknowledgesAConflictOnceWithItsAuditRow) {
  Console console({}, SiteSyncs);
  const std::int64_t id = Seed(console.database());
  Session hr = console.Login(console.users.hr), admin = console.Login(console.users.admin);
  std::string page = console.Get("/terminals/rejected", hr.cookie)->body;
  EXPECT_NE(page.find("month 13"), std::string::npos);
  EXPECT_NE(page.find("data-id=\"" + std::to_string(id) + "\""), std::string::npos);
  EXPECT_EQ(page.find("/conflicts/acknowledge"), std::string::npos);  // hr reads, may not acknowledge
  EXPECT_NE(console.Get("/terminals/rejected", admin.cookie)->body.find("/conflicts/acknowledge"), std::string::npos);
  struct Case {
    std::string id;
    int status;
  } cases[] = {{"abc", 400}, {"", 400}, {std::to_string(id + 100), 404}, {std::to_string(id), 303}, {std::to_string(id), 404}};
  for (const Case& c : cases) {
    httplib::Result r = console.Post("/conflicts/acknowledge", {{"csrf", admin.csrf}, {"id", c.id}}, admin.cookie);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << c.id;
  }
  std::vector<store::RecordConflict> conflicts = vanto::db::Database::Open(console.database())->Swipes()->Conflicts(true);
  ASSERT_EQ(conflicts.size(), 1u);
  EXPECT_TRUE(conflicts[0].acknowledged);
  EXPECT_EQ(conflicts[0].acknowledged_by, console.users.admin);
  int rows = 0;
  for (const accounts::AuditEntry& e : console.accounts().AuditTrail(100))
    if (e.action == "conflict.acknowledge") {
      ++rows;
      EXPECT_EQ(e.details, "conflict " + std::to_string(id));
      EXPECT_EQ(e.actor, console.users.admin);
      EXPECT_EQ(e.at, conflicts[0].acknowledged_at);
    }
  EXPECT_EQ(rows, 1);
  // The check view names the site and each port's missing device.
  std::string check = console.Get("/terminals", hr.cookie)->body;
  EXPECT_NE(check.find("/nonexistent/tty2): the device is missing"), std::string::npos) << check;
}

// Swipes an earlier version stored twice (one log read on two ports, two epochs): listed for hr,
// folded by an admin only once confirmed, audited, and gone from the list.
TEST(ConsoleTerminals, AnAdminFoldsSwipesStoredTwiceOnceConfirmed) {
  Console console({}, SiteSyncs);
  {
    auto swipes = vanto::db::Database::Open(console.database())->Swipes();
    std::vector<store::StoredSwipe> first, again;
    for (std::uint32_t i = 0; i < 3; ++i) {
      const std::string minute = "2026-11-03 08:0" + std::to_string(i);
      first.push_back({1, 1, 101 + static_cast<std::int32_t>(i), minute, 1, minute + ":09", "2026-12-08T09:00:00Z", 88u, 1u, i, 0});
      again.push_back(first.back());
      again.back().port = 2, again.back().epoch = 1, again.back().downloaded_at = "2026-12-08T10:00:00Z";
    }
    swipes->InsertChecked(first, store::OnConflict::Continue);
    ASSERT_EQ(swipes->OpenEpoch({88u, 1u, 0}, 0, std::nullopt, again).first.epoch, 1u);
    ASSERT_EQ(swipes->Doubles().size(), 3u);
  }
  Session hr = console.Login(console.users.hr), admin = console.Login(console.users.admin);
  const std::string page = console.Get("/terminals/rejected", hr.cookie)->body;
  EXPECT_NE(page.find("<td>88/1 #2</td><td>103</td><td>2026-11-03 08:02:09</td>"), std::string::npos) << page;
  EXPECT_EQ(page.find("/conflicts/fold"), std::string::npos);  // hr reads, may not fold
  EXPECT_NE(console.Get("/terminals/rejected", admin.cookie)->body.find("/conflicts/fold"), std::string::npos);
  httplib::Result unconfirmed = console.Post("/conflicts/fold", {{"csrf", admin.csrf}}, admin.cookie);
  ASSERT_TRUE(unconfirmed);
  EXPECT_EQ(unconfirmed->status, 400);
  EXPECT_EQ(vanto::db::Database::Open(console.database())->Swipes()->Doubles().size(), 3u);
  httplib::Result folded = console.Post("/conflicts/fold", {{"csrf", admin.csrf}, {"understood", "yes"}}, admin.cookie);
  ASSERT_TRUE(folded);
  EXPECT_EQ(folded->status, 303);
  auto swipes = vanto::db::Database::Open(console.database())->Swipes();
  EXPECT_TRUE(swipes->Doubles().empty());
  EXPECT_EQ(swipes->CountSwipes(), 3);
  int rows = 0;
  for (const accounts::AuditEntry& e : console.accounts().AuditTrail(100))
    if (e.action == "swipes.fold" && e.actor == console.users.admin) ++rows;
  EXPECT_EQ(rows, 1);
  const std::string after = console.Get("/terminals/rejected?done=folded", admin.cookie)->body;
  EXPECT_EQ(after.find("/conflicts/fold"), std::string::npos);  // nothing left to fold
  EXPECT_EQ(after.find("class=\"double\""), std::string::npos);
}

}  // namespace
}  // namespace vanto::web::testing
