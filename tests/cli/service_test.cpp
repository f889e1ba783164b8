// The host as its services run it, in processes of their own against a simulated site:
// - the shipped systemd units with a site on PostgreSQL: their command lines, as the unit files
//   write them (with the environment they set); the timer's sync, the console's users and its
//   "Sync now" all land in the site's PostgreSQL database, and no database file appears in the
//   service's state folder;
// - a wrong push setting stops pushing alone: sync, listings, check and the console run, and
//   each says what is wrong where it should.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "host/check.h"
#include "tests/cli/sim_fixture.h"
#include "tests/support/pg_server.h"

namespace vanto::cli::testing {
namespace {

namespace fs = std::filesystem;

// One unit file's [Service] as the tests start it: its environment and command lines.
struct Unit {
  std::vector<std::string> environment;  // "NAME=VALUE"
  std::vector<std::string> exec_start, exec_stop_post;
  std::string working_directory;
};

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// Reads a unit file with the installation's places moved: `moves` maps a text of the file (a
// path, an address) to what the test uses instead.
Unit ReadUnit(const fs::path& file, const std::vector<std::pair<std::string, std::string>>& moves) {
  std::ifstream in(file);
  EXPECT_TRUE(in) << file;
  Unit unit;
  for (std::string line; std::getline(in, line);) {
    for (const auto& [from, to] : moves)
      for (std::size_t at = line.find(from); at != std::string::npos; at = line.find(from, at + to.size()))
        line.replace(at, from.size(), to);
    auto value = [&](const char* key) -> std::optional<std::string> {
      const std::string prefix = std::string(key) + "=";
      return line.rfind(prefix, 0) == 0 ? std::optional(line.substr(prefix.size())) : std::nullopt;
    };
    if (auto v = value("Environment")) unit.environment.push_back(*v);
    if (auto v = value("ExecStart")) unit.exec_start = Words(*v);
    if (auto v = value("ExecStopPost")) unit.exec_stop_post = Words(*v);
    if (auto v = value("WorkingDirectory")) unit.working_directory = *v;
  }
  return unit;
}

// A process started as systemd starts a unit's command: the unit's environment alone (and PATH),
// in its working folder; standard input from `input`, standard output into a pipe.
class Process {
 public:
  Process(const Unit& unit, const std::vector<std::string>& args, const std::string& input = "/dev/null") {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, unit.working_directory.c_str());
    std::vector<std::string> env = unit.environment;
    env.push_back("PATH=/usr/bin:/bin");
    env.push_back("LANG=C.UTF-8");
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0) << args[0];
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
  }
  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    close(out_);
  }
  // Reads its output until `pattern` matches it or `bound` passes; the match's first group.
  std::optional<std::string> Await(const std::regex& pattern, std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
      std::smatch m;
      if (std::regex_search(output_, m, pattern)) return m[1].str();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      output_.append(buffer, static_cast<std::size_t>(n));
    }
  }
  // Its exit status, after reading the rest of its output.
  int Wait() {
    char buffer[4096];
    for (ssize_t n; (n = read(out_, buffer, sizeof buffer)) > 0;) output_.append(buffer, static_cast<std::size_t>(n));
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Signal(int signal) { kill(pid_, signal); }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

int RunToEnd(const Unit& unit, const std::vector<std::string>& args, std::string* output,
             const std::string& input = "/dev/null") {
  Process p(unit, args, input);
  const int status = p.Wait();
  *output = p.output();
  return status;
}

// A signed-in client of the console: its session cookie header and the form token.
struct SignedIn {
  httplib::Headers headers;
  std::string csrf;
};
std::optional<SignedIn> SignIn(httplib::Client& client, const std::string& name, const std::string& password) {
  client.set_connection_timeout(std::chrono::seconds(10));
  client.set_read_timeout(std::chrono::seconds(30));
  auto cookie = [](const httplib::Result& r, const std::string& which) {
    for (std::size_t i = 0; i < r->get_header_value_count("Set-Cookie"); ++i) {
      const std::string c = r->get_header_value("Set-Cookie", i);
      if (c.rfind(which + "=", 0) == 0) return c.substr(which.size() + 1, c.find(';') - which.size() - 1);
    }
    return std::string();
  };
  httplib::Result form = client.Get("/login");
  if (!form) return std::nullopt;
  const std::string login = cookie(form, "vanto_login");
  httplib::Result signed_in = client.Post("/login", {{"Cookie", "vanto_login=" + login}},
                                          httplib::Params{{"csrf", login}, {"name", name}, {"password", password}});
  if (!signed_in || signed_in->status != 303) return std::nullopt;
  SignedIn s{{{"Cookie", "vanto_session=" + cookie(signed_in, "vanto_session")}}, ""};
  httplib::Result dashboard = client.Get("/dashboard", s.headers);
  std::smatch m;
  if (!dashboard || !std::regex_search(dashboard->body, m, std::regex("name=\"csrf\" value=\"([0-9a-f]{64})\"")))
    return std::nullopt;
  s.csrf = m[1].str();
  return s;
}

class ShippedUnits : public SimSite {};
INSTANTIATE_TEST_SUITE_P(Transports, ShippedUnits, ::testing::Values(Transport::kPty), TransportName);

TEST_P(ShippedUnits, SyncAndConsoleBothUseTheSitesPostgresDatabase) {
  VANTO_REQUIRE_PG();
  vanto::testing::PgDatabases databases;
  const std::string url = databases.Fresh();
  auto& t = site_.AddTerminal(1, 1);
  for (int i = 0; i < 30; ++i) t.records.push_back(Swipe(100 + i % 3, 2, 8, i));
  Start();

  const fs::path state = folder_ / "var-lib-vanto", etc = folder_ / "etc-vanto";
  fs::create_directories(state);
  fs::create_directories(etc);
  std::ofstream(etc / "site.toml") << "database = " << nlohmann::json(url).dump() << "\n\n[[port]]\nnumber = 1\ndevice = "
                                   << nlohmann::json(paths_.at(1)).dump() << "\nterminals = [1]\n";
  const std::vector<std::pair<std::string, std::string>> moves = {
      {"@VANTO_BIN_DIR@/vanto", VANTO_EXE},
      {"/var/lib/vanto", state.string()},
      {"/etc/vanto/site.toml", (etc / "site.toml").string()},
      {"127.0.0.1:8080", "127.0.0.1:0"},  // any free port on a shared machine
  };
  const fs::path units = fs::path(VANTO_SOURCE_DIR) / "packaging" / "systemd";
  const Unit sync = ReadUnit(units / "vanto-sync.service", moves);
  const Unit serve = ReadUnit(units / "vanto-serve.service", moves);
  for (const Unit* unit : {&sync, &serve})
    for (const std::string& e : unit->environment) EXPECT_NE(e.rfind("VANTO_DB=", 0), 0u) << e;
  ASSERT_EQ(sync.exec_start, (std::vector<std::string>{VANTO_EXE, "sync", "--timer"}));
  ASSERT_FALSE(serve.exec_start.empty());

  // The timer's run, then its push.
  std::string out;
  ASSERT_EQ(RunToEnd(sync, sync.exec_start, &out), 0) << out;
  ASSERT_EQ(RunToEnd(sync, sync.exec_stop_post, &out), 0) << out;
  // An administrator adds the console's first user with the service's own settings.
  const fs::path password = folder_ / "password";
  std::ofstream(password) << "a long enough password\n";
  ASSERT_EQ(RunToEnd(serve, {VANTO_EXE, "user", "add", "boss", "--role", "admin"}, &out, password.string()), 0) << out;

  Process console(serve, serve.exec_start);
  const std::optional<std::string> port = console.Await(std::regex("listening on http://127\\.0\\.0\\.1:([0-9]+)"),
                                                        std::chrono::seconds(60));
  ASSERT_TRUE(port) << console.output();
  httplib::Client client("http://127.0.0.1:" + *port);
  const std::optional<SignedIn> session = SignIn(client, "boss", "a long enough password");
  ASSERT_TRUE(session) << "the console does not know the user the site's database holds";
  httplib::Result started = client.Post("/sync", session->headers, httplib::Params{{"csrf", session->csrf}});
  ASSERT_TRUE(started);
  EXPECT_EQ(started->status, 303);

  // Both runs are in the site's database: the timer's and the console's (waited for, bounded).
  nlohmann::json runs;
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  bool both = false;
  while (!both && std::chrono::steady_clock::now() < end) {
    ASSERT_EQ(RunToEnd(sync, {VANTO_EXE, "sync", "--history", "--json"}, &out), 0) << out;
    runs = nlohmann::json::parse(out.substr(out.find('[')), nullptr, false);
    bool timer = false, by_console = false;
    for (const auto& r : runs) {
      timer |= r.value("started_by", "") == "timer";
      by_console |= r.value("started_by", "") == "console" && !r["ended_at"].is_null();
    }
    both = timer && by_console;
    if (!both) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(both) << runs.dump();
  const std::size_t slash = url.find('/', url.find("://") + 3) + 1;
  const std::string name = url.substr(slash, url.find('?', slash) - slash);
  EXPECT_EQ(vanto::testing::PgAdmin("SELECT count(*) FROM users WHERE name = 'boss'", name), "1");
  EXPECT_EQ(vanto::testing::PgAdmin("SELECT count(*) FROM swipes", name), "30");
  console.Signal(SIGTERM);
  EXPECT_EQ(console.Wait(), 0) << console.output();
  // Nothing of the site went to a database file in the service's state folder.
  for (const auto& entry : fs::recursive_directory_iterator(state))
    EXPECT_NE(entry.path().extension(), ".db") << "a database file the units should not have written: " << entry.path();
}

// A push secret file others may read: sync (exit 0, a warning), the listings and the console run;
// check fails naming the endpoint; push names it (exit 1); the console's push panel shows it.
TEST_P(ShippedUnits, AWrongPushSettingStopsPushingAlone) {
  auto& t = site_.AddTerminal(1, 1);
  for (int i = 0; i < 12; ++i) t.records.push_back(Swipe(200 + i % 4, 3, 9, i));
  Start();
  const fs::path site = folder_ / "site.toml", secret = folder_ / "hr.secret";
  std::ofstream(secret) << "secret\n";
  ::chmod(secret.c_str(), 0644);
  std::ofstream(site) << "database = \"vanto.db\"\n\n[[port]]\nnumber = 1\ndevice = " << nlohmann::json(paths_.at(1)).dump()
                      << "\nterminals = [1]\n\n[[push]]\nname = \"hr\"\nurl = \"https://hr.example/in?api_key=k\"\n"
                      << "secret_file = \"hr.secret\"\n";
  const std::string where = site.string() + ":11: key 'push.secret_file'";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // expected within standard output, standard error ("": anything)
  } cases[] = {
      {{"sync"}, 0, "synced", "warning: push endpoint hr is misconfigured: " + where},
      {{"swipes", "--csv"}, 0, "2026-11-03 09:11:00,1,1,203,", ""},
      {{"people"}, 0, "", ""},
      {{"report", "--month", "2026-11"}, 0, "203", ""},
      {{"check"}, 1, "FAIL  push endpoint hr is misconfigured: " + where, ""},
      {{"push"}, 1, "", "hr: misconfigured, nothing sent (its swipes wait for it): " + where},
      {{"push", "status"}, 0, "misconfigured: " + where, ""},
      {{"site", "show"}, 0, "database", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--site", site.string()});
    Result r = Vanto(args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << ": " << r.out << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << c.args[0] << ": " << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[0] << ": " << r.err;
  }
  // [console] and api_requests_per_minute serve `vanto serve` alone: wrong, each stops it (exit 2)
  // and nothing else.
  const fs::path own_site = folder_ / "console.toml";
  const struct {
    const char* part;
    const char* said;
  } own_parts[] = {
      {"[console]\ntrusted_proxies = [\"proxy.example\"]\n", "the console's settings are wrong: {}:3: key 'console.trusted_proxies'"},
      {"api_requests_per_minute = 0\n", "the API's rate is wrong: {}:2: key 'api_requests_per_minute'"},
  };
  for (const auto& own : own_parts) {
    std::ofstream(own_site) << "database = \"vanto.db\"\n" << own.part << "\n[[port]]\n"
                            << "number = 1\ndevice = " << nlohmann::json(paths_.at(1)).dump() << "\nterminals = [1]\n";
    std::string said = own.said;
    said.replace(said.find("{}"), 2, own_site.string());
    Result refused = Vanto({"serve", "--listen", "127.0.0.1:0", "--site", own_site.string()});
    EXPECT_EQ(refused.status, kExitUsage) << own.part;
    EXPECT_NE(refused.err.find(said), std::string::npos) << refused.err;
    Result listed = Vanto({"swipes", "--site", own_site.string()});
    EXPECT_EQ(listed.status, kExitOk) << listed.err;
    Result checked = Vanto({"check", "--site", own_site.string()});
    EXPECT_NE(checked.out.find("FAIL  " + said), std::string::npos) << checked.out;
  }
  // The console serves, says what is wrong when it starts, and shows it in the push panel.
  Unit unit;
  unit.environment = {"HOME=" + folder_.string(), "VANTO_REGISTRY=" + (folder_ / "registry").string(),
                      "VANTO_SITE=" + site.string()};
  unit.working_directory = folder_.string();
  const fs::path password = folder_ / "password";
  std::ofstream(password) << "a long enough password\n";
  std::string out;
  ASSERT_EQ(RunToEnd(unit, {VANTO_EXE, "user", "add", "boss", "--role", "admin"}, &out, password.string()), 0) << out;
  Process console(unit, {VANTO_EXE, "serve", "--listen", "127.0.0.1:0"});
  const std::optional<std::string> port = console.Await(std::regex("listening on http://127\\.0\\.0\\.1:([0-9]+)"),
                                                        std::chrono::seconds(60));
  ASSERT_TRUE(port) << console.output();
  EXPECT_NE(console.output().find("warning: push endpoint hr is misconfigured"), std::string::npos) << console.output();
  httplib::Client client("http://127.0.0.1:" + *port);
  const std::optional<SignedIn> session = SignIn(client, "boss", "a long enough password");
  ASSERT_TRUE(session);
  httplib::Result dashboard = client.Get("/dashboard", session->headers);
  ASSERT_TRUE(dashboard);
  EXPECT_NE(dashboard->body.find("class=\"push failing misconfigured\" data-name=\"hr\""), std::string::npos);
  EXPECT_NE(dashboard->body.find("may be read by other users"), std::string::npos);
  EXPECT_EQ(dashboard->body.find("api_key=k"), std::string::npos);
  console.Signal(SIGTERM);
  EXPECT_EQ(console.Wait(), 0) << console.output();
}

// After the console's unit stopped setting VANTO_DB: check warns while the database in use is not
// the one the console kept before, and is quiet once the site file names that one.
TEST(ConsoleDatabase, CheckWarnsWhileTheConsoleWouldMoveToAnotherDatabase) {
  char pattern[] = "/tmp/vanto-moved-XXXXXX";
  const fs::path folder = mkdtemp(pattern);
  const std::string earlier = (folder / "vanto.db").string(), fallback = (folder / "vanto" / "vanto.db").string();
  std::ofstream(earlier) << "";
  site::Site site;
  site.path = (folder / "site.toml").string();
  struct Case {
    std::string earlier, database;
    bool warns;
  } cases[] = {
      {earlier, fallback, true},                                  // no database named: the default
      {earlier, earlier, false},                                  // the site file names the old one
      {earlier, (folder / "." / "vanto.db").string(), false},     // the same file by another name
      {(folder / "absent.db").string(), fallback, false},         // no console database before
      {"", fallback, false},                                      // a database given: nothing to say
      {earlier, "postgresql:///vanto", true},
  };
  for (const Case& c : cases) {
    host::CheckSettings settings;
    settings.database = c.database;
    settings.earlier_console_database = c.earlier;
    const std::optional<host::CheckFinding> f = host::CheckConsoleDatabase(site, settings);
    ASSERT_EQ(f.has_value(), c.warns) << c.earlier << " / " << c.database;
    if (!f) continue;
    EXPECT_EQ(f->severity, host::Severity::kWarning);
    EXPECT_EQ(f->Value("earlier"), earlier);
    EXPECT_EQ(f->Value("database"), c.database);
  }
  fs::remove_all(folder);
}

}  // namespace
}  // namespace vanto::cli::testing
