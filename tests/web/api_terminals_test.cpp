// The API's areas that reach terminals, over the simulator on pseudo-terminals: a sync started
// with a token runs in the background (202 and where to follow it), refuses a second one (409),
// shows its progress and then each terminal's outcome and counts; an enrolment copy answers per
// terminal, is refused while a sync holds its port, and is audited under the token's name; the
// stored enrolments are listed without their templates.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "accounts/api_tokens.h"
#include "host/control_settings.h"
#include "host/sync_jobs.h"
#include "terminal/control/port_lock.h"
#include "terminal/control/settings.h"
#include "terminal/sim/front_end.h"
#include "terminal/sim/simulator.h"
#include "tests/host/simulator_folder.h"
#include "web/api.h"
#include "host/db/database.h"

namespace vanto::web {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::int32_t kPerson = 7;
constexpr auto kBound = std::chrono::seconds(120);

// Ports 1 (terminals 1, 2) and 2 (terminal 3) of the simulator; terminal 1 holds person 7's
// fingerprint and three swipes, terminal 3 two swipes; port 3's device is missing.
class ApiTerminals : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VANTO_MODULES_BUILT) GTEST_SKIP() << "the driver and control modules are not part of this build";
    folder_ = vanto::testing::PrepareSimulatorFolder(sim_, "api");
    terminal::sim::Template print{};
    for (std::size_t i = 0; i + 1 < print.size(); ++i) print[i] = static_cast<std::int32_t>(i * 37 % 1000) - 500;
    auto& first = sim_.AddTerminal(1, 1);
    first.persons[kPerson].fingerprints[0] = print;
    for (int minute = 0; minute < 3; ++minute) first.records.push_back({kPerson, 2026, 12, 1, 8, minute});
    sim_.AddTerminal(1, 2);
    auto& third = sim_.AddTerminal(2, 3);
    for (int minute = 0; minute < 2; ++minute) third.records.push_back({8, 2026, 12, 1, 9, minute});
    paths_ = sim_.Start();
    host::ControlSettingValues settings;
    for (const auto& [name, value] : terminal::sim::PortSettings(paths_)) settings[name] = value;
    // A port another program holds keeps a sync waiting for as long as the test needs.
    settings[terminal::control::kLockTimeoutVariable] = "120000";
    host::PinControlSettings(settings);

    const std::string database = (folder_ / "site.db").string();
    tokens_ = std::make_unique<accounts::Tokens>(vanto::db::Database::Open(database)->Tokens());
    ops_ = tokens_->Add({"admin", "command line"}, "ops", accounts::KnownScopes());
    site::Site site;
    site.path = "site.toml";
    for (auto [number, terminals] :
         {std::pair{1, std::vector<int>{1, 2}}, std::pair{2, std::vector<int>{3}}, std::pair{3, std::vector<int>{1}}}) {
      site::SitePort port;
      port.number = number;
      port.device = number == 3 ? (folder_ / "no-such-device").string() : paths_.at(number);
      port.terminals = terminals;
      site.ports.push_back(port);
    }
    host::SyncSettings sync;
    sync.db = vanto::db::Database::Open(database);
    jobs_ = std::make_unique<host::SyncJobs>(site, sync);
    ApiOptions options;
    options.database = database;
    options.sync = jobs_.get();
    options.terminal_wait = std::chrono::milliseconds(300);
    api_ = std::make_unique<ApiServer>(options, *tokens_);
  }
  void TearDown() override {
    if (jobs_) jobs_->Stop();  // its end is audited through the tokens
    api_.reset();
    jobs_.reset();
    tokens_.reset();
    host::UnpinControlSettings();
    sim_.Stop();
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }

  ApiResponse Call(const std::string& method, const std::string& path, const std::string& body = "",
                   std::multimap<std::string, std::string> params = {}) {
    ApiRequest r;
    r.method = method;
    r.path = path;
    r.params = std::move(params);
    r.authorization = "Bearer " + ops_;
    r.content_type = "application/json";
    r.body = body;
    r.origin = "127.0.0.7";
    return api_->Handle(r);
  }
  // The state once no sync runs (bounded).
  host::SyncJobs::State Ended() {
    const auto until = std::chrono::steady_clock::now() + kBound;
    host::SyncJobs::State state = jobs_->Snapshot();
    while (state.running && std::chrono::steady_clock::now() < until) state = jobs_->WaitFor(state.version, kBound);
    EXPECT_FALSE(state.running) << "the sync did not end within the bound";
    return state;
  }
  // The audit rows written under the token, oldest first: "action|details".
  std::vector<std::string> Audited() {
    std::vector<std::string> rows;
    auto store = vanto::db::Database::Open((folder_ / "site.db").string())->Accounts();
    for (const accounts::AuditEntry& e : store->AuditTrail(1000, std::nullopt))
      if (e.actor == "token:ops" && e.origin == "127.0.0.7") rows.insert(rows.begin(), e.action + "|" + e.details);
    return rows;
  }

  fs::path folder_;
  terminal::sim::SimulatorSite sim_;
  std::map<int, std::string> paths_;
  std::unique_ptr<accounts::Tokens> tokens_;
  std::string ops_;
  std::unique_ptr<host::SyncJobs> jobs_;
  std::unique_ptr<ApiServer> api_;
};

