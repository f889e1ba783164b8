// Several sites in one database, end to end on both engines: each site's version 1 terminal on
// port 1 as terminal 1 (no identity: keyed with its site), a site file naming each site, and
// `vanto sync`, `vanto swipes`, `vanto site add`/`rename` and `vanto db assign-site` over them,
// and each site's people, rejected records, conflicts and enrolments; a table of sites whose
// version 1 terminals collide, a terminal with identity moved between sites, clones at two sites,
// and two hosts syncing one site at once.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <set>

#include "host/db/database.h"
#include "host/db/record_store.h"
#include "host/db/sites.h"
#include "host/db/sync_runs.h"
#include "host/metrics.h"
#include "host/site_choice.h"
#include "platform/ado/enrolment.h"
#include "tests/cli/child_process.h"
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
  using Swipes = std::vector<std::array<int, 3>>;  // (person, hour, minute) on 2026-12-01
  static std::vector<terminal::sim::CardRecordFields> Records(const Swipes& swipes) {
    std::vector<terminal::sim::CardRecordFields> records;
    for (const auto& [person, hour, minute] : swipes) records.push_back({person, 2026, 12, 1, hour, minute});
    return records;
  }
  // Simulator port `port` holds a version 1 terminal 1 with `swipes`.
  terminal::sim::SimTerminal& Terminal(int port, const Swipes& swipes) {
    auto& t = site_.AddTerminal(port, 1);
    t.version = 1;
    t.records = Records(swipes);
    return t;
  }
  // A site file: site `name` (none when empty) whose port 1 is the simulator's port `sim_port`
  // with `terminals` (its file named `file`, or after the site).
  std::string SiteFile(const std::string& name, int sim_port, const std::string& database,
                       const std::string& terminals = "1", const std::string& file = "") {
    std::string path = (folder_ / ((file.empty() ? name.empty() ? "unnamed" : name : file) + ".toml")).string();
    std::ofstream(path) << (name.empty() ? "" : "site = \"" + name + "\"\n") << "database = \"" << database
                        << "\"\n[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\n[[port]]\nnumber = 1\n"
                        << "device = \"" << paths_.at(sim_port) << "\"\nterminals = [" << terminals << "]\n";
    return path;
  }
  // Syncs site `name` whose port 1 is the simulator's port `sim_port` (terminal `address`),
  // adding the site first when the database holds others: the sync's result.
  Result SyncSite(const std::string& database, const std::string& name, int sim_port, int address = 1) {
    const std::string file = SiteFile(name, sim_port, database, std::to_string(address));
    bool known = true;
    {
      auto db = vanto::db::Database::Open(database);
      const std::vector<store::SiteRow> sites = store::ListSites(*db->Tables(true));
      known = sites.empty() || std::any_of(sites.begin(), sites.end(), [&](const store::SiteRow& s) { return s.name == name; });
    }
    if (!known) {
      Result added = Vanto({"site", "add", name, "--db", database});
      EXPECT_EQ(added.status, kExitOk) << added.err;
    }
    return Vanto({"sync", "--site", file, "--json"});
  }
  // The two sites most tests start from: north's terminal on simulator port 1, south's on port
  // 2, each synced once into a fresh database of `engine` (its location; empty when refused).
  struct TwoSites {
    std::string database, north, south;
  };
  TwoSites SyncTwoSites(const Engine& engine, const std::string& name) {
    TwoSites sites{FreshDatabase(engine, name), "", ""};
    if (sites.database.empty()) return sites;
    for (const auto& [site, port] : {std::pair<const char*, int>{"north", 1}, {"south", 2}}) {
      Result r = SyncSite(sites.database, site, port);
      EXPECT_EQ(r.status, kExitOk) << site << ": " << r.err << r.out;
    }
    sites.north = SiteFile("north", 1, sites.database);
    sites.south = SiteFile("south", 2, sites.database);
    return sites;
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
    Result first = SyncSite(database, "north", 1);
    ASSERT_EQ(first.status, kExitOk) << first.err << first.out;
    // A database that holds a site takes another only once it is added.
    const std::string a = SiteFile("north", 1, database), b = SiteFile("south", 2, database);
    Result refused = Vanto({"sync", "--site", b});
    EXPECT_EQ(refused.status, kExitUsage);
    EXPECT_NE(refused.err.find("holds no site south (it holds north)"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("vanto site add south"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("vanto site rename OLD south"), std::string::npos) << refused.err;
    Result second = SyncSite(database, "south", 2);
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
// name and employee code, `--all-sites` lists both with their sites; `rejected`, `conflicts` and
// `sync --history` list each site's own, and `--all-sites` both.
TEST_P(SitesE2E, EachSiteHasItsOwnPeopleRejectedRecordsAndConflicts) {
  Terminal(1, {{17, 8, 0}});
  Terminal(2, {{17, 8, 0}});
  Start();
  Clear();
  for (const Engine& engine : Engines()) {
    SCOPED_TRACE(engine.name);
    const TwoSites sites = SyncTwoSites(engine, "people");
    if (sites.database.empty()) continue;
    const std::string &database = sites.database, &a = sites.north, &b = sites.south;
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
        // Each site's runs (north's sync was run 1, south's run 2); --all-sites every site's.
        {{"sync", "--history", "--json", "--site", a}, {"\"id\": 1,"}, {"\"id\": 2,", "\"site\""}},
        {{"sync", "--history", "--json", "--site", b}, {"\"id\": 2,"}, {"\"id\": 1,"}},
        {{"sync", "--history", "--json", "--all-sites", "--site", b},
         {"\"id\": 1,", "\"site\": \"north\"", "\"id\": 2,", "\"site\": \"south\""},
         {}},
        {{"sync", "--history", "--all-sites", "--site", a}, {"RUN  SITE ", "\n  2  south ", "\n  1  north "}, {}},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
      Result r = Vanto(c.args);
      ASSERT_EQ(r.status, kExitOk) << r.err;
      for (const std::string& text : c.shows) EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
      for (const std::string& text : c.hides) EXPECT_EQ(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    }
    // --all-sites lists runs; a sync reads only its own site's terminals.
    EXPECT_EQ(Vanto({"sync", "--all-sites", "--site", a}).status, kExitUsage);
    // Without --all-sites a database of two sites names them rather than mixing them.
    EXPECT_EQ(Vanto({"people", "--db", database, "--site", SiteFile("", 1, database)}).status, kExitUsage);
  }
}

// Sites whose terminals collide, on both engines: version 1 terminals on port 1 as the same
// terminal at two and three sites with the same person and minute, a terminal with identity
// moved from one site to another (its log goes on), and clones (one serial, two logs) at two
// sites. Every swipe is stored once, by content, under the site that read it.
TEST_P(SitesE2E, ATableOfSitesWithCollidingMovedAndClonedTerminals) {
  struct Read {
    const char* site;
    int line;                 // the simulator's port that is the site's port 1
    std::uint32_t identity;   // 0: a version 1 terminal (no identity); else version 2, generation 7
    Swipes swipes;
    int status;               // of its `vanto sync`
  };
  struct Case {
    const char* name;
    std::vector<Read> reads;
    std::vector<std::pair<const char*, Swipes>> stored;  // by site
    std::map<std::string, std::size_t> conflicts;        // open, by the site that found them
  };
  const std::vector<Case> cases = {
      {"two sites",
       {{"north", 1, 0, {{17, 8, 0}, {18, 8, 1}}, kExitOk}, {"south", 2, 0, {{17, 8, 0}, {19, 8, 2}}, kExitOk}},
       {{"north", {{17, 8, 0}, {18, 8, 1}}}, {"south", {{17, 8, 0}, {19, 8, 2}}}},
       {}},
      {"three sites, two with the same log",
       {{"north", 1, 0, {{17, 8, 0}, {18, 8, 1}}, kExitOk},
        {"south", 2, 0, {{17, 8, 0}, {19, 8, 2}}, kExitOk},
        {"west", 3, 0, {{17, 8, 0}, {18, 8, 1}}, kExitOk},
        {"north", 1, 0, {{17, 8, 0}, {18, 8, 1}, {17, 9, 0}}, kExitOk}},
       {{"north", {{17, 8, 0}, {18, 8, 1}, {17, 9, 0}}},
        {"south", {{17, 8, 0}, {19, 8, 2}}},
        {"west", {{17, 8, 0}, {18, 8, 1}}}},
       {}},
      {"a terminal with identity moved from north to south",
       {{"north", 1, 0x5A01, {{17, 8, 0}, {18, 8, 1}}, kExitOk},
        {"south", 2, 0x5A01, {{17, 8, 0}, {18, 8, 1}, {20, 8, 3}, {17, 9, 0}}, kExitOk}},
       {{"north", {{17, 8, 0}, {18, 8, 1}}}, {"south", {{20, 8, 3}, {17, 9, 0}}}},
       {}},
      {"clones at two sites",
       {{"north", 1, 0x5A02, {{17, 8, 0}, {18, 8, 1}}, kExitOk},
        {"south", 2, 0x5A02, {{30, 8, 0}, {31, 8, 5}, {32, 8, 6}}, kExitFalse}},
       {{"north", {{17, 8, 0}, {18, 8, 1}}}, {"south", {{30, 8, 0}, {31, 8, 5}, {32, 8, 6}}}},
       {{"south", 1}}},
  };
  // Case c's terminal is terminal c + 1 on every line (silent until a read puts a log on it).
  for (std::size_t c = 0; c < cases.size(); ++c)
    for (int line : {1, 2, 3}) site_.AddTerminal(line, static_cast<int>(c + 1)).silent = true;
  Start();
  Clear();
  for (std::size_t c = 0; c < cases.size(); ++c)
    for (const Engine& engine : Engines()) {
      const Case& k = cases[c];
      const int address = static_cast<int>(c + 1);
      SCOPED_TRACE(std::string(engine.name) + ": " + k.name);
      const std::string database = FreshDatabase(engine, "table-" + std::to_string(c));
      if (database.empty()) continue;
      for (const Read& read : k.reads) {
        site_.EditTerminal(read.line, address, [&](terminal::sim::SimTerminal& t) {
          t.silent = false;
          t.version = read.identity ? 2 : 1;
          t.identity = read.identity;
          t.generation = 7;
          t.records = Records(read.swipes);
        });
        Result r = SyncSite(database, read.site, read.line, address);
        EXPECT_EQ(r.status, read.status) << read.site << ": " << r.err << r.out;
      }
      std::multiset<std::string> expected;
      for (const auto& [site, swipes] : k.stored)
        for (const auto& r : Records(swipes)) expected.insert(std::string(site) + " " + std::to_string(r.person) + " " + TimeText(r));
      EXPECT_EQ(Stored(database), expected);
      std::map<std::string, std::size_t> conflicts;
      for (const store::RecordConflict& conflict : vanto::db::Database::Open(database)->Swipes()->Conflicts())
        ++conflicts[conflict.site];
      EXPECT_EQ(conflicts, k.conflicts);
      // Each site lists what it stored.
      for (const auto& [site, swipes] : k.stored) {
        std::multiset<std::string> persons;
        for (const auto& [person, hour, minute] : swipes) persons.insert(std::to_string(person));
        EXPECT_EQ(Listed({"--db", database, "--site-name", site}), persons) << site;
      }
    }
}

// Two hosts syncing one site at once: two `vanto sync` processes, each with its own site file
// naming the same site and database, and its own line (a host's port locks are its own), to
// terminals whose logs overlap (one read later than the other). Each swipe is stored once, both
// runs are recorded, and nothing is a conflict.
TEST_P(SitesE2E, TwoHostsSyncingOneSiteAtOnceStoreEachSwipeOnce) {
  const auto older = Log(40, 500, 1), newer = Log(60, 500, 1);            // version 1, terminal 1
  const auto first = Log(50, 700, 3), shorter = Log(30, 700, 3);         // identity, terminal 2
  for (int line : {1, 2}) {
    auto& plain = site_.AddTerminal(line, 1);
    plain.version = 1;
    plain.records = line == 1 ? older : newer;
    auto& known = site_.AddTerminal(line, 2);
    known.version = 2;
    known.identity = 0x5B01;
    known.generation = 7;
    known.records = line == 1 ? first : shorter;
  }
  Start();
  Clear();
  for (const Engine& engine : Engines()) {
    SCOPED_TRACE(engine.name);
    const std::string database = FreshDatabase(engine, "hosts");
    if (database.empty()) continue;
    std::vector<std::unique_ptr<Child>> hosts;
    for (int line : {1, 2}) {
      const std::string host = std::string("host-") + engine.name + "-" + std::to_string(line);
      const std::string file = SiteFile("north", line, database, "1, 2", host);
      std::filesystem::create_directories(folder_ / host);
      hosts.push_back(std::make_unique<Child>(folder_, host, std::vector<std::string>{"sync", "--site", file, "--json"},
                                              std::vector<std::string>{"VANTO_REGISTRY=" + (folder_ / host / "registry").string()}));
    }
    for (auto& host : hosts) {
      Result r = host->Wait(std::chrono::seconds(90));
      EXPECT_EQ(r.status, kExitOk) << r.err << r.out;
    }
    std::multiset<std::string> expected;
    for (const auto* log : {&newer, &first})
      for (const auto& r : *log) expected.insert("north " + std::to_string(r.person) + " " + TimeText(r));
    EXPECT_EQ(Stored(database), expected);
    auto db = vanto::db::Database::Open(database);
    EXPECT_EQ(db->Swipes()->Conflicts().size(), 0u);
    const std::vector<store::SyncRun> runs = db->SyncRuns()->Recent(10);
    ASSERT_EQ(runs.size(), 2u);
    for (const store::SyncRun& run : runs) {
      EXPECT_TRUE(run.ended_at.has_value()) << run.id;
      ASSERT_EQ(run.terminals.size(), 2u) << run.id;
      for (const store::RunTerminal& t : run.terminals) EXPECT_EQ(t.outcome, "synced") << t.cause;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pty, SitesE2E, ::testing::Values(Transport::kPty), TransportName);

}  // namespace
}  // namespace vanto::cli::testing
