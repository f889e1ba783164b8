// A terminal whose log is not the one the database holds under its identity and generation (a
// factory reset back to a generation seen before, a cloned identity on another port), through
// `download` and `sync`, on SQLite and on PostgreSQL: every record of both logs is stored once,
// the run that finds it says so and exits 1, and the next run is incremental and exits 0.
#include <algorithm>
#include <fstream>

#include <nlohmann/json.hpp>

#include "accounts/accounts.h"
#include "host/db/record_store.h"
#include "tests/cli/sim_fixture.h"
#include "tests/support/pg_server.h"
#include "host/db/database.h"

namespace vanto::cli::testing {
namespace {

using terminal::sim::CardRecordFields;

enum class Via { kDownload, kSync };
enum class Lie { kReset, kClone };

struct Case {
  const char* name;
  Lie lie;
  Via via;
  int before, after;  // records of the stored log, and of the other one (after the reset; the clone's)
};

class ConflictE2E : public SimSite {
 protected:
  using Pair = std::pair<std::int32_t, std::string>;

  Result Go(Via run, const std::string& db, const std::vector<std::pair<int, int>>& terminals) {
    if (run == Via::kDownload) {
      Result last{kExitOk, "", ""};
      for (auto [port, address] : terminals) {
        Result r = Vanto({"download", "--port", std::to_string(port), "--terminal", std::to_string(address), "--db", db});
        last.out += r.out, last.err += r.err;
        last.status = std::max(last.status, r.status);
      }
      return last;
    }
    std::string text = "database = \"vanto.db\"\n[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\n";
    for (auto [port, address] : terminals)
      text += "\n[[port]]\nnumber = " + std::to_string(port) + "\ndevice = \"" + paths_.at(port) + "\"\nterminals = [" +
              std::to_string(address) + "]\n";
    const std::string site = (folder_ / ("site-" + std::to_string(++sites_) + ".toml")).string();
    std::ofstream(site) << text;
    return Vanto({"sync", "--site", site, "--db", db, "--json"});
  }

  // The rows of a `sync --json` that carry `field`: their words for people and, beside them, a
  // code and values for programs.
  static std::vector<nlohmann::json> RowsWith(const Result& sync, const char* field) {
    std::vector<nlohmann::json> rows;
    const nlohmann::json summary = nlohmann::json::parse(sync.out);
    for (const auto& row : summary.at("terminals"))
      if (row.contains(field)) rows.push_back(row);
    return rows;
  }

  // The (person, time) of every swipe the database holds of `identity`, sorted.
  static std::vector<Pair> Held(const std::string& db, std::uint32_t identity) {
    std::vector<Pair> held;
    for (const auto& s : store::RecordStore(vanto::db::Database::Open(db)->Swipes()).Swipes())
      if (s.identity == identity) held.emplace_back(s.person, s.time);
    std::sort(held.begin(), held.end());
    return held;
  }
  static std::vector<Pair> Expected(const std::vector<std::vector<CardRecordFields>>& logs) {
    std::vector<Pair> want;
    for (const auto& log : logs)
      for (const auto& r : log) want.emplace_back(r.person, TimeText(r));
    std::sort(want.begin(), want.end());
    return want;
  }

  // The conflict is listed until it is acknowledged, once, under the user's name, with an audit row.
  static void ExpectAcknowledgedOnce(const std::string& db, std::uint32_t identity) {
    Result listed = Vanto({"conflicts", "--json", "--db", db});
    ASSERT_EQ(listed.status, kExitOk) << listed.err;
    const auto rows = nlohmann::json::parse(listed.out);
    ASSERT_EQ(rows.size(), 1u) << listed.out;
    EXPECT_EQ(rows[0]["serial"], identity);
    EXPECT_EQ(rows[0]["generation"], 7);
    EXPECT_TRUE(rows[0]["acknowledged_by"].is_null());
    const std::string id = std::to_string(rows[0]["id"].get<std::int64_t>());
    struct Ack {
      std::string id;
      int status;
      const char* says;
    };
    for (const Ack& a : {Ack{id, kExitOk, "acknowledged by"}, Ack{id, kExitOk, "acknowledged already"},
                         Ack{"999999", kExitUsage, "there is no conflict 999999"}, Ack{"x1", kExitUsage, "no conflict number"}}) {
      Result r = Vanto({"conflicts", "ack", a.id, "--db", db});
      EXPECT_EQ(r.status, a.status) << a.id << ": " << r.out << r.err;
      EXPECT_NE((r.out + r.err).find(a.says), std::string::npos) << a.id << ": " << r.out << r.err;
    }
    Result waiting = Vanto({"conflicts", "--db", db});
    EXPECT_NE(waiting.out.find("no conflicts waiting"), std::string::npos) << waiting.out;
    Result all = Vanto({"conflicts", "--all", "--csv", "--db", db});
    EXPECT_EQ(all.out.substr(0, all.out.find('\n')),
              "id,found_at,port,terminal,serial,generation,epoch,index,person,time,stored_person,stored_time,stored_port,"
              "stored_terminal,acknowledged_by,acknowledged_at");
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 2) << all.out;
    accounts::Accounts accounts(vanto::db::Database::Open(db)->Accounts());
    int audited = 0;
    for (const auto& entry : accounts.AuditTrail(10)) audited += entry.action == "conflict.acknowledge" ? 1 : 0;
    EXPECT_EQ(audited, 1);
  }