TEST_F(ApiTerminals, ASyncIsStartedFollowedAndAuditedAndHoldsItsPorts) {
  std::int64_t id = 0;
  {
    // Port 2 held by "another program": the sync waits for it, so it surely runs below.
    auto held = terminal::control::PortLock::Acquire(paths_.at(2), std::chrono::milliseconds(0));
    ApiResponse started = Call("POST", "/api/v1/syncs");
    ASSERT_EQ(started.status, 202) << started.body;
    json body = json::parse(started.body);
    ASSERT_TRUE(body["id"].is_number_integer()) << started.body;
    id = body["id"];
    const std::string location = "/api/v1/syncs/" + std::to_string(id);
    EXPECT_EQ(body["location"], location);
    EXPECT_EQ(started.headers, (std::vector<std::pair<std::string, std::string>>{{"Location", location}}));

    ApiResponse again = Call("POST", "/api/v1/syncs", "", {{"port", "1"}});
    EXPECT_EQ(again.status, 409) << again.body;
    EXPECT_NE(again.body.find("sync " + std::to_string(id) + " is running"), std::string::npos) << again.body;
    // A copy to the held port's terminal waits its bound, then says the port is busy.
    ApiResponse busy = Call("POST", "/api/v1/enrolments/copy", R"({"person": 7, "to": [{"port": 2, "terminal": 3}]})");
    EXPECT_EQ(busy.status, 409) << busy.body;
    EXPECT_NE(busy.body.find("port busy"), std::string::npos) << busy.body;

    // Port 1's terminals are read meanwhile: the answer shows that port done, the sync running.
    const auto until = std::chrono::steady_clock::now() + kBound;
    host::SyncJobs::State state = jobs_->Snapshot();
    while (!(state.ports.count(1) && state.ports.at(1).stage == host::PortProgress::Stage::kDone) &&
           std::chrono::steady_clock::now() < until)
      state = jobs_->WaitFor(state.version, std::chrono::seconds(5));
    ApiResponse running = Call("GET", location);
    ASSERT_EQ(running.status, 200) << running.body;
    json progress = json::parse(running.body);
    EXPECT_EQ(progress["state"], "running");
    EXPECT_EQ(progress["id"], id);
    EXPECT_EQ(progress["who"], "token:ops");
    ASSERT_TRUE(progress["progress"].is_array());
    EXPECT_EQ(progress["progress"][0], json::parse(R"({"port": 1, "stage": "done"})")) << running.body;
    held.Release();
  }
  Ended();
  ApiResponse done = Call("GET", "/api/v1/syncs/" + std::to_string(id));
  ASSERT_EQ(done.status, 200) << done.body;
  json run = json::parse(done.body);
  EXPECT_EQ(run["state"], "finished");
  EXPECT_EQ(run["started_by"], "console");
  EXPECT_EQ(run["who"], "token:ops");
  std::map<std::pair<int, int>, std::string> outcomes;
  for (const json& t : run["terminals"])
    outcomes[{t["port"], t["terminal"]}] = t["outcome"].get<std::string>() + "/" + t["cause_code"].dump() + "/" +
                                           std::to_string(t["added"].get<std::int64_t>());
  EXPECT_EQ(outcomes, (std::map<std::pair<int, int>, std::string>{{{1, 1}, "synced/null/3"},
                                                                  {{1, 2}, "synced/null/0"},
                                                                  {{2, 3}, "synced/null/2"},
                                                                  {{3, 1}, "failed/\"missing\"/0"}}));
  EXPECT_EQ(run["counts"]["synced"], 3);
  EXPECT_EQ(run["counts"]["added"], 5);
  json listed = json::parse(Call("GET", "/api/v1/syncs").body);
  ASSERT_EQ(listed["syncs"].size(), 1u);
  EXPECT_EQ(listed["syncs"][0]["id"], id);
  // The intent before each start, as the console's.
  EXPECT_EQ(Audited(), (std::vector<std::string>{"sync.start|site", "sync.start|port 1", "sync.refused|port 1: a sync is running",
                                                 "enrolment.write.refused|port 2 terminal 3: the port is busy",
                                                 "sync.done|site: 3/4 terminals synced, 5 new records"}));
}

