// A PostgreSQL password in the database's location never reaches what the host writes: standard
// output and error of every command that names or opens the database (tables, JSON, errors,
// `site show`, `check`), nor any file it writes. The location is given in each form the client
// library reads a password from, by --db and by VANTO_DB; a site file holding one is refused.
#include <fstream>
#include <iterator>

#include "tests/cli/sim_fixture.h"
#include "tests/support/pg_server.h"

namespace vanto::cli::testing {
namespace {

namespace fs = std::filesystem;

// The test server's role that logs in over TCP with this password only.
constexpr char kSecret[] = "vanto-secret";

class Secrets : public SimSite {
 protected:
  void SetUp() override {
    SimSite::SetUp();
    if (IsSkipped()) return;
    VANTO_REQUIRE_PG();
    ::unsetenv(::vanto::site::kDatabaseVariable);
    auto& t = site_.AddTerminal(1, 1);
    for (int i = 0; i < 20; ++i) t.records.push_back(Swipe(7 + i % 3, 2 + i % 5, 8, i));
    Start();
    site_file_ = Write("site.toml", "[[port]]\nnumber = 1\ndevice = \"" + paths_.at(1) + "\"\nterminals = [1]\n");
    ::setenv("VANTO_SITE", site_file_.c_str(), 1);
    const char* port = std::getenv("VANTO_TEST_PG_PORT");
    ASSERT_TRUE(port) << "the test server's port (VANTO_TEST_PG_PORT) is not set";
    port_ = port;
  }
  void TearDown() override {
    ::unsetenv("VANTO_SITE");
    ::unsetenv(::vanto::site::kDatabaseVariable);
    SimSite::TearDown();
  }
  std::string Write(const std::string& name, const std::string& text) {
    const fs::path path = folder_ / name;
    std::ofstream(path) << text;
    return path.string();
  }
  // Regular files under the test's folder that hold the password.
  std::vector<std::string> FilesHoldingTheSecret() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (data.find(kSecret) != std::string::npos) found.push_back(entry.path().string());
    }
    return found;
  }
  // A fresh database on the test server, named in each form that carries the password.
  std::vector<std::string> Locations() {
    const std::string a = Database(), b = Database(), c = Database();
    return {"postgresql://vanto_pw:" + std::string(kSecret) + "@127.0.0.1:" + port_ + "/" + a,
            "postgresql://vanto_pw@127.0.0.1:" + port_ + "/" + b + "?pass%77ord=" + kSecret + "&connect_timeout=10",
            "host=127.0.0.1 port=" + port_ + " user=vanto_pw password='" + kSecret + "' dbname=" + c};
  }
  std::string Database() {
    const std::string url = databases_.Fresh();  // postgresql://USER@[HOST]/NAME[?...]
    const std::size_t start = url.find('/', url.find("://") + 3) + 1, end = url.find('?', start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }

  std::string site_file_, port_;
  vanto::testing::PgDatabases databases_;
};

TEST_P(Secrets, NoOutputAndNoFileHoldsThePassword) {
  const std::string people = Write("people.csv", "person,name,department\n7,Ann Lee,Stores\n8,Bo Chen,Office\n");
  const std::string html = (folder_ / "report.html").string(), copy = (folder_ / "copy.db").string();
  struct Row {
    std::vector<std::string> args;
    int status;       // -1: whatever it is (the output is what counts)
    std::string out;  // a text standard output holds, so the command did its work
  };
  const std::vector<std::string> locations = Locations();
  for (const std::string& location : locations) {
    for (bool by_environment : {false, true}) {
      SCOPED_TRACE(location + (by_environment ? " by VANTO_DB" : " by --db"));
      const std::vector<Row> rows = {
          // The second time round, the same database holds every record already.
          {{"download", "--port", "1", "--terminal", "1", "--json"}, kExitOk, by_environment ? "[" : "\"person\""},
          {{"swipes", "--json"}, kExitOk, "2026-11-0"},
          {{"swipes"}, kExitOk, "2026-11-0"},
          {{"people", "import", people}, kExitOk, ""},
          {{"people", "--json"}, kExitOk, "Ann Lee"},
          {{"report", "--month", "2026-11", "--html", html}, kExitOk, html},
          {{"report", "--month", "2026-11", "--json"}, kExitOk, "Bo Chen"},
          {{"rejected", "--json"}, kExitOk, ""},
          {{"rejected"}, kExitOk, ""},
          {{"sync", "--json"}, kExitOk, "\"database\""},
          {{"sync"}, kExitOk, ""},
          {{"check"}, -1, "127.0.0.1"},
          {{"site", "show"}, kExitOk, "127.0.0.1"},
          {{"backup", "--port", "1", "--terminal", "1", "--person", "99"}, -1, ""},
          {{"restore", "--port", "1", "--terminal", "1", "--person", "99"}, -1, ""},
          {{"user", "list"}, -1, ""},
          {{"db", "copy", "--to", copy}, kExitOk, ""},
      };
      if (by_environment) ::setenv(::vanto::site::kDatabaseVariable, location.c_str(), 1);
      for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        if (args[0] == "db") args.insert(args.begin() + 2, {"--from", location});
        else if (!by_environment) args.insert(args.end(), {"--db", location});
        const Result r = Vanto(args);
        const std::string what = args[0] + (args.size() > 1 ? " " + args[1] : "");
        if (row.status >= 0) {
          EXPECT_EQ(r.status, row.status) << what << "\n" << r.out << r.err;
        }
        EXPECT_NE(r.out.find(row.out), std::string::npos) << what << ": wanted '" << row.out << "' in\n" << r.out << r.err;
        EXPECT_EQ((r.out + r.err).find(kSecret), std::string::npos) << what << "\n" << r.out << r.err;
        // A location holding a password works, with a warning that points where it belongs.
        if (args[0] != "db") {
          EXPECT_NE(r.err.find(".pgpass"), std::string::npos) << what << "\n" << r.err;
        }
      }
      ::unsetenv(::vanto::site::kDatabaseVariable);
      fs::remove(copy);
    }
  }
  // Clearing, once every record is stored there.
  const Result clear = Vanto({"clear", "--port", "1", "--terminal", "1", "--yes", "--db", locations.back()});
  EXPECT_EQ(clear.status, kExitOk) << clear.out << clear.err;
  EXPECT_EQ((clear.out + clear.err).find(kSecret), std::string::npos) << clear.out << clear.err;
  EXPECT_TRUE(site_.Terminal(1, 1)->records.empty());
  EXPECT_EQ(FilesHoldingTheSecret(), std::vector<std::string>{});
}