  int sites_ = 0;
  vanto::testing::PgDatabases databases_;
};

INSTANTIATE_TEST_SUITE_P(Pty, ConflictE2E, ::testing::Values(Transport::kPty), TransportName);

TEST_P(ConflictE2E, BothLogsOfAResetOrClonedTerminalAreKeptOnceAndTheFindingExitsOne) {
  const std::vector<Case> cases = {
      {"reset to fewer records, download", Lie::kReset, Via::kDownload, 1000, 800},
      {"reset to as many records, download", Lie::kReset, Via::kDownload, 1000, 1000},
      {"reset to more records, sync", Lie::kReset, Via::kSync, 1000, 3000},
      {"clone with more records, download", Lie::kClone, Via::kDownload, 1000, 3000},
      {"clone with as many records, sync", Lie::kClone, Via::kSync, 1000, 1000},
  };
  // Each engine and case has a terminal (or a pair) of its own: a reset happens once.
  const bool pg = vanto::testing::PgTestUrl().has_value();
  if (!pg && vanto::testing::InCi()) FAIL() << vanto::testing::kNoPgServer;
  const std::vector<std::string> engines = pg ? std::vector<std::string>{"sqlite", "postgresql"}
                                              : std::vector<std::string>{"sqlite"};
  auto address = [&](std::size_t engine, std::size_t c) { return static_cast<int>(1 + engine * cases.size() + c); };
  auto identity = [&](std::size_t engine, std::size_t c) { return static_cast<std::uint32_t>(0x7100 + address(engine, c)); };
  for (std::size_t e = 0; e < engines.size(); ++e)
    for (std::size_t c = 0; c < cases.size(); ++c) {
      auto& t = site_.AddTerminal(1, address(e, c));
      t.identity = identity(e, c);
      t.generation = 7;
      t.records = Log(cases[c].before, 1000, 1);
      if (cases[c].lie == Lie::kReset) {
        t.resetAfterReads = 1;  // after the first read it holds other records under generation 7
        t.afterReset = Log(cases[c].after, 3000, 5);
      } else {
        auto& clone = site_.AddTerminal(2, address(e, c));
        clone.identity = t.identity;
        clone.generation = 7;
        clone.records = Log(cases[c].after, 5000, 9);
      }
    }
  Start();
  for (std::size_t e = 0; e < engines.size(); ++e)
    for (std::size_t c = 0; c < cases.size(); ++c) {
      const Case& k = cases[c];
      SCOPED_TRACE(engines[e] + ": " + k.name);
      const std::string db = engines[e] == "sqlite" ? (folder_ / (std::to_string(c) + ".db")).string() : databases_.Fresh();
      const int a = address(e, c);
      const auto first = Log(k.before, 1000, 1);
      const auto other = k.lie == Lie::kReset ? Log(k.after, 3000, 5) : Log(k.after, 5000, 9);
      Result found{};
      if (k.lie == Lie::kReset) {
        Result stored = Go(k.via, db, {{1, a}});
        ASSERT_EQ(stored.status, kExitOk) << stored.out << stored.err;
        ASSERT_EQ(Held(db, identity(e, c)), Expected({first}));
        found = Go(k.via, db, {{1, a}});
      } else if (k.via == Via::kDownload) {
        Result stored = Go(k.via, db, {{1, a}});
        ASSERT_EQ(stored.status, kExitOk) << stored.out << stored.err;
        found = Go(k.via, db, {{2, a}});
      } else {
        found = Go(k.via, db, {{1, a}, {2, a}});  // both at once, one thread a port
      }
      EXPECT_EQ(found.status, kExitFalse) << found.out << found.err;
      EXPECT_NE(found.err.find("serial " + std::to_string(identity(e, c)) + ", log generation 7: record"),
                std::string::npos)
          << found.err;
      EXPECT_NE(found.err.find("is not the one stored (stored: person"), std::string::npos) << found.err;
      if (k.lie == Lie::kClone && k.via == Via::kSync) {
        EXPECT_NE(found.err.find("a cloned identity"), std::string::npos) << found.err;
      }
      if (k.via == Via::kSync) {
        // Beside the conflict's sentence, its code and values; beside the cause's, its code.
        const auto rows = RowsWith(found, "conflict_details");
        ASSERT_EQ(rows.size(), 1u) << found.out;
        ASSERT_EQ(rows[0]["conflicts"].size(), 1u);
        EXPECT_NE(rows[0]["conflicts"][0].get<std::string>().find("is not the one stored"), std::string::npos);
        const auto& detail = rows[0]["conflict_details"][0];
        EXPECT_EQ(detail["code"], "conflict");
        EXPECT_EQ(detail["values"]["serial"], std::to_string(identity(e, c)));
        EXPECT_EQ(detail["values"]["generation"], "7");
        EXPECT_EQ(detail["values"]["terminal"], std::to_string(a));
        EXPECT_EQ(rows[0]["outcome"], "failed");
        EXPECT_EQ(rows[0]["cause_code"], "conflict");
        EXPECT_TRUE(rows[0]["cause"].is_string());
        EXPECT_TRUE(rows[0]["cause_values"].is_object());
      }
      EXPECT_EQ(Held(db, identity(e, c)), Expected({first, other}));
      EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(db)->Swipes()).swipes().Conflicts().size(), 1u);

