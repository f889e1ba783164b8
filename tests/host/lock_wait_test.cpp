// A download whose database is locked by another program, on SQLite and on PostgreSQL: the read
// pauses while the database refuses (never more than two batches uncommitted), commits again the
// moment the lock is free, and past its pause ends with the database's error without reading
// on; the next download stores the rest. No swipe lost, stored twice or stored wrong.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "host/control_settings.h"
#include "host/db/database.h"
#include "host/db/record_store.h"
#include "host/terminal_sync.h"
#include "terminal/sim/front_end.h"
#include "terminal/sim/simulator.h"
#include "tests/host/simulator_folder.h"
#include "tests/support/pg_server.h"

namespace fs = std::filesystem;
using namespace vanto::host;

namespace {

constexpr int kRecords = 2000;
constexpr std::size_t kBatch = 100;

// Holds the database's write lock as another program would, until Release.
class Holder {
 public:
  explicit Holder(const std::string& location) : pg_(location.rfind("postgres", 0) == 0) {
    if (pg_) {
      conn_ = PQconnectdb(location.c_str());
      Exec("BEGIN");
      Exec("LOCK TABLE swipes IN EXCLUSIVE MODE");
    } else {
      EXPECT_EQ(sqlite3_open(location.c_str(), &db_), SQLITE_OK);
      EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
    }
  }
  ~Holder() {
    Release();
    if (conn_) PQfinish(conn_);
    if (db_) sqlite3_close(db_);
  }
  void Release() {
    if (released_) return;
    released_ = true;
    if (pg_)
      Exec("ROLLBACK");
    else
      EXPECT_EQ(sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
  }

 private:
  void Exec(const char* sql) {
    PGresult* r = PQexec(conn_, sql);
    EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << sql << ": " << PQerrorMessage(conn_);
    PQclear(r);
  }
  bool pg_;
  bool released_ = false;
  PGconn* conn_ = nullptr;
  sqlite3* db_ = nullptr;
};

struct LockCase {
  const char* name;
  std::size_t take_after_batches;  // the lock is taken once this many batches are committed
  int release_after_waits;         // released at this many refusals (0: not while the download runs)
};

const LockCase kCases[] = {
    {"held from the start, released after two refusals", 0, 2},
    {"taken midway, released after three refusals", 5, 3},
    {"held past the pause", 5, 0},
};

class LockWait : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VANTO_MODULES_BUILT) GTEST_SKIP() << "the driver and control modules are not part of this build";
    folder_ = vanto::testing::PrepareSimulatorFolder(sim_, "lockwait");
    auto& terminal = sim_.AddTerminal(1, 1);
    terminal.identity = 0x5100;
    terminal.generation = 3;
    for (int i = 0; i < kRecords; ++i)
      terminal.records.push_back({100 + i % 7, 2026, 11, 1 + i / 1440, (i % 1440) / 60, i % 60});
    paths_ = sim_.Start();
    ControlSettingValues settings;
    for (const auto& [name, value] : terminal::sim::PortSettings(paths_)) settings[name] = value;
    PinControlSettings(settings);
  }
  void TearDown() override {
    UnpinControlSettings();
    sim_.Stop();
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }

  fs::path folder_;
  terminal::sim::SimulatorSite sim_;
  std::map<int, std::string> paths_;
  vanto::testing::PgDatabases databases_;
};

TEST_F(LockWait, TheReadPausesWhileTheDatabaseRefusesAndCommitsAgainOnceItIsFree) {
  const bool pg = vanto::testing::PgTestUrl().has_value();
  if (!pg && vanto::testing::InCi()) FAIL() << vanto::testing::kNoPgServer;
  std::vector<std::string> engines{"sqlite"};
  if (pg) engines.push_back("postgresql");
  for (const std::string& engine : engines)
    for (const LockCase& c : kCases) {
      SCOPED_TRACE(engine + ": " + c.name);
      const std::string db = engine == "sqlite" ? (folder_ / (std::string(c.name) + ".db")).string() : databases_.Fresh();
      vanto::db::DatabaseOptions options;
      options.lock_timeout = std::chrono::milliseconds(50);  // each refused attempt waits this long
      auto database = vanto::db::Database::Open(db, options);
      vanto::store::RecordStore store(database->Swipes());
      Machine machine = Machine::Create();
      HostControl control = HostControl::Create();

      std::optional<Holder> holder;
      if (c.take_after_batches == 0) holder.emplace(db);
      std::size_t committed = 0, batches = 0, most_uncommitted = 0;
      int waits = 0;
      TerminalSyncOptions sync;
      sync.batch_records = kBatch;
      // The held one meets the bound after four refusals; the released ones never reach it.
      sync.lock_attempts = 4;
      sync.on_stored = [&](const std::vector<vanto::store::Delivery::Keyed>& batch) {
        committed += batch.size();
        if (++batches == c.take_after_batches) holder.emplace(db);
      };
      sync.on_progress = [&](const DownloadProgress& p) {
        most_uncommitted = std::max(most_uncommitted, p.uncommitted);
        if (!p.waiting) return;
        // What a process killed now would lose: the uncommitted records, the database holding a
        // gap-free start of the log.
        const auto held = store.Coverage({0x5100, 3, 0});
        EXPECT_TRUE(held.Contiguous());
        if (++waits == c.release_after_waits) holder->Release();
      };
      const SyncResult first = SyncTerminal(store, machine, control, 1, 1, sync);
      // Each refusal but the last is offered again, once the database said why.
      EXPECT_EQ(waits, c.release_after_waits ? c.release_after_waits : 3);
      EXPECT_LE(most_uncommitted, 2 * kBatch + kBatch / 2);
      if (c.release_after_waits) {
        EXPECT_TRUE(first.outcome.ok);
        EXPECT_FALSE(first.store_error) << *first.store_error;
        EXPECT_EQ(first.delivered, static_cast<std::size_t>(kRecords));
      } else {
        ASSERT_TRUE(first.store_error);
        EXPECT_NE(first.store_error->find("lock"), std::string::npos) << *first.store_error;
        EXPECT_LT(first.delivered, static_cast<std::size_t>(kRecords));
        // The read stopped soon after the pause: it did not go on to the end of the log.
        EXPECT_LE(first.read, first.delivered + 3 * kBatch);
        holder->Release();
      }
      EXPECT_EQ(committed, first.delivered);
      holder.reset();

      // The next download stores the rest: every record once, as the terminal holds it.
      TerminalSyncOptions again;
      const SyncResult second = SyncTerminal(store, machine, control, 1, 1, again);
      EXPECT_TRUE(second.outcome.ok);
      EXPECT_FALSE(second.store_error);
      std::map<std::pair<std::int32_t, std::string>, int> held;
      for (const auto& s : store.Swipes()) ++held[{s.person, s.time}];
      int lost = 0, doubled = 0, wrong = 0;
      const auto records = sim_.Terminal(1, 1)->records;
      std::map<std::pair<std::int32_t, std::string>, int> want;
      for (const auto& r : records) {
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:00", r.year, r.month, r.day, r.hour, r.minute);
        ++want[{r.person, text}];
      }
      for (const auto& [k, n] : want) lost += held.count(k) ? 0 : 1;
      for (const auto& [k, n] : held) {
        if (!want.count(k)) wrong += n;
        else if (n > 1) doubled += n - 1;
      }
      EXPECT_EQ(lost, 0);
      EXPECT_EQ(doubled, 0);
      EXPECT_EQ(wrong, 0);
    }
}

}  // namespace
