// A whole site end to end: a site file, `vanto sync` over several ports at once, two syncs
// started together, a scan during a sync, ports that cannot be used, `check`, and site files
// that are refused. The host runs as its own processes here, as it does at a site.
#include <fcntl.h>
#include <pwd.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "accounts/accounts_store.h"
#include "host/db/record_store.h"
#include "host/db/database.h"
#include "host/db/sync_runs.h"
#include "terminal/control/port_lock.h"
#include "tests/cli/child_process.h"
#include "tests/cli/sim_fixture.h"
#include "host/db/database.h"

namespace vanto::cli::testing {
namespace {

using nlohmann::json;

class SiteE2E : public SimSite {
 protected:
  // Ports 1..ports with terminals 1 and 2 each, `records` swipes per terminal.
  void Seed(int ports, int records) {
    for (int port = 1; port <= ports; ++port)
      for (int terminal = 1; terminal <= 2; ++terminal) {
        auto& t = site_.AddTerminal(port, terminal);
        for (int i = 0; i < records; ++i)
          t.records.push_back(Swipe(100 + (i + port + terminal) % 11, 1 + i / 600, 7 + (i % 600) / 60, i % 60));
      }
  }
  std::string WriteSite(const std::string& text, const std::string& name = "site.toml") {
    std::string path = (folder_ / name).string();
    std::ofstream(path) << text;
    return path;
  }
  // A site file for the simulator's ports: probe and answer timeouts that suit a simulated line.
  std::string SiteText(int ports, const std::string& extra_line = "") {
    std::string text = "database = \"vanto.db\"\n[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\n" + extra_line;
    for (int port = 1; port <= ports; ++port)
      text += "\n[[port]]\nnumber = " + std::to_string(port) + "\ndevice = \"" + paths_.at(port) +
              "\"\nterminals = [1, 2]\n";
    return text;
  }
  std::int64_t Stored(std::optional<int> port = {}, std::optional<int> terminal = {}) {
    return store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes(port, terminal);
  }
  void Clear() {
    // The control reads the ports from the site file, not from what the fixture set.
    for (int port = 1; port <= 4; ++port) unsetenv(("VANTO_FK_PORT_" + std::to_string(port)).c_str());
    unsetenv("VANTO_FK_PROBE_TIMEOUT_MS");
    unsetenv("VANTO_FK_TIMEOUT_MS");
  }
};

TEST_P(SiteE2E, OneSyncDownloadsThreePortsOfTwoTerminals) {
  Seed(3, 400);
  Start();
  Clear();
  std::string site = WriteSite(SiteText(3));
  Child first(folder_, "first", {"sync", "--site", site, "--json"});
  Result r = first.Wait();
  ASSERT_EQ(r.status, kExitOk) << r.err << r.out;
  json summary = json::parse(r.out);
  EXPECT_EQ(summary["site"], site);
  EXPECT_EQ(summary["database"], (folder_ / "vanto.db").string());  // relative to the site file
  ASSERT_EQ(summary["terminals"].size(), 6u);
  int index = 0;
  for (int port = 1; port <= 3; ++port)
    for (int terminal = 1; terminal <= 2; ++terminal, ++index) {
      const json& row = summary["terminals"][index];
      EXPECT_EQ(row["port"], port);
      EXPECT_EQ(row["terminal"], terminal);
      EXPECT_EQ(row["delivered"], 400);
      EXPECT_EQ(row["new"], 400);
      EXPECT_EQ(row["outcome"], "synced");
      EXPECT_FALSE(row.contains("cause"));
      EXPECT_GE(row["seconds"].get<double>(), 0.0);
      EXPECT_EQ(Stored(port, terminal), 400);
    }
  // Again: only what is new is read (nothing but the last record stored, compared), and the table names every terminal; with --all
  // everything is delivered again and nothing stored twice.
  Child again(folder_, "again", {"sync", "--site", site});
  Result table = again.Wait();
  ASSERT_EQ(table.status, kExitOk) << table.err;
  EXPECT_NE(table.out.find("PORT  TERMINAL  DELIVERED  NEW  SECONDS  OUTCOME"), std::string::npos) << table.out;
  EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 7);
  EXPECT_NE(table.out.find("   3         2          1    0"), std::string::npos) << table.out;
  Child all(folder_, "all", {"sync", "--site", site, "--all"});
  Result full = all.Wait();
  ASSERT_EQ(full.status, kExitOk) << full.err;
  EXPECT_NE(full.out.find("   3         2        400    0"), std::string::npos) << full.out;
  EXPECT_EQ(Stored(), 6 * 400);
}

TEST_P(SiteE2E, TwoSyncsAtOnceTakeTurnsOnEachPortAndStoreNothingTwice) {
  Seed(2, 1500);
  site_.Options().pace = true;  // at the line's speed: the two runs really overlap
  Start();
  Clear();
  std::string site = WriteSite(SiteText(2, "lock_timeout_ms = 120000\n"));
  // The database's lock wait is roomy too: both runs create and migrate it at the same moment.
  Child one(folder_, "one", {"sync", "--site", site, "--json", "--lock-timeout", "60"});
  Child two(folder_, "two", {"sync", "--site", site, "--json", "--lock-timeout", "60"});
  Result a = one.Wait(), b = two.Wait();
  ASSERT_EQ(a.status, kExitOk) << a.err;
  ASSERT_EQ(b.status, kExitOk) << b.err;
  json ja = json::parse(a.out), jb = json::parse(b.out);
  for (std::size_t i = 0; i < 4; ++i) {
    // No download was broken off by the other; the run that came second on a port read only what
    // the first had not stored (nothing), and between them each record was new exactly once.
    EXPECT_LE(ja["terminals"][i]["delivered"].get<int>(), 1500) << i;
    EXPECT_LE(jb["terminals"][i]["delivered"].get<int>(), 1500) << i;
    EXPECT_EQ(ja["terminals"][i]["new"].get<int>() + jb["terminals"][i]["new"].get<int>(), 1500) << i;
    EXPECT_EQ(ja["terminals"][i]["outcome"], "synced");
    EXPECT_EQ(jb["terminals"][i]["outcome"], "synced");
  }
  EXPECT_EQ(Stored(), 4 * 1500);
  // Two hosts talking at once on a line would lose answers to each other and time out.
  for (int port = 1; port <= 2; ++port) {
    const auto stats = site_.Stats(port);
    EXPECT_EQ(stats.answers, stats.requests) << "port " << port;
    EXPECT_EQ(stats.late, 0u) << "port " << port;
  }
}

TEST_P(SiteE2E, AScanDuringASyncWaitsThenNamesTheHolderAndTheSyncCompletes) {
  auto& t = site_.AddTerminal(1, 1);
  for (int i = 0; i < 6000; ++i) t.records.push_back(Swipe(101 + i % 12, 1 + i / 600, 7 + (i % 600) / 60, i % 60));
  site_.Options().pace = true;
  Start();
  Clear();
  std::string site = WriteSite("database = \"vanto.db\"\n[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\n"
                               "[[port]]\nnumber = 1\ndevice = \"" + paths_.at(1) + "\"\nterminals = [1]\n");
  Child sync(folder_, "sync", {"sync", "--site", site, "--json"});
  // Wait until the sync holds the port: the lock's holder is the sync process.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::optional<terminal::control::LockHolder> holder;
  while (std::chrono::steady_clock::now() < deadline &&
         !(holder = terminal::control::FindLockHolder(paths_.at(1))))
    std::this_thread::yield();
  ASSERT_TRUE(holder.has_value()) << sync.Err();
  EXPECT_EQ(holder->pid, sync.pid());
  Child scan(folder_, "scan", {"scan", "--site", site}, {"VANTO_FK_LOCK_TIMEOUT_MS=300"});
  Result s = scan.Wait();
  EXPECT_EQ(s.status, kExitFalse) << s.err;
  EXPECT_NE(s.err.find("vanto scan: port 1 (" + paths_.at(1) + "): busy, in use by process " +
                       std::to_string(sync.pid()) + " (vanto)"),
            std::string::npos)
      << s.err;
  Result r = sync.Wait();
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(json::parse(r.out)["terminals"][0]["delivered"], 6000);
  EXPECT_EQ(Stored(1, 1), 6000);
}

TEST_P(SiteE2E, PortsThatCannotBeUsedAreNamedWithTheirCause) {
  Seed(3, 50);
  Start();
  Clear();
  std::ofstream(folder_ / "plain-file") << "not a line\n";
  // Port 3 is held by this process (as another program holding the line would).
  terminal::control::PortLock held = terminal::control::PortLock::Acquire(paths_.at(3), std::chrono::milliseconds(0));
  std::string site = WriteSite(
      "database = \"vanto.db\"\n[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\nlock_timeout_ms = 200\n"
      "[[port]]\nnumber = 1\ndevice = \"" + (folder_ / "no-such-device").string() + "\"\nterminals = [1, 2]\n"
      "[[port]]\nnumber = 2\ndevice = \"" + (folder_ / "plain-file").string() + "\"\nterminals = [1, 2]\n"
      "[[port]]\nnumber = 3\ndevice = \"" + paths_.at(3) + "\"\nterminals = [1, 2]\n"
      "[[port]]\nnumber = 4\ndevice = \"" + paths_.at(1) + "\"\nterminals = [1, 2]\n");
  // Port 4 is the simulator's port 1 under another number: its terminals still sync.
  Child sync(folder_, "sync", {"sync", "--site", site, "--json"});
  Result r = sync.Wait();
  EXPECT_EQ(r.status, kExitFalse) << r.err;
  json rows = json::parse(r.out)["terminals"];
  ASSERT_EQ(rows.size(), 8u) << r.out;
  const std::string own = std::to_string(getpid());
  struct Expect {
    int port;
    std::string cause;
  } expected[] = {{1, "the device does not exist"}, {2, "not a serial device"}, {3, "busy, in use by process " + own}};
  for (const Expect& e : expected)
    for (int i = 0; i < 2; ++i) {
      const json& row = rows[(e.port - 1) * 2 + i];
      EXPECT_EQ(row["port"], e.port);
      EXPECT_EQ(row["outcome"], "failed");
      EXPECT_NE(row["cause"].get<std::string>().find(e.cause), std::string::npos) << row.dump();
    }
  EXPECT_EQ(rows[6]["outcome"], "synced");
  EXPECT_EQ(rows[7]["outcome"], "synced");
  EXPECT_EQ(Stored(4, 1), 50);
  EXPECT_NE(r.err.find("vanto sync: port 1, terminal 1: "), std::string::npos) << r.err;

  // The run is recorded as this user's, each terminal with its cause's code; --history lists it.
  Child history(folder_, "history", {"sync", "--history", "--json", "--site", site});
  Result h = history.Wait();
  ASSERT_EQ(h.status, kExitOk) << h.err;
  json runs = json::parse(h.out);
  ASSERT_EQ(runs.size(), 1u) << h.out;
  EXPECT_EQ(runs[0]["started_by"], "command");
  EXPECT_EQ(runs[0]["who"], getpwuid(geteuid())->pw_name);
  EXPECT_EQ(runs[0]["ports"], "1,2,3,4");
  EXPECT_FALSE(runs[0]["ended_at"].is_null());
  ASSERT_EQ(runs[0]["terminals"].size(), 8u);
  const char* codes[] = {"missing", "missing", "not-serial", "not-serial", "busy", "busy", nullptr, nullptr};
  for (int i = 0; i < 8; ++i) {
    const json& t = runs[0]["terminals"][i];
    if (codes[i]) {
      EXPECT_EQ(t["outcome"], "failed") << t.dump();
      EXPECT_EQ(t["cause_code"], codes[i]) << t.dump();
    } else {
      EXPECT_EQ(t["outcome"], "synced") << t.dump();
      EXPECT_FALSE(t.contains("cause_code")) << t.dump();
      EXPECT_EQ(t["new"], 50);
    }
  }
  // The database keeps each failed row's English words beside its code, for a reader of the table.
  {
    const std::vector<store::SyncRun> recorded = db::Database::Open(db_)->SyncRuns()->Recent(1);
    ASSERT_EQ(recorded.size(), 1u);
    ASSERT_EQ(recorded[0].terminals.size(), 8u);
    for (const Expect& e : expected)
      for (int i = 0; i < 2; ++i) {
        const store::RunTerminal& t = recorded[0].terminals[static_cast<std::size_t>((e.port - 1) * 2 + i)];
        EXPECT_EQ(t.cause.rfind("port " + std::to_string(e.port) + " (", 0), 0u) << t.cause;
        EXPECT_NE(t.cause.find(e.cause), std::string::npos) << t.cause;
      }
    EXPECT_EQ(recorded[0].terminals[6].cause, "");
  }
  // The sync started by hand is audited under this user's name: its intent and its outcome.
  std::vector<std::string> audited;
  for (const accounts::AuditEntry& e :
       vanto::db::Database::Open(db_)->Accounts()->AuditTrail(10, std::nullopt)) {
    EXPECT_EQ(e.actor, getpwuid(geteuid())->pw_name);
    EXPECT_EQ(e.origin, "command line");
    audited.push_back(e.action + " " + e.details);
  }
  EXPECT_EQ(audited, (std::vector<std::string>{"sync.done site: 2/8 terminals synced, 100 new records", "sync.start site"}));
  Child table(folder_, "history-table", {"sync", "--history", "--site", site});
  Result listed = table.Wait();
  ASSERT_EQ(listed.status, kExitOk) << listed.err;
  EXPECT_NE(listed.out.find("run 1: port 3, terminal 2: failed [busy]"), std::string::npos) << listed.out;

  // scan: each port that could not be used, with its cause; exit 1.
  Child scan(folder_, "scan", {"scan", "--site", site});
  Result s = scan.Wait();
  EXPECT_EQ(s.status, kExitFalse);
  EXPECT_NE(s.out.find("   4         1"), std::string::npos) << s.out;
  for (const Expect& e : expected) EXPECT_NE(s.err.find("vanto scan: port " + std::to_string(e.port) + " ("), std::string::npos) << s.err;
  EXPECT_NE(s.err.find("busy, in use by process " + own), std::string::npos) << s.err;

  // check: the same causes, and exit 1; with the port released and the bad ports gone, exit 0.
  Child check(folder_, "check", {"check", "--site", site});
  Result c = check.Wait();
  EXPECT_EQ(c.status, kExitFalse);
  EXPECT_NE(c.out.find("FAIL  port 1 (" + (folder_ / "no-such-device").string() + "): the device does not exist"),
            std::string::npos)
      << c.out;
  EXPECT_NE(c.out.find("FAIL  port 2 (" + (folder_ / "plain-file").string() + "): not a serial device"), std::string::npos);
  EXPECT_NE(c.out.find("FAIL  port 3 (" + paths_.at(3) + "): busy"), std::string::npos);
  EXPECT_NE(c.out.find("ok    port 4, terminal 2 answers"), std::string::npos);
  EXPECT_NE(c.out.find("ok    VANTO.clsMachine: "), std::string::npos);
  EXPECT_NE(c.out.find("is writable"), std::string::npos);
  // check --json: each port's fault as a code with its values, and the words under "cause".
  Child check_json(folder_, "check-json", {"check", "--site", site, "--json"});
  Result cj = check_json.Wait();
  EXPECT_EQ(cj.status, kExitFalse) << cj.err;
  std::map<int, json> failed_ports;
  const json check_findings = json::parse(cj.out);
  for (const json& f : check_findings["findings"])
    if (f["code"] == "port-failed") failed_ports[f["port"].get<int>()] = f["values"];
  const char* faults[] = {"missing", "not-serial", "busy"};
  ASSERT_EQ(failed_ports.size(), 3u) << cj.out;
  for (const Expect& e : expected) {
    const json& values = failed_ports[e.port];
    EXPECT_EQ(values["fault"], faults[e.port - 1]) << values.dump();
    EXPECT_EQ(values["port"], std::to_string(e.port)) << values.dump();
    EXPECT_NE(values["cause"].get<std::string>().find(e.cause), std::string::npos) << values.dump();
  }
  EXPECT_EQ(failed_ports[3]["holder_pid"], own);

  // clock --json: the terminals of a port that cannot be used, with its code and cause.
  Child clocks(folder_, "clock", {"clock", "--site", site, "--json"});
  Result k = clocks.Wait();
  EXPECT_EQ(k.status, kExitFalse) << k.err;
  const json clock_rows = json::parse(k.out)["terminals"];
  ASSERT_EQ(clock_rows.size(), 8u) << k.out;
  for (const Expect& e : expected)
    for (int i = 0; i < 2; ++i) {
      const json& row = clock_rows[(e.port - 1) * 2 + i];
      EXPECT_EQ(row["state"], "port-failed") << row.dump();
      EXPECT_EQ(row["cause_code"], faults[e.port - 1]) << row.dump();
      EXPECT_NE(row["cause"].get<std::string>().find(e.cause), std::string::npos) << row.dump();
    }
  EXPECT_NE(clock_rows[6]["state"], "port-failed") << clock_rows[6].dump();

  held.Release();
  std::string good = WriteSite(SiteText(3), "good.toml");
  Child fine(folder_, "fine", {"check", "--site", good});
  Result f = fine.Wait();
  EXPECT_EQ(f.status, kExitOk) << f.out << f.err;
  EXPECT_EQ(f.out.find("FAIL"), std::string::npos) << f.out;
}

TEST_P(SiteE2E, BadSiteFilesAreRefusedBeforeAnyTraffic) {
  Seed(1, 10);
  Start();
  Clear();
  struct Case {
    std::string text, message;
  } cases[] = {
      {"[[port]]\nnumber = 1\ndevice = \"" + paths_.at(1) + "\"\nterminals = [1]\ncolour = \"red\"\n",
       ":5: key 'port.colour': unknown key"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n[[port]]\nnumber = 1\ndevice = \"b\"\nterminals = [1]\n",
       ":5: key 'port.number': port 1 is given twice"},
      {"[line]\nspeed = 1234\n[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n", ":2: key 'line.speed'"},
      {"this is not toml\n", ":1: not valid TOML"},
  };
  for (const Case& c : cases) {
    std::string site = WriteSite(c.text);
    Result r = Vanto({"sync", "--site", site});
    EXPECT_EQ(r.status, kExitUsage) << r.err;
    EXPECT_NE(r.err.find("vanto sync: " + site + c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(site_.Stats(1).requests, 0u);
  Result missing = Vanto({"sync", "--site", (folder_ / "none.toml").string()});
  EXPECT_EQ(missing.status, kExitUsage);
  EXPECT_NE(missing.err.find("cannot read the site file"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(folder_ / "vanto.db"));
}

TEST_P(SiteE2E, SiteInitWritesAFileThatSyncThenUses) {
  Seed(2, 20);
  Start();
  std::string path = (folder_ / "conf" / "site.toml").string();
  Result init = Vanto({"site", "init", "--ports", "1-3", "--terminals", "1-4", "--site", path});
  ASSERT_EQ(init.status, kExitOk) << init.err;
  EXPECT_NE(init.out.find("4 terminals on 2 ports"), std::string::npos) << init.out;
  // Private to its owner, whatever the umask.
  struct stat written {};
  ASSERT_EQ(::stat(path.c_str(), &written), 0);
  EXPECT_EQ(written.st_mode & 07777, 0600u);
  Result twice = Vanto({"site", "init", "--ports", "1-2", "--site", path});
  EXPECT_EQ(twice.status, kExitUsage);
  Clear();
  Child show(folder_, "show", {"site", "show", "--site", path});
  Result shown = show.Wait();
  ASSERT_EQ(shown.status, kExitOk) << shown.err;
  EXPECT_NE(shown.out.find("port 2.device"), std::string::npos);
  EXPECT_NE(shown.out.find(paths_.at(2)), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find(path + ":"), std::string::npos);
  Child sync(folder_, "sync", {"sync", "--site", path, "--db", db_});
  Result r = sync.Wait();
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(Stored(), 4 * 20);
}

VANTO_OVER_BOTH_TRANSPORTS(SiteE2E);

}  // namespace
}  // namespace vanto::cli::testing