      // Again: each log goes on in its own epoch, nothing is stored twice, the conflict stays listed.
      const std::vector<std::pair<int, int>> all =
          k.lie == Lie::kReset ? std::vector<std::pair<int, int>>{{1, a}} : std::vector<std::pair<int, int>>{{1, a}, {2, a}};
      Result again = Go(k.via, db, all);
      EXPECT_EQ(again.status, kExitOk) << again.out << again.err;
      EXPECT_EQ(again.err.find("is not the one stored"), std::string::npos) << again.err;
      EXPECT_EQ(Held(db, identity(e, c)), Expected({first, other}));
      EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(db)->Swipes()).swipes().Conflicts().size(), 1u);
      if (k.via == Via::kDownload) {
        EXPECT_NE(again.out.find("0 new"), std::string::npos) << again.out;
      }
      if (k.lie == Lie::kClone && k.via == Via::kSync) {
        // Both places answer again, each log in its own epoch: a warning, as words and as a code.
        const auto rows = RowsWith(again, "warnings");
        ASSERT_EQ(rows.size(), 2u) << again.out;
        for (const auto& row : rows) {
          EXPECT_NE(row["warning"].get<std::string>().find("a cloned identity"), std::string::npos) << row.dump();
          ASSERT_EQ(row["warnings"].size(), 1u) << row.dump();
          EXPECT_EQ(row["warnings"][0]["code"], "clone-elsewhere");
          EXPECT_EQ(row["warnings"][0]["values"]["serial"], std::to_string(identity(e, c)));
          const int elsewhere = row["port"] == 1 ? 2 : 1;
          EXPECT_EQ(row["warnings"][0]["values"]["elsewhere"], std::to_string(elsewhere) + "/" + std::to_string(a));
        }
      }
      ExpectAcknowledgedOnce(db, identity(e, c));

      // A copy keeps the epochs and the conflict: syncs from it read on in each log's own epoch.
      const std::string copy = engines[e] == "sqlite" ? (folder_ / ("copy-" + std::to_string(c) + ".db")).string()
                                                      : databases_.Fresh();
      Result copied = Vanto({"db", "copy", "--from", db, "--to", copy, "--quiet"});
      ASSERT_EQ(copied.status, kExitOk) << copied.out << copied.err;
      {
        store::RecordStore from = store::RecordStore(vanto::db::Database::Open(db)->Swipes()), to = store::RecordStore(vanto::db::Database::Open(copy)->Swipes());
        EXPECT_EQ(to.swipes().AllEpochs().size(), from.swipes().AllEpochs().size());
        ASSERT_EQ(to.swipes().Conflicts(true).size(), 1u);
        EXPECT_TRUE(to.swipes().Conflicts(true)[0].acknowledged);
        EXPECT_EQ(to.swipes().AllEpochs().back().conflict, to.swipes().Conflicts(true)[0].id);
      }
      Result from_copy = Go(k.via, copy, all);
      EXPECT_EQ(from_copy.status, kExitOk) << from_copy.out << from_copy.err;
      EXPECT_EQ(Held(copy, identity(e, c)), Expected({first, other}));

      // Everything of the terminal's current log is held: it may be cleared.
      if (k.lie == Lie::kReset) {
        Result clear = Vanto({"clear", "--port", "1", "--terminal", std::to_string(a), "--yes", "--db", db});
        EXPECT_EQ(clear.status, kExitOk) << clear.out << clear.err;
        EXPECT_TRUE(site_.Terminal(1, a)->records.empty());
        EXPECT_EQ(Held(db, identity(e, c)), Expected({first, other}));
      }
    }
}

}  // namespace
}  // namespace vanto::cli::testing
