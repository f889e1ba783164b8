// Several sites in one database, end to end on both engines: each site's version 1 terminal on
// port 1 as terminal 1 (no identity: keyed with its site), a site file naming each site, and
// `vanto sync`, `vanto swipes`, `vanto site add`/`rename` and `vanto db assign-site` over them,
// and each site's people, rejected records, conflicts and enrolments.
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <map>
#include <set>

#include "host/db/database.h"
#include "host/db/record_store.h"
#include "host/db/sites.h"
#include "host/metrics.h"
#include "platform/ado/enrolment.h"
#include "tests/cli/sim_fixture.h"
#include "tests/support/pg_server.h"

namespace vanto::cli::testing {
namespace {

struct Engine {
  const char* name;
  bool postgres;
};

class SitesE2E : public SimSite {
 protected:
  // Simulator port `port` holds a version 1 terminal 1 with `swipes` (person, hour, minute) on
  // 2026-12-01.
  terminal::sim::SimTerminal& Terminal(int port, const std::vector<std::array<int, 3>>& swipes) {
    auto& t = site_.AddTerminal(port, 1);
    t.version = 1;
    for (const auto& [person, hour, minute] : swipes) t.records.push_back({person, 2026, 12, 1, hour, minute});
    return t;
  }
  // A site file: site `name` (none when empty) whose port 1 is the simulator's port `sim_port`.
  std::string SiteFile(const std::string& name, int sim_port, const std::string& database) {
    std::string path = (folder_ / ((name.empty() ? "unnamed" : name) + ".toml")).string();
    std::ofstream(path) << (name.empty() ? "" : "site = \"" + name + "\"\n") << "database = \"" << database
                        << "\"\n[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\n[[port]]\nnumber = 1\n"
                        << "device = \"" << paths_.at(sim_port) << "\"\nterminals = [1]\n";
    return path;
  }
  void Clear() {
    for (int port = 1; port <= 4; ++port) unsetenv(("VANTO_FK_PORT_" + std::to_string(port)).c_str());
  }
  // Each stored swipe as "SITE person time".
  static std::multiset<std::string> Stored(const std::string& database) {
    std::multiset<std::string> rows;
    auto db = vanto::db::Database::Open(database);
    db->Swipes()->Each({}, [&](const store::StoredSwipe& s) {
      rows.insert(s.site + " " + std::to_string(s.person) + " " + s.time);
      return true;
    });
    return rows;
  }
  // The persons `vanto swipes --json` lists under `args`.
  static std::multiset<std::string> Listed(std::vector<std::string> args) {
    args.insert(args.begin(), {"swipes", "--json"});
    Result r = Vanto(args);
    EXPECT_EQ(r.status, kExitOk) << r.err;
    std::multiset<std::string> persons;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t at = line.find("\"person\":");
      if (at != std::string::npos) persons.insert(line.substr(at + 9, line.find_first_of(",}", at) - at - 9));
    }
    return persons;
  }
  // The stored enrolment rows of `person` at `site`, read as that site's.
  static std::vector<EnrolmentRow> Enrolled(const std::string& database, const std::string& site, LONG person) {
    db::DatabaseOptions options;
    options.read_only = true;
    ComPtr<RowSet> rows;
    std::vector<EnrolmentRow> read;
    host::SiteChoice choice;
    choice.name = site;
    choice.filter = site;
    EXPECT_EQ(db::Database::Open(database, options)->EnrolmentRows(choice, person, std::nullopt, &rows, true), S_OK);
    if (rows) {
      EXPECT_EQ(ReadEnrolmentRows(rows.Get(), &read), S_OK);
    }
    return read;
  }
  std::vector<Engine> Engines() const {
    std::vector<Engine> engines{{"SQLite", false}};
    if (::vanto::testing::PgTestUrl() || ::vanto::testing::InCi()) engines.push_back({"PostgreSQL", true});
    return engines;
  }
  std::string FreshDatabase(const Engine& engine, const std::string& name) {
    if (!engine.postgres) return (folder_ / (name + ".db")).string();
    if (!::vanto::testing::PgTestUrl()) {
      ADD_FAILURE() << ::vanto::testing::kNoPgServer;
      return "";
    }
    return pg_.Fresh();
  }
  ::vanto::testing::PgDatabases pg_;
};

// The two sites of the headline: the same port, terminal, person and minute at both, and each
// site's swipes stored and listed as its own.
TEST_P(SitesE2E, TwoSitesKeepTheirOwnSwipesOfTheSamePortTerminalPersonAndMinute) {
  Terminal(1, {{17, 8, 0}, {18, 8, 1}});
  Terminal(2, {{17, 8, 0}, {19, 8, 2}});
  Start();
  Clear();
  for (const Engine& engine : Engines()) {
    SCOPED_TRACE(engine.name);
    const std::string database = FreshDatabase(engine, "two");
    if (database.empty()) continue;
    const std::string a = SiteFile("north", 1, database), b = SiteFile("south", 2, database);
    Result first = Vanto({"sync", "--site", a, "--json"});
    ASSERT_EQ(first.status, kExitOk) << first.err << first.out;
    // A database that holds a site takes another only once it is added.
    Result refused = Vanto({"sync", "--site", b});
    EXPECT_EQ(refused.status, kExitUsage);
    EXPECT_NE(refused.err.find("holds no site south (it holds north)"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("vanto site add south"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("vanto site rename OLD south"), std::string::npos) << refused.err;
    Result added = Vanto({"site", "add", "south", "--db", database});
    ASSERT_EQ(added.status, kExitOk) << added.err;
    Result second = Vanto({"sync", "--site", b, "--json"});
    ASSERT_EQ(second.status, kExitOk) << second.err << second.out;
    EXPECT_NE(second.out.find("\"new\": 2"), std::string::npos) << second.out;
    EXPECT_EQ(Stored(database), (std::multiset<std::string>{"north 17 2026-12-01 08:00:00", "north 18 2026-12-01 08:01:00",
                                                            "south 17 2026-12-01 08:00:00", "south 19 2026-12-01 08:02:00"}));
    // Read again: nothing stored twice.
    ASSERT_EQ(Vanto({"sync", "--site", a}).status, kExitOk);
    EXPECT_EQ(Stored(database).size(), 4u);
    EXPECT_EQ(Listed({"--site", a}), (std::multiset<std::string>{"17", "18"}));
    EXPECT_EQ(Listed({"--site", b}), (std::multiset<std::string>{"17", "19"}));
    EXPECT_EQ(Listed({"--db", database, "--site-name", "south"}), (std::multiset<std::string>{"17", "19"}));
    // Without a site named, a database of two sites refuses, naming them.
    Result unnamed = Vanto({"swipes", "--db", database, "--site", SiteFile("", 1, database)});
    EXPECT_EQ(unnamed.status, kExitUsage);
    EXPECT_NE(unnamed.err.find("holds the sites north, south"), std::string::npos) << unnamed.err;
    // Each sync recorded its site: its first and last sync, and the ports it ran with.
    auto db = vanto::db::Database::Open(database);
    auto tables = db->Tables(true);
    const std::vector<store::SiteRow> sites = store::ListSites(*tables);
    ASSERT_EQ(sites.size(), 2u);
    for (const store::SiteRow& s : sites) {
      EXPECT_NE(s.last_sync, "") << s.name;
      EXPECT_NE(s.settings.find("\"ports\":[{\"number\":1"), std::string::npos) << s.settings;
    }
    // Each site's terminal 1 on port 1 (no identity) is a terminal of its own in the figures.
    std::map<std::string, std::int64_t> counted;
    for (const host::TerminalFigures& t : host::ReadSiteFigures(*db, {}, std::chrono::system_clock::now()).terminals) {
      counted[t.site + " " + std::to_string(t.port) + "/" + std::to_string(t.terminal)] += t.swipes;
      EXPECT_TRUE(t.last_complete_sync) << t.site;
    }
    EXPECT_EQ(counted, (std::map<std::string, std::int64_t>{{"north 1/1", 2}, {"south 1/1", 2}}));
    // `vanto site list --json`: each site's terminal, stale once its last complete sync is older
    // than stale_after (24 h here: north's runs made a year old).
    for (const bool aged : {false, true}) {
      SCOPED_TRACE(aged ? "north's runs aged" : "just synced");
      if (aged)
        db->Tables(false)->Exec("UPDATE sync_runs SET ended_at = '2025-12-01T00:00:00Z' WHERE site = 'north'", {},
                                "ageing north's runs");
      Result listed = Vanto({"site", "list", "--json", "--db", database});
      ASSERT_EQ(listed.status, kExitOk) << listed.err;
      std::map<std::string, bool> stale;
      std::istringstream lines(listed.out);
      for (std::string line; std::getline(lines, line);) {
        const nlohmann::json site = nlohmann::json::parse(line);
        EXPECT_NE(site["last_host"], "") << line;
        EXPECT_EQ(site["stale_after"], 86400) << line;
        ASSERT_EQ(site["terminals"].size(), 1u) << line;
        const nlohmann::json& terminal = site["terminals"][0];
        EXPECT_EQ(terminal["port"], 1);
        EXPECT_EQ(terminal["swipes"], 2);
        EXPECT_EQ(site["stale"], terminal["stale"].get<bool>() ? 1 : 0);
        stale[site["site"]] = terminal["stale"];
      }
      EXPECT_EQ(stale, (std::map<std::string, bool>{{"north", aged}, {"south", false}}));
    }
    // Renamed: every row goes with the name.
    Result renamed = Vanto({"site", "rename", "south", "east", "--db", database});
    ASSERT_EQ(renamed.status, kExitOk) << renamed.err;
    EXPECT_EQ(Listed({"--db", database, "--site-name", "east"}), (std::multiset<std::string>{"17", "19"}));
    EXPECT_EQ(Vanto({"swipes", "--site", b}).status, kExitUsage);  // south's file names a site no more held
    // Its push keys carry "south" for good: no other site may take that name.
    for (const std::vector<std::string>& taking : {std::vector<std::string>{"site", "add", "south"},
                                                   std::vector<std::string>{"site", "rename", "north", "south"}}) {
      std::vector<std::string> args = taking;
      args.insert(args.end(), {"--db", database});
      Result refused = Vanto(args);
      EXPECT_EQ(refused.status, kExitUsage) << taking[1];
      EXPECT_NE(refused.err.find("site east was named south once"), std::string::npos) << refused.err;
    }
  }
}

// A database of rows stored before sites: the first site file that opens it takes them all;
// `vanto db assign-site` gives rows of no site to a site by hand.
TEST_P(SitesE2E, RowsOfNoSiteGoToTheFirstSiteThatOpensTheDatabase) {
  Terminal(1, {{17, 8, 0}, {18, 8, 1}}).persons[17].fingerprints[0] = TemplateOf(1);
  Terminal(2, {{17, 8, 0}, {19, 8, 2}});
  Start();
  Clear();
  for (const Engine& engine : Engines()) {
    SCOPED_TRACE(engine.name);
    const std::string database = FreshDatabase(engine, "upgraded");
    if (database.empty()) continue;
    // Stored by a site file without a name: rows of no site (an enrolment too).
    ASSERT_EQ(Vanto({"sync", "--site", SiteFile("", 1, database)}).status, kExitOk);
    ASSERT_EQ(Vanto({"backup", "--site", SiteFile("", 1, database), "--port", "1", "--terminal", "1", "--person", "17"})
                  .status,
              kExitOk);
    EXPECT_EQ(Stored(database), (std::multiset<std::string>{" 17 2026-12-01 08:00:00", " 18 2026-12-01 08:01:00"}));
    // The first named site takes them (a read of its own swipes, then its sync).
    const std::string a = SiteFile("north", 1, database);
    ASSERT_EQ(Vanto({"sync", "--site", a}).status, kExitOk);
    EXPECT_EQ(Stored(database), (std::multiset<std::string>{"north 17 2026-12-01 08:00:00", "north 18 2026-12-01 08:01:00"}));
    EXPECT_EQ(Enrolled(database, "north", 17).size(), 1u);
    // A site file without a name acts on the only site.
    EXPECT_EQ(Listed({"--site", SiteFile("", 1, database)}), (std::multiset<std::string>{"17", "18"}));
    // Rows of no site stored meanwhile (by hand) go where assign-site says.
    {
      auto db = vanto::db::Database::Open(database);
      auto tables = db->Tables(false);
      tables->Exec("UPDATE swipes SET site = '' WHERE person = 18", {}, "test");
    }
    Result assigned = Vanto({"db", "assign-site", "west", "--db", database});
    ASSERT_EQ(assigned.status, kExitOk) << assigned.err;
    EXPECT_NE(assigned.out.find("1 rows of no site given to site west"), std::string::npos) << assigned.out;
    EXPECT_EQ(Listed({"--db", database, "--site-name", "west"}), (std::multiset<std::string>{"18"}));
  }
}

// Two sites' person 17 are two people with two fingerprints: site B's backup leaves site A's row
// as it was, byte for byte; a restore at A writes A's template; each site lists its own.
TEST_P(SitesE2E, EachSiteBacksUpRestoresAndListsItsOwnEnrolments) {
  Terminal(1, {{17, 8, 0}}).persons[17].fingerprints[0] = TemplateOf(1);
  terminal::sim::SimTerminal& south_terminal = Terminal(2, {{17, 8, 0}});
  south_terminal.persons[17].fingerprints[0] = TemplateOf(2);
  south_terminal.persons[19].password = 1919;
  Start();
  Clear();
  for (const Engine& engine : Engines()) {
    SCOPED_TRACE(engine.name);
    const std::string database = FreshDatabase(engine, "enrolments");
    if (database.empty()) continue;
    const std::string a = SiteFile("north", 1, database), b = SiteFile("south", 2, database);
    auto run = [](std::vector<std::string> args, int status) {
      Result r = Vanto(args);
      EXPECT_EQ(r.status, status) << args[0] << " " << args[2] << " " << args.back() << ": " << r.err << r.out;
    };
    run({"backup", "--site", a, "--port", "1", "--terminal", "1", "--person", "17"}, kExitOk);
    run({"site", "add", "south", "--db", database}, kExitOk);
    const std::vector<EnrolmentRow> north = Enrolled(database, "north", 17);
    ASSERT_EQ(north.size(), 1u);
    run({"backup", "--site", b, "--port", "1", "--terminal", "1", "--person", "17"}, kExitOk);
    run({"backup", "--site", b, "--port", "1", "--terminal", "1", "--person", "19"}, kExitOk);
    EXPECT_EQ(Enrolled(database, "north", 17), north);
    const std::vector<EnrolmentRow> south = Enrolled(database, "south", 17);
    ASSERT_EQ(south.size(), 1u);
    EXPECT_NE(south[0].fingerprint, north[0].fingerprint);
    {
      auto swipes = vanto::db::Database::Open(database)->Swipes();
      EXPECT_EQ(swipes->Enrolments("north"), (std::vector<store::EnrolmentEntry>{{17, 0, 1}}));
      EXPECT_EQ(swipes->Enrolments("south"), (std::vector<store::EnrolmentEntry>{{17, 0, 1}, {19, 10, 1}}));
      EXPECT_EQ(swipes->Enrolments().size(), 3u);
    }
    // North's terminal lost person 17: the restore at north writes north's template back, and
    // south's person 19 is no person of north's.
    site_.EditTerminal(1, 1, [](terminal::sim::SimTerminal& t) { t.persons.erase(17); });
    run({"restore", "--site", a, "--port", "1", "--terminal", "1", "--person", "17"}, kExitOk);
    run({"restore", "--site", a, "--port", "1", "--terminal", "1", "--person", "19"}, kExitFalse);
    auto restored = site_.Terminal(1, 1);
    ASSERT_TRUE(restored && restored->persons.count(17) && restored->persons.at(17).fingerprints.count(0));
    const auto expected = TemplateOf(1), got = restored->persons.at(17).fingerprints.at(0);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 459, got.begin()));
    EXPECT_FALSE(restored->persons.count(19));
  }
}

// Two sites' person 17 are two people: each site's `people`, `swipes` and `report` show its own
// name and employee code, `--all-sites` lists both with their sites; `rejected` and `conflicts`
// list each site's own, and `--all-sites` both.
TEST_P(SitesE2E, EachSiteHasItsOwnPeopleRejectedRecordsAndConflicts) {
  Terminal(1, {{17, 8, 0}});
  Terminal(2, {{17, 8, 0}});
  Start();
  Clear();
  for (const Engine& engine : Engines()) {
    SCOPED_TRACE(engine.name);
    const std::string database = FreshDatabase(engine, "people");
    if (database.empty()) continue;
    const std::string a = SiteFile("north", 1, database), b = SiteFile("south", 2, database);
    ASSERT_EQ(Vanto({"sync", "--site", a}).status, kExitOk);
    ASSERT_EQ(Vanto({"site", "add", "south", "--db", database}).status, kExitOk);
    ASSERT_EQ(Vanto({"sync", "--site", b}).status, kExitOk);
    const std::string north_csv = (folder_ / "north.csv").string(), south_csv = (folder_ / "south.csv").string();
    std::ofstream(north_csv) << "person,name,department,employee_code\n17,Ann North,Sales,E-1\n";
    std::ofstream(south_csv) << "person,name,department\n17,Bo South,Plant\n18,Cy South,,E-1\n";
    Result imported = Vanto({"people", "import", north_csv, "--site", a});
    ASSERT_EQ(imported.status, kExitOk) << imported.err;
    EXPECT_NE(imported.out.find("1 added"), std::string::npos) << imported.out;
    imported = Vanto({"people", "import", south_csv, "--site", b});
    ASSERT_EQ(imported.status, kExitOk) << imported.err;
    EXPECT_NE(imported.out.find("2 added, 0 updated"), std::string::npos) << imported.out;  // north's 17 untouched
    {
      auto db = vanto::db::Database::Open(database);
      auto swipes = db->Swipes();
      store::RejectedRecord rejected{1, 1, std::nullopt, 9, 17, 2026, 13, 1, 8, 0, "month 13", "2026-12-01T09:00:00Z",
                                     "north"};
      ASSERT_TRUE(swipes->AddRejected(rejected));
      rejected.site = "south";
      rejected.person = 18;
      ASSERT_TRUE(swipes->AddRejected(rejected));
      store::RecordConflict conflict;
      conflict.log = {77, 3, 0};
      conflict.person = 17;
      conflict.time = "2026-12-01 08:00:00";
      conflict.found_at = "2026-12-01T09:00:00Z";
      conflict.site = "south";
      swipes->PutConflict(conflict);
    }
    struct Case {
      std::vector<std::string> args;
      std::vector<std::string> shows, hides;
    } cases[] = {
        {{"people", "--json", "--site", a}, {"\"Ann North\"", "\"E-1\""}, {"South"}},
        {{"people", "--json", "--site", b}, {"\"Bo South\"", "\"Cy South\""}, {"North"}},
        {{"people", "--csv", "--all-sites", "--db", database},
         {"person,name,department,employee_code,site", "17,Ann North,Sales,E-1,north", "17,Bo South,Plant,,south"},
         {}},
        {{"swipes", "--json", "--site", a}, {"\"Ann North\""}, {"South"}},
        {{"swipes", "--json", "--db", database, "--site-name", "south"}, {"\"Bo South\""}, {"North"}},
        {{"report", "--json", "--month", "2026-12", "--site", a}, {"\"Ann North\"", "\"employee_code\":\"E-1\""}, {"South"}},
        {{"report", "--csv", "--month", "2026-12", "--site", b}, {"17,Bo South,Plant,2026-12-01"}, {"North"}},
        {{"rejected", "--csv", "--site", a}, {"1,1,,,9,17,"}, {",18,"}},
        {{"rejected", "--csv", "--site", b}, {"1,1,,,9,18,"}, {",17,"}},
        {{"rejected", "--csv", "--all-sites", "--db", database},
         {",first_seen,site", "1,1,,,9,17,", "north", "1,1,,,9,18,", "south"},
         {}},
        {{"conflicts", "--json", "--site", a}, {"[]"}, {"\"person\""}},
        {{"conflicts", "--json", "--site", b}, {"\"person\": 17"}, {"\"site\""}},
        {{"conflicts", "--json", "--all-sites", "--db", database}, {"\"site\": \"south\""}, {}},
        {{"conflicts", "--csv", "--all-sites", "--db", database}, {",site\n", ",south\n"}, {}},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
      Result r = Vanto(c.args);
      ASSERT_EQ(r.status, kExitOk) << r.err;
      for (const std::string& text : c.shows) EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
      for (const std::string& text : c.hides) EXPECT_EQ(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    }
    // Without --all-sites a database of two sites names them rather than mixing them.
    EXPECT_EQ(Vanto({"people", "--db", database, "--site", SiteFile("", 1, database)}).status, kExitUsage);
  }
}

INSTANTIATE_TEST_SUITE_P(Pty, SitesE2E, ::testing::Values(Transport::kPty), TransportName);

}  // namespace
}  // namespace vanto::cli::testing