// The database's own failures (a wrong password, no server) are messages that quote libpq.
TEST_P(Secrets, FailuresToConnectHideThePassword) {
  for (const std::string& location :
       {"postgresql://vanto_pw:" + std::string(kSecret) + "x@127.0.0.1:" + port_ + "/postgres",
        "postgresql://vanto_pw:" + std::string(kSecret) + "@127.0.0.1:1/postgres?connect_timeout=2",
        "postgresql://vanto_pw:" + std::string(kSecret) + "@[::1/postgres",
        "host=127.0.0.1 port=1 password=" + std::string(kSecret) + " connect_timeout=2"}) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"swipes"}, {"sync", "--json"}, {"check"}, {"download", "--port", "1", "--terminal", "1"}}) {
      std::vector<std::string> with = args;
      with.insert(with.end(), {"--db", location});
      const Result r = Vanto(with);
      EXPECT_NE(r.status, kExitOk) << location << " " << args[0];
      EXPECT_EQ((r.out + r.err).find(kSecret), std::string::npos) << location << " " << args[0] << "\n" << r.out << r.err;
    }
  }
  EXPECT_EQ(FilesHoldingTheSecret(), std::vector<std::string>{});
}

TEST_P(Secrets, ASiteFileHoldingAPasswordIsRefused) {
  const std::string location = Locations().front();
  const std::string refused = Write("refused.toml", "# a site\n\ndatabase = \"" + location + "\"\n[[port]]\nnumber = 1\n"
                                                    "device = \"" + paths_.at(1) + "\"\nterminals = [1]\n");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"swipes"}, {"sync"}, {"check"}, {"site", "show"}, {"download", "--port", "1", "--terminal", "1"}}) {
    std::vector<std::string> with = args;
    with.insert(with.end(), {"--site", refused});
    const Result r = Vanto(with);
    EXPECT_EQ(r.status, kExitUsage) << args[0] << "\n" << r.out << r.err;
    for (const std::string& wanted : {refused + ":3", std::string(".pgpass"), std::string("PGPASSFILE")})
      EXPECT_NE(r.err.find(wanted), std::string::npos) << args[0] << ": wanted " << wanted << " in\n" << r.err;
    EXPECT_EQ((r.out + r.err).find(kSecret), std::string::npos) << args[0] << "\n" << r.err;
  }
  // Nothing was read from the terminal.
  EXPECT_EQ(site_.Terminal(1, 1)->records.size(), 20u);
  // Nor does `site init` write one into a new file.
  const Result init = Vanto({"site", "init", "--ports", "1", "--site", (folder_ / "new.toml").string(), "--db", location});
  EXPECT_EQ(init.status, kExitUsage) << init.out << init.err;
  EXPECT_FALSE(fs::exists(folder_ / "new.toml"));
  EXPECT_EQ((init.out + init.err).find(kSecret), std::string::npos) << init.err;
}

INSTANTIATE_TEST_SUITE_P(Pty, Secrets, ::testing::Values(Transport::kPty), TransportName);

}  // namespace
}  // namespace vanto::cli::testing
