// One configuration for every command: under a site file (named by VANTO_SITE, no --db, no
// VANTO_DB, no VANTO_FK_PORT_*), every command that touches data or terminals uses the site's
// database and the site's devices and creates nothing anywhere else; reading commands on a
// missing database create nothing; a broken site file stops every command before it touches
// anything.
#include <fstream>

#include "tests/cli/sim_fixture.h"

namespace vanto::cli::testing {
namespace {

namespace fs = std::filesystem;

class Configuration : public SimSite {
 protected:
  void SetUp() override {
    SimSite::SetUp();
    if (IsSkipped()) return;
    home_ = folder_ / "home";
    fs::create_directories(home_);
    for (const char* name : {::vanto::site::kDatabaseVariable, "XDG_DATA_HOME", "XDG_CONFIG_HOME", "VANTO_FK_PORT_1", ::terminal::control::kBatchVariable})
      ::unsetenv(name);
    ::setenv("HOME", home_.c_str(), 1);
    auto& t = site_.AddTerminal(1, 1);
    for (int i = 0; i < 30; ++i) t.records.push_back(Swipe(7 + i % 3, 2 + i % 5, 8, i));
    paths_ = site_.Start();
    // The simulator's line timeouts as the user's own overrides; the device only in the site file.
    for (const auto& [name, value] : terminal::sim::PortSettings(paths_))
      if (name.rfind("VANTO_FK_PORT_", 0) != 0) ::setenv(name.c_str(), value.c_str(), 1);
    site_file_ = WriteSite("database = \"site.db\"\n[[port]]\nnumber = 1\ndevice = \"" + paths_.at(1) +
                               "\"\nterminals = [1]\n",
                           "site.toml");
    ::setenv("VANTO_SITE", site_file_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VANTO_SITE");
    SimSite::TearDown();
  }
  std::string WriteSite(const std::string& text, const std::string& name) {
    const fs::path path = folder_ / "etc" / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    return path.string();
  }
  // Files anywhere under HOME: the default database and its folder must never appear.
  std::vector<std::string> StrayFiles() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(home_))
      if (entry.path().string().find("/.config/vanto/registry") == std::string::npos && entry.is_regular_file())
        found.push_back(entry.path().string());
    return found;
  }

  fs::path home_;
  std::string site_file_;
};

TEST_P(Configuration, EveryCommandUsesTheSitesDatabaseAndDevices) {
  const std::string site_db = (folder_ / "etc" / "site.db").string();
  const std::string people = WriteSite("person,name,department\n7,Ann Lee,Stores\n8,Bo Chen,Office\n", "people.csv");
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out;  // a text the output holds
  } rows[] = {
      {{"scan"}, kExitOk, "1"},
      {{"download", "--port", "1", "--terminal", "1"}, kExitOk, site_db},
      {{"swipes"}, kExitOk, "2026-11-0"},
      {{"people", "import", people}, kExitOk, ""},
      {{"people"}, kExitOk, "Ann Lee"},
      {{"report", "--month", "2026-11"}, kExitOk, "Bo Chen"},
      {{"rejected"}, kExitOk, site_db},
      {{"sync"}, kExitOk, ""},
      {{"check"}, kExitOk, site_db},
      {{"clock"}, kExitOk, "no clock (protocol version 2)"},
      {{"site", "show"}, kExitOk, site_db},
      {{"clear", "--port", "1", "--terminal", "1", "--yes"}, kExitOk, site_db},
  };
  for (const Row& row : rows) {
    Result r = Vanto(row.args);
    const std::string what = row.args[0] + (row.args.size() > 1 ? " " + row.args[1] : "");
    EXPECT_EQ(r.status, row.status) << what << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << what << ": wanted '" << row.out << "' in\n" << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find(".local/share"), std::string::npos) << what << "\n" << r.out << r.err;
    EXPECT_EQ(StrayFiles(), std::vector<std::string>{}) << what;
  }
  EXPECT_TRUE(fs::exists(site_db));
  // The site show tells where the database comes from; --db wins over the site file.
  Result show = Vanto({"site", "show", "--db", (folder_ / "other.db").string()});
  EXPECT_NE(show.out.find("--db"), std::string::npos) << show.out;
  EXPECT_FALSE(fs::exists(folder_ / "other.db"));
  // The terminal was cleared only after its records were all in the site's database.
  EXPECT_TRUE(site_.Terminal(1, 1)->records.empty());
}

TEST_P(Configuration, ReadingCommandsOnAMissingDatabaseCreateNothing) {
  const std::string site = WriteSite("database = \"missing.db\"\n[[port]]\nnumber = 1\ndevice = \"" + paths_.at(1) +
                                         "\"\nterminals = [1]\n",
                                     "reading.toml");
  const fs::path missing = folder_ / "etc" / "missing.db";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"swipes", "--site", site},
           {"people", "--site", site},
           {"rejected", "--site", site},
           {"report", "--month", "2026-11", "--site", site},
           {"check", "--site", site},
           {"clock", "--site", site},
       }) {
    Result r = Vanto(args);
    EXPECT_FALSE(fs::exists(missing)) << args[0] << " created the database\n" << r.out << r.err;
    EXPECT_EQ(StrayFiles(), std::vector<std::string>{}) << args[0];
  }
}

TEST_P(Configuration, ABrokenSiteFileStopsEveryCommandFirst) {
  const std::string broken = WriteSite("database = \"broken.db\"\n[[port]]\nnumber = 1\ndevice = 5\nterminals = [1]\n",
                                       "broken.toml");
  const std::string absent = (folder_ / "etc" / "absent.toml").string();
  for (const std::string& site : {broken, absent}) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"swipes"}, {"people"}, {"rejected"}, {"report", "--month", "2026-11"}, {"scan"},
             {"download", "--port", "1", "--terminal", "1"}, {"clear", "--port", "1", "--terminal", "1", "--yes"},
             {"sync"}, {"check"}, {"clock"}, {"site", "show"}, {"backup", "--port", "1", "--terminal", "1", "--person", "7"}}) {
      std::vector<std::string> with_site = args;
      with_site.insert(with_site.end(), {"--site", site});
      Result r = Vanto(with_site);
      EXPECT_EQ(r.status, kExitUsage) << args[0] << "\n" << r.out << r.err;
      EXPECT_NE(r.err.find(site), std::string::npos) << args[0] << ": the error names the file\n" << r.err;
      if (site == broken) {
        EXPECT_NE(r.err.find(site + ":4"), std::string::npos) << args[0] << "\n" << r.err;
      }
      EXPECT_FALSE(fs::exists(folder_ / "etc" / "broken.db")) << args[0];
      EXPECT_EQ(StrayFiles(), std::vector<std::string>{}) << args[0];
    }
  }
  // Nothing of the terminal was touched.
  EXPECT_EQ(site_.Terminal(1, 1)->records.size(), 30u);
}

INSTANTIATE_TEST_SUITE_P(Pty, Configuration, ::testing::Values(Transport::kPty), TransportName);

}  // namespace
}  // namespace vanto::cli::testing
