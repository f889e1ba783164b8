// Every swipe right from every terminal, as a user runs `vanto sync` and `vanto clock` on a
// simulated site: one table of dense batches damaged every way (with and without their digest),
// begin answers longer than their version needs, clocks at the ends of their range and a set
// whose answers were lost. Each terminal's stored swipes are counted by content against its
// log: lost, doubled and wrong are all zero. Then the words a user reads about such terminals.
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "accounts/accounts.h"
#include "cli/sync_summary.h"
#include "host/clock.h"
#include "host/db/record_store.h"
#include "present/sync_words.h"
#include "terminal/protocol/dense.h"
#include "tests/cli/sim_fixture.h"
#include "host/db/database.h"

namespace vanto::cli::testing {
namespace {

using nlohmann::json;
using terminal::sim::CardRecordFields;
using DenseFault = terminal::sim::SimTerminal::DenseFault;

// 600 swipes of 40 persons over a working day, in the same minute at times, the clock set back
// an hour and a half once: the dense form carries them as differences both ways.
std::vector<CardRecordFields> Log() {
  std::vector<CardRecordFields> log;
  for (int i = 0; i < 600; ++i) {
    int minute = 8 * 60 + i * 3 / 2;
    if (i >= 300 && i < 320) minute -= 90;
    log.push_back({1000 + (i * 17) % 40 * 13, 2026, 11, 2, minute / 60, minute % 60});
  }
  return log;
}

struct Count {
  std::size_t lost = 0, doubled = 0, wrong = 0;
};

// The stored swipes of one terminal against its log, by their index in the log.
Count ByContent(const std::vector<CardRecordFields>& log, const std::vector<store::StoredSwipe>& stored) {
  Count count;
  std::vector<int> seen(log.size());
  for (const store::StoredSwipe& s : stored) {
    if (!s.index || *s.index >= log.size()) {
      ++count.wrong;
      continue;
    }
    const CardRecordFields& r = log[*s.index];
    char minute[40];
    std::snprintf(minute, sizeof minute, "%04d-%02d-%02d %02d:%02d", r.year, r.month, r.day, r.hour, r.minute);
    if (s.person != r.person || s.minute != minute) ++count.wrong;
    if (++seen[*s.index] == 2) ++count.doubled;
  }
  for (int n : seen) count.lost += n == 0;
  return count;
}

class EverySwipe : public UtcSimSite {
 protected:
  // A site file listing terminals 1..count of each port.
  std::string WriteSite(const std::map<int, int>& ports) {
    const std::string path = (folder_ / "site.toml").string();
    std::ofstream file(path);
    file << "database = \"vanto.db\"\n[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\nretries = 1\n";
    for (const auto& [port, count] : ports) {
      std::string terminals;
      for (int t = 1; t <= count; ++t) terminals += (t > 1 ? ", " : "") + std::to_string(t);
      file << "[[port]]\nnumber = " << port << "\ndevice = \"" << paths_.at(port) << "\"\nterminals = [" << terminals
           << "]\n";
    }
    return path;
  }
  static const json& Row(const json& rows, int port, int terminal) {
    for (const json& row : rows)
      if (row["port"] == port && row["terminal"] == terminal) return row;
    static const json none;
    ADD_FAILURE() << "no row for port " << port << ", terminal " << terminal;
    return none;
  }
};

TEST_P(EverySwipe, DamagedDenseBatchesLongAnswersAndClocksAtTheirEdges) {
  // Port 1: the records. Each row one terminal; the plain form (03) of each is sound.
  struct RecordRow {
    const char* name;
    int version;
    DenseFault fault = DenseFault::kNone;
    bool miscount = false;
    std::size_t extra = 0;
    std::optional<std::uint8_t> fill = std::nullopt;
  } records[] = {
      {"version 3", 3},
      {"version 4: checked batches", 4},
      {"version 3, count one more", 3, DenseFault::kNone, true},
      {"version 4, count one more", 4, DenseFault::kNone, true},
      {"version 3, early last", 3, DenseFault::kEarlyLast},
      {"version 4, early last", 4, DenseFault::kEarlyLast},
      {"version 3, busy to dense", 3, DenseFault::kBusy},
      {"version 4, busy to dense", 4, DenseFault::kBusy},
      {"version 3, bad payload to dense", 3, DenseFault::kBadPayload},
      {"version 4, bad payload to dense", 4, DenseFault::kBadPayload},
      {"version 3, raw record then a difference", 3, DenseFault::kRawDifference},
      {"version 4, raw record then a difference", 4, DenseFault::kRawDifference},
      {"version 4, a person off by one", 4, DenseFault::kWrongPerson},
      {"version 4, a minute off by one", 4, DenseFault::kWrongMinute},
      {"version 2, a 17-byte begin answer with byte 2", 2, DenseFault::kNone, false, 1, 2},
      {"version 2, a 17-byte begin answer with byte 0", 2, DenseFault::kNone, false, 1, 0},
      {"version 2, 9 bytes beyond every answer", 2, DenseFault::kNone, false, 9},
      {"version 3, 9 bytes beyond every answer", 3, DenseFault::kNone, false, 9},
      {"version 4, 9 bytes beyond every answer", 4, DenseFault::kNone, false, 9},
  };
  const auto log = Log();
  int address = 0;
  for (const RecordRow& row : records) {
    auto& t = site_.AddTerminal(1, ++address);
    t.version = row.version, t.denseFault = row.fault, t.denseMiscount = row.miscount;
    t.extraAnswerBytes = row.extra, t.extraAnswerFill = row.fill;
    t.records = log;
  }
  // Port 2: clocks at the ends of 2000..2127 (an hour inside or outside: the simulated clocks
  // follow the real time), the 1899 a broken terminal showed, and one whose set answers are lost.
  struct ClockRow {
    const char* name;
    terminal::protocol::ClockTime shows;
    const char* state;
  } clocks[] = {
      {"an hour before 2000", {1999, 12, 31, 23, 0, 0}, "invalid"},
      {"an hour into 2000", {2000, 1, 1, 1, 0, 0}, "read"},
      {"an hour before 2128", {2127, 12, 31, 23, 0, 0}, "read"},
      {"an hour into 2128", {2128, 1, 1, 1, 0, 0}, "invalid"},
      {"1899", {1899, 12, 30, 8, 0, 0}, "invalid"},
      {"set answers lost", {2026, 12, 9, 8, 0, 0}, "read"},
  };
  const std::int64_t now = UnixSeconds();
  address = 0;
  for (const ClockRow& row : clocks) {
    auto& t = site_.AddTerminal(2, ++address);
    t.version = address % 2 ? 3 : 4;
    t.clockOffset = terminal::protocol::WallSeconds(row.shows) - now;
    if (std::string(row.name) == "set answers lost") t.loseSetAnswers = 1000;  // every attempt's
  }
  Start();
  const std::string site = WriteSite({{1, static_cast<int>(std::size(records))}, {2, static_cast<int>(std::size(clocks))}});

  // A clock that shows no valid date and time is a warning for sync and clock alike: exit 0.
  Result sync = Vanto({"sync", "--site", site, "--json"});
  ASSERT_EQ(sync.status, kExitOk) << sync.err << sync.out;
  const json synced = json::parse(sync.out)["terminals"];
  const store::RecordStore store = store::RecordStore(vanto::db::Database::Open((folder_ / "vanto.db").string())->Swipes());
  address = 0;
  for (const RecordRow& row : records) {
    ++address;
    EXPECT_EQ(Row(synced, 1, address)["outcome"], "synced") << row.name;
    const Count count = ByContent(log, store.Swipes(1, address));
    EXPECT_EQ(count.lost, 0u) << row.name;
    EXPECT_EQ(count.doubled, 0u) << row.name;
    EXPECT_EQ(count.wrong, 0u) << row.name;
  }
  EXPECT_GT(site_.Stats(1).checkedAnswers, 0u) << "version 4 terminals were read with digests";
  address = 0;
  for (const ClockRow& row : clocks) {
    ++address;
    EXPECT_EQ(Row(synced, 2, address)["clock"]["state"], row.state) << row.name;
    if (std::string(row.state) == "invalid") {
      EXPECT_NE(sync.err.find("port 2, terminal " + std::to_string(address) +
                              ": its clock shows no valid date and time"),
                std::string::npos)
          << row.name << ": " << sync.err;
    }
  }

  Result shown = Vanto({"clock", "--site", site, "--json"});
  ASSERT_EQ(shown.status, kExitOk) << shown.err;
  const json rows = json::parse(shown.out)["terminals"];
  address = 0;
  for (const ClockRow& row : clocks) EXPECT_EQ(Row(rows, 2, ++address)["state"], row.state) << row.name;
  EXPECT_NE(shown.err.find("warning: port 2, terminal 1: its clock shows no valid date and time"), std::string::npos)
      << shown.err;

  // Every clock set; the set whose answers were all lost is settled by reading the clock back.
  const std::int64_t before = UnixSeconds();
  Result set = Vanto({"clock", "--site", site, "--set", "--even-if-unsynchronised", "--json"});
  const std::int64_t after = UnixSeconds();
  ASSERT_EQ(set.status, kExitOk) << set.err << set.out;
  const json lost = Row(json::parse(set.out)["terminals"], 2, static_cast<int>(std::size(clocks)));
  EXPECT_EQ(lost["set"], "set") << lost.dump();
  ASSERT_TRUE(lost.contains("read_back")) << lost.dump();
  const std::int64_t shows = site_.Terminal(2, static_cast<int>(std::size(clocks)))->clockOffset;
  EXPECT_GE(shows, -(after - before) - 1) << "the terminal's clock was set to the host's";
  EXPECT_LE(shows, 1);
  accounts::Accounts accounts(vanto::db::Database::Open((folder_ / "vanto.db").string())->Accounts());
  bool audited = false;
  for (const auto& entry : accounts.AuditTrail(100))
    if (entry.action == "clock.set.done" && entry.details.find("port 2 terminal 6") != std::string::npos) {
      audited = true;
      EXPECT_NE(entry.details.find("the set went unanswered (silent), the clock read back shows"), std::string::npos)
          << entry.details;
    }
  EXPECT_TRUE(audited) << "the lost set is audited as done, by what the read showed";
}

TEST_P(EverySwipe, WordsSayWhatHappened) {
  // Port 1 answers busy, port 2 only damaged answers, port 3 holds a record no date converts.
  site_.AddTerminal(1, 1).version = 3;
  site_.AddTerminal(2, 1).version = 3;
  auto& quarantine = site_.AddTerminal(3, 1);
  quarantine.version = 4;
  quarantine.records = {{1001, 2026, 11, 2, 8, 0}, {1002, 2026, 13, 2, 8, 1}, {1003, 2026, 11, 2, 8, 2}};
  terminal::sim::FaultPlan busy, damaged;
  busy.busy = 1.0;
  damaged.corrupt = 1.0;
  site_.SetFaults(1, busy);
  site_.SetFaults(2, damaged);
  Start();
  const std::string site = WriteSite({{1, 1}, {2, 1}, {3, 1}});

  Result clock = Vanto({"clock", "--site", site});
  EXPECT_EQ(clock.status, kExitFalse);
  struct Case {
    const char* where;
    const char* says;
  } cases[] = {{"port 1, terminal 1: ", "it stays busy"}, {"port 2, terminal 1: ", "its answers are damaged"}};
  for (const Case& c : cases) {
    EXPECT_NE(clock.err.find(std::string("vanto clock: ") + c.where + c.says), std::string::npos) << clock.err;
    EXPECT_NE(clock.out.find(c.says), std::string::npos) << clock.out;
  }
  EXPECT_EQ(clock.err.find("does not answer"), std::string::npos) << "both answered: " << clock.err;
  Result json_clock = Vanto({"clock", "--site", site, "--json"});
  const json clock_rows = json::parse(json_clock.out)["terminals"];
  EXPECT_EQ(Row(clock_rows, 1, 1)["fault"], "busy");
  EXPECT_EQ(Row(clock_rows, 2, 1)["fault"], "damaged");

  // The table and --json agree on a terminal with a record quarantined: it did not sync. (Each
  // a first sync, into a database of its own: a later one reads on after the record kept apart.)
  Result table = Vanto({"sync", "--site", site, "--db", (folder_ / "table.db").string()});
  Result listed = Vanto({"sync", "--site", site, "--json", "--db", (folder_ / "listed.db").string()});
  EXPECT_EQ(table.status, kExitFalse);
  EXPECT_EQ(listed.status, kExitFalse);
  EXPECT_EQ(Row(json::parse(listed.out)["terminals"], 3, 1)["outcome"], "failed") << listed.out;
  EXPECT_NE(table.out.find("failed: 1 record quarantined ('vanto rejected' lists it)"), std::string::npos) << table.out;
  EXPECT_EQ(table.out.find("synced;"), std::string::npos) << table.out;
}

VANTO_OVER_BOTH_TRANSPORTS(EverySwipe);

// The words of one terminal's sync summary and of a stored cause, singular and plural.
TEST(SyncWords, CountsAreTheReadLogsAndOneIsSingular) {
  char pattern[] = "/tmp/vanto-words-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  const store::RecordStore store = store::RecordStore(vanto::db::Database::Open((folder / "vanto.db").string())->Swipes());
  struct Case {
    std::uint32_t info_held;
    std::optional<std::uint32_t> read_held;
    const char* says;
  } cases[] = {
      {6000, 800, "log generation 9, 800 records held"},  // a new log began before the read: its count
      {6000, 1, "log generation 9, 1 record held"},
      {6000, std::nullopt, "log generation 9, 6000 records held"},
  };
  for (const Case& c : cases) {
    SyncResult sync;
    sync.port = 1, sync.terminal = 2;
    sync.info = {2, 77, 10000, c.info_held, 8};
    sync.read_log = store::LogKey{77, 9};
    sync.read_held = c.read_held;
    sync.outcome.ok = true;
    std::ostringstream summary, out, err;
    Io io{out, err, false};
    EXPECT_EQ(ReportSync(sync, store, summary, io, "download"), kExitOk);
    EXPECT_NE(summary.str().find(c.says), std::string::npos) << summary.str();
  }
  SyncResult failed;
  failed.port = 1, failed.terminal = 2, failed.read = 1, failed.delivered = 0;
  failed.store_error = "the disk is full";
  std::ostringstream summary, out, err;
  Io io{out, err, false};
  EXPECT_EQ(ReportSync(failed, store, summary, io, "download"), kExitHost);
  EXPECT_NE(err.str().find("the disk is full; 1 record read, 0 stored"), std::string::npos) << err.str();
  EXPECT_EQ(CauseText(Language::kEnglish, "store", {{"error", "the disk is full"}, {"read", "1"}, {"delivered", "0"}}),
            "the disk is full; 1 record read, 0 stored");
  EXPECT_EQ(CauseText(Language::kEnglish, "store", {{"error", "the disk is full"}, {"read", "2"}, {"delivered", "0"}}),
            "the disk is full; 2 records read, 0 stored");
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

}  // namespace
}  // namespace vanto::cli::testing
