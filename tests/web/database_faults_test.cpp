// The console and the API over the server's one database when the database fails: locked by
// another process past the wait (SQLite), its server refusing connections and cutting the ones it
// had (PostgreSQL). Pages and API calls answer 503 with the same cause, and work again once the
// database does; a session or token checked against the database is believed no longer than its
// bound.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "accounts/accounts.h"
#include "accounts/api_tokens.h"
#include "host/db/database.h"
#include "tests/support/pg_server.h"
#include "tests/web/console_fixture.h"
#include "web/api.h"
#include "web/console_server.h"
#include "web/metrics.h"

namespace vanto::web {
namespace {

using nlohmann::json;
using testing::Console;

const accounts::Actor kSetup{"test", "command line"};

// The page's text as the API's detail says it (the entities a page writes for quotes and the like).
std::string Unescaped(std::string text) {
  for (const auto& [entity, ch] : {std::pair<std::string, std::string>{"&quot;", "\""}, {"&#39;", "'"}, {"&apos;", "'"},
                                   {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}})
    for (std::size_t at = 0; (at = text.find(entity, at)) != std::string::npos;) text.replace(at, entity.size(), ch);
  return text;
}

// `vanto serve` as it runs: one database, the accounts and tokens over it (checked on every
// request here: no second of belief), the console and the API on 127.0.0.1.
class Served {
 public:
  // `start`: run the server and sign in; else it is only bound (Run is the test's).
  Served(const std::string& location, std::chrono::milliseconds lock_timeout, bool start = true) {
    db::DatabaseOptions open;
    open.lock_timeout = lock_timeout;
    db_ = db::Database::Open(location, open);
    accounts_ = std::make_unique<accounts::Accounts>(db_, accounts::SessionPolicy{.recheck = std::chrono::milliseconds(0)});
    accounts_->AddUser(kSetup, "ada", accounts::Role::Admin, testing::kPassword);
    tokens_ = std::make_unique<accounts::Tokens>(db_, accounts::RateLimit{}, accounts::SystemSeconds,
                                                 std::chrono::milliseconds(0));
    token_ = tokens_->Add(kSetup, "reader", {"swipes:read", "people:read", "people:write"});
    monitor_ = tokens_->Add(kSetup, "monitor", {"metrics:read"});
    ApiOptions api;
    api.database = location;
    api.db = db_;
    api.lock_timeout = lock_timeout;
    api.requests = &requests_;
    api_ = std::make_unique<ApiServer>(api, *tokens_);
    ServerOptions options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.records.database = location;
    options.records.opened = db_;
    options.records.lock_timeout = lock_timeout;
    options.api = api_.get();
    options.requests = &requests_;
    server_ = std::make_unique<ConsoleServer>(options, *accounts_);
    port_ = server_->Bind();
    if (!start) return;
    thread_ = std::thread([this] { server_->Run(); });
    // Signed in as a browser is.
    httplib::Result form = Get("/login");
    const std::string login = Console::SetCookieOf(form, "vanto_login");
    httplib::Result in = Client().Post("/login", {{"Cookie", "vanto_login=" + login}},
                                       httplib::Params{{"csrf", login}, {"name", "ada"}, {"password", testing::kPassword}});
    EXPECT_EQ(in->status, 303);
    cookie_ = "vanto_session=" + Console::SetCookieOf(in, "vanto_session");
    csrf_ = Console::FormToken(Get("/people")->body);
  }
  ~Served() {
    server_->Stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
    api_.reset();
  }

  ConsoleServer& server() { return *server_; }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(std::chrono::seconds(60));  // far past every wait of the server's
    return client;
  }
  httplib::Result Get(const std::string& path) const { return Client().Get(path, {{"Cookie", cookie_}}); }
  // `accept_language`: the browser's languages (the page's, for a user who chose none).
  httplib::Result EditPerson(const std::string& name, const std::string& accept_language = "") const {
    httplib::Headers headers{{"Cookie", cookie_}};
    if (!accept_language.empty()) headers.emplace("Accept-Language", accept_language);
    return Client().Post("/people/edit", headers,
                         httplib::Params{{"csrf", csrf_}, {"number", "7"}, {"name", name}, {"department", "Dock"},
                                         {"month", "2026-12"}});
  }
  httplib::Result Metrics() const { return Client().Get("/metrics", {{"Authorization", "Bearer " + monitor_}}); }
  httplib::Result Health() const { return Client().Get("/healthz"); }
  httplib::Result Api(const std::string& method, const std::string& path, const std::string& body = "") const {
    const httplib::Headers headers{{"Authorization", "Bearer " + token_}};
    return method == "GET" ? Client().Get(path, headers) : Client().Post(path, headers, body, "application/json");
  }

