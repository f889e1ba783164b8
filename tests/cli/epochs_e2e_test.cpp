// Two terminals telling one identity and generation (a cloned serial number), moved between
// ports, through `download` on SQLite and on PostgreSQL: each log goes on in the epoch that holds
// its content wherever it is cabled, so no swipe is lost, stored twice or stored wrong.
#include <algorithm>
#include <map>

#include "host/db/database.h"
#include "host/db/record_store.h"
#include "tests/cli/sim_fixture.h"
#include "tests/support/pg_server.h"

namespace vanto::cli::testing {
namespace {

using terminal::sim::CardRecordFields;
using terminal::sim::SimTerminal;
using Pair = std::pair<std::int32_t, std::string>;

// What happens to the site before each download of every cabled port.
enum class Do {
  kNothing,
  kSwap,   // the terminals on ports 1 and 2 change places
  kMove,   // the terminal on port 2 goes to port 3
  kReset,  // the terminal on port 3 is reset to its generation with other records
  kGrow,   // every cabled terminal holds 50 records more
};

struct Step {
  Do what;
  int status;  // the worst exit status of that round of downloads
};

struct Case {
  const char* name;
  std::vector<Step> steps;
};

class EpochsE2E : public SimSite {
 protected:
  // Counts the swipes of `identity` against every record the terminals held at a download:
  // each must be held once, with its content.
  struct Tally {
    int lost = 0, doubled = 0, wrong = 0;
  };
  static Tally Count(const std::string& db, std::uint32_t identity, const std::map<Pair, int>& delivered) {
    std::map<Pair, int> held;
    for (const auto& s : store::RecordStore(vanto::db::Database::Open(db)->Swipes()).Swipes())
      if (s.identity == identity) ++held[{s.person, s.time}];
    Tally t;
    for (const auto& [swipe, n] : held) {
      if (!delivered.count(swipe))
        t.wrong += n;
      else if (n > 1)
        t.doubled += n - 1;
    }
    for (const auto& entry : delivered) t.lost += held.count(entry.first) ? 0 : 1;
    return t;
  }

  vanto::testing::PgDatabases databases_;
};

INSTANTIATE_TEST_SUITE_P(Pty, EpochsE2E, ::testing::Values(Transport::kPty), TransportName);

TEST_P(EpochsE2E, ClonesKeepTheirEpochWhereverTheyAreCabled) {
  const std::vector<Case> cases = {
      {"clones swap ports once", {{Do::kNothing, kExitFalse}, {Do::kSwap, kExitOk}, {Do::kGrow, kExitOk}}},
      {"clones swap ports twice",
       {{Do::kNothing, kExitFalse}, {Do::kSwap, kExitOk}, {Do::kGrow, kExitOk}, {Do::kSwap, kExitOk}, {Do::kGrow, kExitOk}}},
      {"a clone moved to another port", {{Do::kNothing, kExitFalse}, {Do::kMove, kExitOk}, {Do::kGrow, kExitOk}}},
      // Its new log is content the database does not hold: one new epoch, one conflict.
      {"a clone reset while moved",
       {{Do::kNothing, kExitFalse}, {Do::kMove, kExitOk}, {Do::kReset, kExitFalse}, {Do::kGrow, kExitOk}}},
  };
  const bool pg = vanto::testing::PgTestUrl().has_value();
  if (!pg && vanto::testing::InCi()) FAIL() << vanto::testing::kNoPgServer;
  const std::vector<std::string> engines =
      pg ? std::vector<std::string>{"sqlite", "postgresql"} : std::vector<std::string>{"sqlite"};
  auto address = [&](std::size_t engine, std::size_t c) { return static_cast<int>(1 + engine * cases.size() + c); };
  auto identity = [&](std::size_t engine, std::size_t c) { return static_cast<std::uint32_t>(0x7300 + address(engine, c)); };
  for (std::size_t e = 0; e < engines.size(); ++e)
    for (std::size_t c = 0; c < cases.size(); ++c) {
      const int a = address(e, c);
      for (int port : {1, 2, 3}) {
        SimTerminal& t = site_.AddTerminal(port, a);
        t.identity = identity(e, c);
        t.generation = 7;
        t.silent = port == 3;  // nothing cabled there yet
        if (port == 1) t.records = Log(300, 1000, 1);
        if (port == 2) t.records = Log(400, 5000, 9);
      }
    }
  Start();
  for (std::size_t e = 0; e < engines.size(); ++e)
    for (std::size_t c = 0; c < cases.size(); ++c) {
      const Case& k = cases[c];
      const int a = address(e, c);
      const std::string db =
          engines[e] == "sqlite" ? (folder_ / ("epochs-" + std::to_string(c) + ".db")).string() : databases_.Fresh();
      std::map<Pair, int> delivered;
      for (std::size_t s = 0; s < k.steps.size(); ++s) {
        SCOPED_TRACE(engines[e] + ": " + k.name + ", step " + std::to_string(s));
        switch (k.steps[s].what) {
          case Do::kNothing:
            break;
          case Do::kSwap: {
            const SimTerminal one = *site_.Terminal(1, a), two = *site_.Terminal(2, a);
            site_.EditTerminal(1, a, [&](SimTerminal& t) { t = two; });
            site_.EditTerminal(2, a, [&](SimTerminal& t) { t = one; });
            break;
          }
          case Do::kMove: {
            SimTerminal moved = *site_.Terminal(2, a);
            site_.EditTerminal(3, a, [&](SimTerminal& t) { t = moved; });
            site_.EditTerminal(2, a, [](SimTerminal& t) {
              t.silent = true;
              t.records.clear();
            });
            break;
          }
          case Do::kReset:
            site_.EditTerminal(3, a, [](SimTerminal& t) {
              t.afterReset = Log(250, 9000, 20);
              t.resetGeneration = 7;
              t.FactoryReset();
            });
            break;
          case Do::kGrow:
            for (int port : {1, 2, 3})
              site_.EditTerminal(port, a, [](SimTerminal& t) {
                if (t.silent || t.records.empty()) return;
                // The same pattern goes on: the longer log starts with the shorter.
                const CardRecordFields& r0 = t.records.front();
                std::vector<CardRecordFields> longer = Log(static_cast<int>(t.records.size()) + 50, r0.person, r0.day);
                if (std::equal(t.records.begin(), t.records.end(), longer.begin(), [](const auto& x, const auto& y) {
                      return x.person == y.person && TimeText(x) == TimeText(y);
                    }))
                  t.records = longer;
              });
            break;
        }
        int worst = kExitOk;
        for (int port : {1, 2, 3}) {
          const auto t = site_.Terminal(port, a);
          if (t->silent) continue;
          for (const auto& r : t->records) delivered[{r.person, TimeText(r)}] = 1;
          Result r = Vanto({"download", "--port", std::to_string(port), "--terminal", std::to_string(a), "--db", db});
          worst = std::max(worst, r.status);
          if (k.steps[s].status == kExitOk) {
            EXPECT_EQ(r.err.find("is not the one stored"), std::string::npos) << r.err;
          }
        }
        EXPECT_EQ(worst, k.steps[s].status);
        const Tally t = Count(db, identity(e, c), delivered);
        EXPECT_EQ(t.lost, 0);
        EXPECT_EQ(t.doubled, 0);
        EXPECT_EQ(t.wrong, 0);
      }
    }
}

}  // namespace
}  // namespace vanto::cli::testing