TEST_F(ApiTerminals, AnEnrolmentCopyAnswersPerTerminalAndIsAudited) {
  ApiResponse copy = Call("POST", "/api/v1/enrolments/copy",
                          R"({"person": 7, "from": {"port": 1, "terminal": 1},
                              "to": [{"port": 1, "terminal": 2}, {"port": 2, "terminal": 3}, {"port": 3, "terminal": 1}]})");
  ASSERT_EQ(copy.status, 200) << copy.body;
  json result = json::parse(copy.body);
  EXPECT_EQ(result["done"], false);  // port 3's device is missing
  EXPECT_EQ(result["backup"], json::parse(R"({"port": 1, "terminal": 1, "outcome": "done", "kind": "fingerprint"})"));
  EXPECT_EQ(result["writes"], json::parse(R"([{"port": 1, "terminal": 2, "outcome": "done", "kind": "fingerprint"},
                                              {"port": 2, "terminal": 3, "outcome": "done", "kind": "fingerprint"},
                                              {"port": 3, "terminal": 1, "outcome": "port-failed"}])"));
  for (auto [port, terminal] : {std::pair{1, 2}, std::pair{2, 3}}) {
    auto t = sim_.Terminal(port, terminal);
    EXPECT_TRUE(t && t->persons.count(kPerson) && t->persons.at(kPerson).fingerprints.count(0)) << port << "." << terminal;
  }
  // What the host holds, never the template itself.
  ApiResponse stored = Call("GET", "/api/v1/enrolments", "", {{"person", "7"}});
  ASSERT_EQ(stored.status, 200) << stored.body;
  EXPECT_EQ(json::parse(stored.body),
            json::parse(R"({"enrolments": [{"person": 7, "kind": "fingerprint", "kind_number": 0, "terminal": 1}]})"));
  EXPECT_EQ(json::parse(Call("GET", "/api/v1/enrolments", "", {{"person", "8"}}).body)["enrolments"].size(), 0u);

  const std::vector<std::string> audited = Audited();
  ASSERT_EQ(audited.size(), 8u);  // each intent with its outcome
  EXPECT_EQ(audited[0], "enrolment.backup|person 7 from port 1 terminal 1");
  EXPECT_EQ(audited[1], "enrolment.backup.done|person 7 from port 1 terminal 1; fingerprint");
  EXPECT_EQ(audited[7].substr(0, audited[7].find('|')), "enrolment.write.failed");

  // Refused before any terminal is reached, naming the field; nothing audited.
  struct Case {
    const char* what;
    std::string body;
    std::string field;
  } cases[] = {
      {"a terminal of no port", R"({"person": 7, "to": [{"port": 9, "terminal": 1}]})", "to[0]"},
      {"a terminal the port does not have", R"({"person": 7, "to": [{"port": 1, "terminal": 2}, {"port": 2, "terminal": 1}]})",
       "to[1]"},
      {"a source of no port", R"({"person": 7, "from": {"port": 4, "terminal": 1}, "to": [{"port": 1, "terminal": 2}]})", "from"},
      {"a terminal without its port", R"({"person": 7, "to": [{"terminal": 1}]})", "to[0]"},
      {"no targets", R"({"person": 7, "to": []})", "to"},
      {"a person out of range", R"({"person": 32768, "to": [{"port": 1, "terminal": 2}]})", "person"},
      {"no person", R"({"to": [{"port": 1, "terminal": 2}]})", "person"},
  };
  for (const Case& c : cases) {
    ApiResponse res = Call("POST", "/api/v1/enrolments/copy", c.body);
    EXPECT_EQ(res.status, 400) << c.what << ": " << res.body;
    EXPECT_EQ(json::parse(res.body).value("field", ""), c.field) << c.what;
  }
  EXPECT_EQ(Audited().size(), 8u);

  // The console's actions and the API's take one gate: while one holds it, a copy is refused.
  std::promise<void> held, release;
  std::thread console_action([&] {
    std::unique_lock hold = jobs_->HoldPorts({2}, std::chrono::steady_clock::now() + kBound);
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  ApiResponse gated = Call("POST", "/api/v1/enrolments/copy", R"({"person": 7, "to": [{"port": 1, "terminal": 2}]})");
  release.set_value();
  console_action.join();
  EXPECT_EQ(gated.status, 409) << gated.body;
  EXPECT_EQ(Audited().back(), "enrolment.write.refused|port 1 terminal 2: the port is busy");
  // A port of the site is not a port to sync when it is not the site's.
  ApiResponse bad_port = Call("POST", "/api/v1/syncs", "", {{"port", "4"}});
  EXPECT_EQ(bad_port.status, 400);
  EXPECT_EQ(json::parse(bad_port.body).value("field", ""), "port");
}

}  // namespace
}  // namespace vanto::web
