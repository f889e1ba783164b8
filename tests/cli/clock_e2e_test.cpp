// `vanto clock`, `check` and `sync` with terminal clocks, as a user runs them on a simulated site
// over pseudo-terminals and tcp://. The simulated clocks follow the real time here, so a drift is
// bounded by the seconds the test itself saw pass, never by a guessed margin.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <nlohmann/json.hpp>

#include "accounts/accounts.h"
#include "cli/command_support.h"
#include "host/clock.h"
#include "host/db/record_store.h"
#include "terminal/protocol/frame.h"
#include "terminal/protocol/frame_parser.h"
#include "tests/support/tcp_peer.h"
#include "tests/cli/sim_fixture.h"
#include "host/db/database.h"

namespace vanto::cli::testing {
namespace {

using nlohmann::json;

class ClockE2E : public UtcSimSite {
 protected:
  // A terminal per entry: version, clock offset, locked, silent.
  struct Bus {
    int version;
    std::int64_t offset = 0;
    bool locked = false, silent = false;
  };
  void Seed(const std::vector<Bus>& bus) {
    for (std::size_t i = 0; i < bus.size(); ++i) {
      auto& t = site_.AddTerminal(1, static_cast<int>(i) + 1);
      t.version = bus[i].version, t.clockOffset = bus[i].offset, t.clockLocked = bus[i].locked, t.silent = bus[i].silent;
    }
    count_ = bus.size();
  }
  std::string WriteSite(const std::string& extra = "") {
    std::string terminals;
    for (std::size_t t = 1; t <= count_; ++t) terminals += (t > 1 ? ", " : "") + std::to_string(t);
    const std::string path = (folder_ / "site.toml").string();
    std::ofstream(path) << "database = \"vanto.db\"\n" << extra
                        << "[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\nretries = 1\n[[port]]\nnumber = 1\ndevice = \""
                        << paths_.at(1) << "\"\nterminals = [" << terminals << "]\n";
    return path;
  }
  std::int64_t Offset(int terminal) const { return site_.Terminal(1, terminal)->clockOffset; }
  std::vector<accounts::AuditEntry> Audit() const {
    accounts::Accounts a(vanto::db::Database::Open(db_)->Accounts());
    auto trail = a.AuditTrail(100);
    std::reverse(trail.begin(), trail.end());  // oldest first
    return trail;
  }
  std::size_t count_ = 0;
};

TEST_P(ClockE2E, AMixedBusShowsEachClockAndTheSilentOneFails) {
  Seed({{1}, {2}, {3, 3600}, {3, 0, false, true}});
  Start();
  const std::string site = WriteSite();
  const std::int64_t before = UnixSeconds();
  Result r = Vanto({"clock", "--site", site, "--json"});
  const std::int64_t took = UnixSeconds() - before;
  ASSERT_EQ(r.status, kExitFalse) << r.err;  // terminal 4 does not answer
  const json out = json::parse(r.out);
  EXPECT_EQ(out["timezone"], "UTC");
  const json& rows = out["terminals"];
  ASSERT_EQ(rows.size(), 4u) << r.out;
  EXPECT_EQ(rows[0]["state"], "no-clock");
  EXPECT_EQ(rows[0]["version"], 1);
  EXPECT_EQ(rows[1]["state"], "no-clock");
  EXPECT_EQ(rows[1]["version"], 2);
  EXPECT_EQ(rows[2]["state"], "read");
  const std::int64_t drift = rows[2]["drift_seconds"];
  EXPECT_LE(drift, 3600);
  EXPECT_GE(drift, 3600 - took - 1);
  EXPECT_EQ(rows[3]["state"], "silent");
  EXPECT_NE(r.err.find("vanto clock: port 1, terminal 4: does not answer"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("terminal 1"), std::string::npos) << "a terminal without a clock is no failure: " << r.err;

  Result table = Vanto({"clock", "--site", site});
  EXPECT_NE(table.out.find("PORT  TERMINAL  CLOCK"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("HOST (UTC)"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("no clock (protocol version 2)"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("ahead"), std::string::npos) << table.out;
}

TEST_P(ClockE2E, SetMendsTheDriftAuditsItAndARefusedSetFails) {
  Seed({{3, 3600}, {3, -500, true}, {2}});
  Start();
  const std::string site = WriteSite();
  const bool synchronised = ReadHostClockState().synchronised;
  // Without the override an unsynchronised host sets nothing and says so (this machine's clock
  // may or may not be synchronised: the kernel decides which of the two is right).
  if (!synchronised) {
    Result refused = Vanto({"clock", "--site", site, "--set"});
    EXPECT_EQ(refused.status, kExitFalse);
    EXPECT_NE(refused.err.find("the host's clock is not synchronised"), std::string::npos) << refused.err;
    EXPECT_NE(refused.out.find("not set: the host's clock is not synchronised"), std::string::npos) << refused.out;
    EXPECT_EQ(Offset(1), 3600);
    EXPECT_FALSE(std::filesystem::exists(db_)) << "nothing was set, so nothing was audited";
  }
  const std::int64_t before = UnixSeconds();
  Result set = Vanto({"clock", "--site", site, "--set", "--even-if-unsynchronised", "--json"});
  const std::int64_t took = UnixSeconds() - before;
  EXPECT_EQ(set.status, kExitFalse) << set.err;  // terminal 2's clock is locked
  EXPECT_NE(set.err.find("vanto clock: port 1, terminal 2: not set: its clock is locked on the terminal"),
            std::string::npos)
      << set.err;
  EXPECT_EQ(set.err.find("terminal 1:"), std::string::npos) << set.err;
  EXPECT_EQ(set.err.find("terminal 3:"), std::string::npos) << "version 2 has no clock to set: " << set.err;
  if (!synchronised) {
    EXPECT_NE(set.err.find("warning"), std::string::npos) << set.err;
  }
  const json rows = json::parse(set.out)["terminals"];
  EXPECT_EQ(rows[0]["set"], "set");
  EXPECT_EQ(rows[1]["set"], "refused");
  EXPECT_EQ(rows[1]["refusal"], 10);
  EXPECT_FALSE(rows[2].contains("set"));
  // Set from the host's clock: in step but for the time the command took.
  EXPECT_LE(Offset(1), 0);
  EXPECT_GE(Offset(1), -took - 1);
  EXPECT_EQ(Offset(2), -500);

  // Intent and outcome for each set tried, under this user's name.
  std::vector<std::string> actions;
  for (const auto& e : Audit()) {
    actions.push_back(e.action);
    EXPECT_EQ(e.actor, OsUser());
    EXPECT_EQ(e.origin, "command line");
    EXPECT_NE(e.details.find("port 1 terminal "), std::string::npos) << e.details;
  }
  EXPECT_EQ(actions, (std::vector<std::string>{"clock.set", "clock.set.done", "clock.set", "clock.set.refused"}));

  // Shown again: mended (the clock shows the set offset, less the seconds this run took).
  const std::int64_t offset = Offset(1), shown_at = UnixSeconds();
  Result again = Vanto({"clock", "--site", site, "--json"});
  const std::int64_t took_again = UnixSeconds() - shown_at;
  const std::int64_t drift = json::parse(again.out)["terminals"][0]["drift_seconds"];
  EXPECT_LE(drift, offset);
  EXPECT_GE(drift, offset - took_again);
}

TEST_P(ClockE2E, CheckWarnsAboutDriftAndOpenFilesAndSyncFlagsImplausibleRecords) {
  Seed({{3, 7200}, {3, 0}});
  // Terminal 2: a record from next year and one a week before the record before it, among others.
  auto& t2 = site_.AddTerminal(1, 2);
  t2.records = {{101, 2026, 12, 1, 8, 0}, {102, 2099, 1, 1, 8, 0}, {103, 2026, 12, 1, 9, 0}, {104, 2026, 11, 20, 8, 0}};
  Start();
  const std::string site = WriteSite("[clock]\nwarn_drift_above = \"10m\"\n");
  Result sync = Vanto({"sync", "--site", site, "--json"});
  ASSERT_EQ(sync.status, kExitOk) << sync.err;
  const json rows = json::parse(sync.out)["terminals"];
  EXPECT_FALSE(rows[0].contains("implausible"));
  EXPECT_EQ(rows[1]["implausible"], 2);
  EXPECT_EQ(rows[1]["new"], 4);  // kept
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes(1, 2), 4);
  EXPECT_NE(sync.err.find("port 1, terminal 2: 2 records with implausible times"), std::string::npos) << sync.err;

  // As an old version or a careless copy left them (SQLite gives its -wal and -shm files the mode
  // of the database file: each is named).
  ASSERT_EQ(::chmod(db_.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(site.c_str(), 0644), 0);
  Result check = Vanto({"check", "--site", site});
  EXPECT_EQ(check.status, kExitOk) << check.out << check.err;  // warnings change no exit status
  EXPECT_NE(check.out.find("WARN  port 1, terminal 1: its clock is +"), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find("WARN  port 1, terminal 2"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("WARN  " + db_ + " holds people's data"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("WARN  site file " + site + " can be read by every user"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("ok    port 1, terminal 2 answers"), std::string::npos) << check.out;
  const std::int64_t offset = Offset(1);
  Result json_check = Vanto({"check", "--site", site, "--json"});
  std::set<std::string> warnings;
  const json findings = json::parse(json_check.out)["findings"];
  for (const json& f : findings)
    if (f["severity"] == "warning") warnings.insert(f["code"].get<std::string>());
  EXPECT_EQ(warnings, (std::set<std::string>{"database-readable-by-others", "site-file-readable-by-others", "clock-drift"}))
      << json_check.out;
  EXPECT_EQ(Offset(1), offset) << "check changes nothing";
}

TEST_P(ClockE2E, CheckWarnsAboutRecordConflictsNotAcknowledged) {
  Seed({{2}});
  Start();
  const std::string site = WriteSite();
  // A log's record 0 held, then delivered again with other content: a conflict the store lists.
  auto row = [](std::int32_t person, const char* time) {
    store::StoredSwipe r;
    r.port = 1, r.terminal = 1, r.person = person, r.time = time, r.minute = std::string(time).substr(0, 16);
    r.downloaded_at = "2026-12-08T10:00:00Z";
    r.identity = 77, r.generation = 3, r.index = 0;
    return r;
  };
  {
    store::RecordStore db(vanto::db::Database::Open(db_)->Swipes());
    const std::vector<store::StoredSwipe> held = {row(7, "2026-11-06 08:00:10")};
    db.swipes().InsertChecked(held, store::OnConflict::Continue);
    Result fine = Vanto({"check", "--site", site});
    EXPECT_EQ(fine.out.find("not acknowledged"), std::string::npos) << fine.out;
    const std::vector<store::StoredSwipe> other = {row(8, "2026-11-06 08:00:10")};
    ASSERT_EQ(db.swipes().InsertChecked(other, store::OnConflict::Continue).conflicts.size(), 1u);
  }
  Result check = Vanto({"check", "--site", site});
  EXPECT_EQ(check.status, kExitOk) << check.out;
  EXPECT_NE(check.out.find("WARN  1 record conflict not acknowledged yet"), std::string::npos) << check.out;
}

TEST_P(ClockE2E, SyncSetsAClockThatDriftsTooFarOnlyWhenTheHostsClockIsSynchronised) {
  Seed({{3, 3600}, {3, 30}});
  Start();
  const std::string site = WriteSite("[clock]\nset_when_drift_above = \"2m\"\n");
  const bool synchronised = ReadHostClockState().synchronised;
  Result sync = Vanto({"sync", "--site", site, "--json"});
  ASSERT_EQ(sync.status, kExitOk) << sync.err;  // a clock is no reason for a sync to fail
  const json rows = json::parse(sync.out)["terminals"];
  EXPECT_FALSE(rows[1]["clock"].contains("set")) << "30 s is within the limit";
  EXPECT_EQ(Offset(2), 30);
  if (synchronised) {
    EXPECT_EQ(rows[0]["clock"]["set"], "set");
    EXPECT_LE(Offset(1), 0);
    EXPECT_NE(sync.err.find("port 1, terminal 1: its clock was +"), std::string::npos) << sync.err;
  } else {
    EXPECT_EQ(rows[0]["clock"]["set"], "unsynchronised");
    EXPECT_EQ(Offset(1), 3600);
    EXPECT_NE(sync.err.find("the host's clock is not synchronised"), std::string::npos) << sync.err;
  }
}

TEST_P(ClockE2E, AnUnknownTimeZoneIsRefusedWithFileAndLine) {
  Seed({{3}});
  Start();
  const std::string site = WriteSite("timezone = \"Atlantis/Capital\"\n");
  Result r = Vanto({"clock", "--site", site});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find(site + ":2: key 'timezone': 'Atlantis/Capital' is no time zone"), std::string::npos) << r.err;
}

VANTO_OVER_BOTH_TRANSPORTS(ClockE2E);

// A version 3 terminal behind a device server whose clock answers month 13: no simulated clock
// can, since they count seconds. It answers begin-record-read (as version 3), read clock and set
// clock (and a probe, for check), and takes a new connection for each command run.
class BrokenClockTerminal {
 public:
  BrokenClockTerminal() : thread_([this] { Serve(); }) {}
  ~BrokenClockTerminal() {
    stop_ = true;
    thread_.join();
  }
  std::string Address() const { return peer_.Address(); }
  int sets() const { return sets_; }

 private:
  void Serve() {
    while (!stop_) {
      if (!peer_.Accept(std::chrono::milliseconds(100))) continue;
      terminal::protocol::FrameParser parser;
      while (!stop_) {
        pollfd ready{peer_.Connection(), POLLIN, 0};
        if (::poll(&ready, 1, 20) != 1) continue;
        std::uint8_t buffer[256];
        const ssize_t got = ::recv(peer_.Connection(), buffer, sizeof buffer, 0);
        if (got <= 0) break;
        parser.Feed(std::span(buffer, static_cast<std::size_t>(got)));
        while (auto request = parser.Next()) {
          std::vector<std::uint8_t> payload;
          if (request->command == 0x01)  // version 3, held 0, identity 0x01020304, capacity 1000, generation 1
            payload = {3, 0, 0, 0, 0, 4, 3, 2, 1, 0xE8, 0x03, 0, 0, 1, 0, 0, 0};
          else if (request->command == 0x02)  // held 0, generation 1, identity 0x01020304, capacity 1000, version 3
            payload = {0, 0, 0, 0, 1, 0, 0, 0, 4, 3, 2, 1, 0xE8, 0x03, 0, 0, 3};
          else if (request->command == 0x03 || request->command == 0x08)  // an empty last batch (coding 0)
            payload = {0, 0, 0, 0, 0, 1, 0};
          else if (request->command == 0x09)
            payload = {0xEA, 0x07, 13, 1, 8, 0, 0};  // 2026-13-01 08:00:00
          else if (request->command == 0x0A)
            ++sets_;
          peer_.Send(terminal::protocol::EncodeFrame(
              {request->address, static_cast<std::uint8_t>(request->command | 0x80), request->sequence, payload}));
        }
      }
    }
  }
  vanto::testing::TcpPeer peer_;
  std::atomic<bool> stop_{false};
  std::atomic<int> sets_{0};
  std::thread thread_;
};

TEST(ClockAnswer, AClockThatShowsNoValidTimeIsNamedAndSetMendsIt) {
  if (!VANTO_MODULES_BUILT) GTEST_SKIP() << "the driver and control modules are not part of this build";
  char pattern[] = "/tmp/vanto-clock-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  setenv("VANTO_REGISTRY", (folder / "registry").c_str(), 1);
  BrokenClockTerminal terminal;
  const std::string site = (folder / "site.toml").string();
  std::ofstream(site) << "database = \"vanto.db\"\ntimezone = \"UTC\"\n[line]\nanswer_timeout_ms = 2000\nretries = 1\n"
                      << "[[port]]\nnumber = 9\ndevice = \"" << terminal.Address() << "\"\nterminals = [7]\n";
  Result shown = Vanto({"clock", "--site", site});
  // A warning, as 'vanto sync' gives it: the terminal answered; its clock's state is shown.
  EXPECT_EQ(shown.status, kExitOk) << shown.err;
  EXPECT_NE(shown.err.find("vanto clock: warning: port 9, terminal 7: its clock shows no valid date and time"),
            std::string::npos)
      << shown.err;
  Result synced = Vanto({"sync", "--site", site, "--db", (folder / "vanto.db").string()});
  EXPECT_EQ(synced.status, kExitOk) << synced.err;
  EXPECT_NE(synced.err.find("warning: port 9, terminal 7: its clock shows no valid date and time"), std::string::npos)
      << synced.err;
  EXPECT_NE(shown.err.find("2026-13-01 08:00:00"), std::string::npos) << shown.err;
  Result check = Vanto({"check", "--site", site, "--json"});
  EXPECT_NE(check.out.find("\"clock-invalid\""), std::string::npos) << check.out;
  EXPECT_EQ(terminal.sets(), 0);
  Result set = Vanto({"clock", "--site", site, "--set", "--even-if-unsynchronised", "--json"});
  EXPECT_EQ(set.status, kExitOk) << set.err;
  EXPECT_EQ(terminal.sets(), 1);
  const json row = json::parse(set.out)["terminals"][0];
  EXPECT_EQ(row["state"], "invalid");
  EXPECT_EQ(row["set"], "set");
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

}  // namespace
}  // namespace vanto::cli::testing