 private:
  RequestCounters requests_;
  std::shared_ptr<db::Database> db_;
  std::unique_ptr<accounts::Accounts> accounts_;
  std::unique_ptr<accounts::Tokens> tokens_;
  std::unique_ptr<ApiServer> api_;
  std::unique_ptr<ConsoleServer> server_;
  std::thread thread_;
  int port_ = 0;
  std::string token_, monitor_, cookie_, csrf_;
};

// The API's cause (its problem's detail after "the database failed: ").
std::string ApiCause(const httplib::Result& r) {
  const std::string detail = json::parse(r->body).value("detail", "");
  const std::string prefix = "the database failed: ";
  return detail.rfind(prefix, 0) == 0 ? detail.substr(prefix.size()) : detail;
}

TEST(DatabaseFaults, ADatabaseLockedPastTheWaitIsAnswered503WithOneCauseAndNothingStored) {
  char pattern[] = "/tmp/vanto-web-faults-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  const std::string path = (folder / "site.db").string();
  {
    Served served(path, std::chrono::milliseconds(300));
    ASSERT_EQ(served.EditPerson("Before")->status, 303);

    // Another process holds the write lock past the wait.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    httplib::Result page = served.EditPerson("While locked");
    httplib::Result api = served.Api("POST", "/api/v1/people", R"({"people": [{"person": 8, "name": "While locked"}]})");
    ASSERT_TRUE(page && api);
    EXPECT_EQ(page->status, 503) << page->body;
    EXPECT_EQ(api->status, 503) << api->body;
    // One cause, the same words on both (each names the time its own request waited).
    const std::string cause = ApiCause(api);
    const std::string waited = " (gave up after ";
    ASSERT_NE(cause.find("locked"), std::string::npos) << cause;
    ASSERT_NE(cause.find(waited), std::string::npos) << cause;
    EXPECT_NE(Unescaped(page->body).find(cause.substr(0, cause.find(waited) + waited.size())), std::string::npos)
        << page->body;
    // A writer's lock keeps no reader out: the server still reaches its database.
    httplib::Result health = served.Health();
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    EXPECT_EQ(health->body, "ok\n");
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    // Nothing of either was stored; with the lock gone both work again.
    const std::string people = served.Api("GET", "/api/v1/people")->body;
    EXPECT_EQ(people.find("While locked"), std::string::npos) << people;
    EXPECT_EQ(served.EditPerson("After")->status, 303);
    EXPECT_EQ(served.Api("POST", "/api/v1/people", R"({"people": [{"person": 8, "name": "After"}]})")->status, 200);
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

// The database's failure is the host's message, put into the page's language by the console
// (the server's own language is not the page's): both parts of a message that quotes another.
TEST(DatabaseFaults, TheDatabasesFailureIsSaidInThePagesLanguage) {
  char pattern[] = "/tmp/vanto-web-words-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  const std::string path = (folder / "site.db").string();
  {
    Served served(path, std::chrono::milliseconds(300));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    struct Case {
      const char* accept_language;
      std::string said;      // the host's message, filled
      const char* not_said;  // the other language's words for it
    };
    // (The time waited, which a busy machine may lengthen, follows each.)
    const Case cases[] = {
        {"", "database " + path + " is locked by another process (gave up after ", "被另一个进程锁定"},
        {"en", "database " + path + " is locked by another process (gave up after ", "被另一个进程锁定"},
        {"zh-CN,zh;q=0.9", "数据库 " + path + " 被另一个进程锁定（等待 ", "is locked by another process"},
    };
    for (const Case& c : cases) {
      httplib::Result page = served.EditPerson("While locked", c.accept_language);
      ASSERT_TRUE(page) << c.accept_language;
      EXPECT_EQ(page->status, 503) << c.accept_language;
      const std::string body = Unescaped(page->body);
      EXPECT_NE(body.find(c.said), std::string::npos) << c.accept_language << "\n" << body;
      EXPECT_EQ(body.find(c.not_said), std::string::npos) << c.accept_language << "\n" << body;
    }
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

TEST(DatabaseFaults, AServerThatGoesAwayIsAnswered503AndThePoolReconnectsWhenItIsBack) {
  VANTO_REQUIRE_PG();
  vanto::testing::PgDatabases databases;
  const std::string url = databases.Fresh();
  const std::size_t slash = url.find('/', url.find("://") + 3);
  const std::string name = url.substr(slash + 1, url.find('?', slash) - slash - 1);
  const std::string cut = "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + name + "'";
  Served served(url, std::chrono::milliseconds(2000));
  ASSERT_EQ(served.Get("/swipes")->status, 200);

  struct Step {
    const char* what;
    std::vector<std::string> admin;  // run on the server's own database
    int status;                      // of the page and of the API call
  };
  const Step steps[] = {
      {"every connection cut: the pool makes new ones", {cut}, 200},
      {"the server refuses connections", {"ALTER DATABASE " + name + " ALLOW_CONNECTIONS false", cut}, 503},
      {"the server takes them again", {"ALTER DATABASE " + name + " ALLOW_CONNECTIONS true"}, 200},
  };
  for (const Step& step : steps) {
    for (const std::string& sql : step.admin) vanto::testing::PgAdmin(sql);
    httplib::Result page = served.Get("/swipes");
    httplib::Result api = served.Api("GET", "/api/v1/swipes");
    ASSERT_TRUE(page && api) << step.what;  // answered, within the client's bound
    EXPECT_EQ(page->status, step.status) << step.what << "\n" << page->body;
    EXPECT_EQ(api->status, step.status) << step.what << "\n" << api->body;
    // The health check says only whether the database answers, nothing of why not.
    httplib::Result health = served.Health();
    ASSERT_TRUE(health) << step.what;
    EXPECT_EQ(health->status, step.status) << step.what;
    EXPECT_EQ(health->body, step.status == 200 ? "ok\n" : "unavailable\n") << step.what;
    httplib::Result metrics = served.Metrics();
    ASSERT_TRUE(metrics) << step.what;
    EXPECT_EQ(metrics->status, step.status) << step.what << "\n" << metrics->body;
    if (step.status == 503) {  // both say the server's own cause, naming the database
      const std::string said = "database \"" + name + "\" is not currently accepting connections";
      EXPECT_NE(ApiCause(api).find(said), std::string::npos) << step.what << "\n" << api->body;
      EXPECT_NE(Unescaped(page->body).find(said), std::string::npos) << step.what << "\n" << page->body;
    }
  }
}

// A disabled user and a revoked token: refused at once by the server that changed them, and,
// changed by another process, within the bound a server believes them (waited for, not slept).
TEST(DatabaseFaults, ASessionOrTokenIsBelievedNoLongerThanItsBound) {
  char pattern[] = "/tmp/vanto-web-belief-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  const std::string path = (folder / "site.db").string();
  {
    auto database = db::Database::Open(path);
    accounts::Accounts server(database);  // the default bound: a second
    accounts::Tokens tokens(database);
    server.AddUser(kSetup, "ada", accounts::Role::Admin, testing::kPassword);
    server.AddUser(kSetup, "bob", accounts::Role::Hr, testing::kPassword);
    server.AddUser(kSetup, "cy", accounts::Role::Hr, testing::kPassword);
    const std::string secret = tokens.Add(kSetup, "feed", {"swipes:read"});
    const accounts::LoginOutcome ada = server.Login("ada", testing::kPassword, "127.0.0.1");
    const accounts::LoginOutcome bob = server.Login("bob", testing::kPassword, "127.0.0.1");
    const accounts::LoginOutcome cy = server.Login("cy", testing::kPassword, "127.0.0.1");
    ASSERT_TRUE(server.Authenticate(ada.token) && server.Authenticate(bob.token) && server.Authenticate(cy.token) &&
                tokens.Authenticate(secret));

    // This server's own change: at once.
    server.SetDisabled(kSetup, "bob", true);
    EXPECT_FALSE(server.Authenticate(bob.token));

    // Another process's changes (its own handle): within the bound.
    auto other_db = db::Database::Open(path);
    accounts::Accounts other(other_db);
    accounts::Tokens other_tokens(other_db);
    other.SetDisabled(kSetup, "cy", true);
    other_tokens.Revoke(kSetup, "feed");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool session_refused = false, token_refused = false;
    while ((!session_refused || !token_refused) && std::chrono::steady_clock::now() < until) {
      session_refused = session_refused || !server.Authenticate(cy.token);
      token_refused = token_refused || !tokens.Authenticate(secret);
      std::this_thread::yield();
    }
    EXPECT_TRUE(session_refused);
    EXPECT_TRUE(token_refused);
    EXPECT_TRUE(server.Authenticate(ada.token));  // the others' sessions stand
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

// A stop asked before the server listens ends it all the same (`vanto serve` stopped by a signal
// as it starts: the server's own stop does nothing before it listens).
TEST(ServerStop, AStopAskedBeforeTheServerListensEndsIt) {
  char pattern[] = "/tmp/vanto-web-faults-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  {
    Served served((folder / "site.db").string(), std::chrono::milliseconds(300), /*start=*/false);
    served.server().Stop();
    std::promise<void> over;
    std::future<void> done = over.get_future();
    std::thread run([&] {
      served.server().Run();
      over.set_value();
    });
    const bool ended = done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!ended) served.server().Stop();  // listening by now: this stop reaches it
    run.join();
    EXPECT_TRUE(ended) << "the server listened after a stop was asked";
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vanto::web
