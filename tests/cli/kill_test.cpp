// A vanto process killed in the middle of a download leaves a consistent database, and the
// next download completes it: every swipe the terminal holds stored exactly once.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <limits>
#include <regex>
#include <set>

#include "host/db/record_store.h"
#include "tests/cli/sim_fixture.h"
#include "host/db/database.h"

extern char** environ;

namespace vanto::cli::testing {
namespace {

// Reads the child's standard error until its progress line reports at least `records`, or
// the bound runs out. Returns the count seen (-1 when the child ended first).
long WaitForProgress(int fd, long records, std::chrono::seconds bound, std::string* seen) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  std::regex progress("downloading: ([0-9]+) records");
  long last = 0;
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (poll(&p, 1, std::max(left, 1)) <= 0) continue;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return -1;
    seen->append(buffer, static_cast<std::size_t>(n));
    for (auto it = std::sregex_iterator(seen->begin(), seen->end(), progress); it != std::sregex_iterator(); ++it)
      last = std::stol((*it)[1]);
    if (last >= records) return last;
  }
  return last;
}

// Starts `vanto download` for (1, 1) with its standard error on a pipe; returns the child and the
// pipe's reading end.
pid_t SpawnDownload(const std::string& db, int* err_fd, const std::vector<std::string>& more = {}) {
  int err[2];
  if (pipe(err) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {VANTO_EXE, "download", "--port", "1", "--terminal", "1", "--progress", "--db", db};
  args.insert(args.end(), more.begin(), more.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, VANTO_EXE, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(err[1]);
  if (spawned != 0) {
    close(err[0]);
    return -1;
  }
  *err_fd = err[0];
  return child;
}

class KillMidDownload : public SimSite {};

TEST_P(KillMidDownload, TheNextRunCompletesAConsistentDatabase) {
  auto& t = site_.AddTerminal(1, 1);
  // Enough records that the download runs for several seconds at the line speed: a progress line
  // on a pipe comes every two seconds.
  const int total = 12000;
  for (int i = 0; i < total; ++i) t.records.push_back(Swipe(200 + i % 9, 1 + i / 700, 7 + (i % 700) / 60, i % 60));
  site_.Options().pace = true;  // at the line's speed, so the download takes a few seconds
  Start();

  int err[2];
  ASSERT_EQ(pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {VANTO_EXE, "download", "--port", "1", "--terminal", "1", "--progress", "--db", db_};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, VANTO_EXE, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(err[1]);

  std::string seen;
  long at = WaitForProgress(err[0], 800, std::chrono::seconds(60), &seen);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(err[0]);
  ASSERT_GE(at, 800) << "the download did not get under way: " << seen;
  ASSERT_TRUE(WIFSIGNALED(status)) << "vanto ended before it was killed: " << seen;

  // Consistent, and holding what the killed run had committed: its first batch at least, which
  // it stores before the record count in the progress line can pass the batch size.
  std::int64_t kept = 0;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
    kept = store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes();
  }
  EXPECT_GT(kept, 0);
  EXPECT_LT(kept, total);

  // Pacing is read when a port starts: restart the simulator (its terminals keep their state)
  // unpaced, so the rerun is quick.
  site_.Stop();
  site_.Options().pace = false;
  Start();
  Result rerun = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  ASSERT_EQ(rerun.status, kExitOk) << rerun.err;
  EXPECT_NE(rerun.out.find(std::to_string(total - kept) + " new"), std::string::npos) << rerun.out;

  // Every swipe of the terminal, once, with its time.
  auto stored = store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).Swipes(1, 1);
  ASSERT_EQ(stored.size(), static_cast<std::size_t>(total));
  std::multiset<std::pair<int, std::string>> want, got;
  auto held = site_.Terminal(1, 1);
  ASSERT_TRUE(held);
  for (const auto& r : held->records) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:00", r.year, r.month, r.day, r.hour, r.minute);
    want.insert({r.person, text});
  }
  for (const auto& s : stored) got.insert({s.person, s.time});
  EXPECT_EQ(want, got);
}

VANTO_OVER_BOTH_TRANSPORTS(KillMidDownload);

}  // namespace
}  // namespace vanto::cli::testing

namespace vanto::cli::testing {
namespace {

// Incremental syncs killed at seeded random points: after each kill the database is consistent
// and holds a prefix of the terminal's log, each record at its own index and once; the next
// sync goes on from there; in the end the database holds the log exactly.
class KillMidSync : public SimSite {};

TEST_P(KillMidSync, IncrementalSyncsKilledAtRandomPointsLoseAndDoubleNothing) {
  auto& t = site_.AddTerminal(1, 1);
  auto swipe = [](int i) { return Swipe(300 + i % 13, 1 + i / 1440, (i % 1440) / 60, i % 60); };
  for (int i = 0; i < 500; ++i) t.records.push_back(swipe(i));
  site_.Options().pace = true;
  Start();
  std::mt19937 random(20261208);
  int total = 500;
  std::set<std::uint32_t> rejected;
  int interrupted = 0;
  for (int round = 0; round < 6; ++round) {
    const int added = std::uniform_int_distribution<int>(200, 900)(random);
    site_.EditTerminal(1, 1, [&](auto& term) {
      for (int i = total; i < total + added; ++i) term.records.push_back(swipe(i));
      if (round == 2) {
        term.records[static_cast<std::size_t>(total + added / 2)].month = 13;  // quarantined on the way
        rejected.insert(static_cast<std::uint32_t>(total + added / 2));
      }
    });
    total += added;
    const long kill_at = std::uniform_int_distribution<long>(0, added)(random);
    int err = -1;
    const pid_t child = SpawnDownload(db_, &err);
    ASSERT_GT(child, 0);
    std::string seen;
    if (kill_at > 0) WaitForProgress(err, kill_at, std::chrono::seconds(60), &seen);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(err);

    // Consistent, and every stored record is the terminal's record at its index.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
    const auto held = site_.Terminal(1, 1)->records;
    std::int64_t next = 0;
    for (const auto& s : store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).Swipes()) {
      ASSERT_TRUE(s.index) << "round " << round;
      ASSERT_LT(*s.index, held.size());
      const auto& r = held[*s.index];
      char text[32];
      std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:00", r.year, r.month, r.day, r.hour, r.minute);
      EXPECT_EQ(s.person, r.person) << "round " << round << " index " << *s.index;
      EXPECT_EQ(s.time, text) << "round " << round << " index " << *s.index;
      next = std::max<std::int64_t>(next, *s.index + 1);
    }
    const auto stored = store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes();
    const auto coverage = store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).Coverage({terminal::sim::DefaultIdentity(1, 1), 1});
    EXPECT_TRUE(coverage.Contiguous()) << "round " << round << ": a prefix, with no gap";
    EXPECT_LE(stored, next);
    if (coverage.next < total) ++interrupted;
  }
  EXPECT_GE(interrupted, 3) << "most kills land inside a sync";
  Result final = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  EXPECT_TRUE(final.status == kExitOk || final.status == kExitFalse) << final.err;
  Result again = Vanto(Db({"download", "--port", "1", "--terminal", "1"}));
  ASSERT_EQ(again.status, kExitOk) << again.err;
  EXPECT_NE(again.out.find("1 record delivered, 0 new, 1 already stored"), std::string::npos) << again.out;
  const auto held = site_.Terminal(1, 1)->records;
  auto stored = store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).Swipes();
  EXPECT_EQ(stored.size(), held.size() - rejected.size());
  std::set<std::uint32_t> indexes;
  for (const auto& s : stored) indexes.insert(*s.index);
  EXPECT_EQ(indexes.size(), stored.size()) << "no index twice";
  for (std::uint32_t i : rejected) EXPECT_FALSE(indexes.contains(i));
  auto quarantined = store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).Rejected();
  ASSERT_EQ(quarantined.size(), rejected.size());
  if (!quarantined.empty()) {
    EXPECT_EQ(quarantined[0].index, *rejected.begin());
  }
}

VANTO_OVER_BOTH_TRANSPORTS(KillMidSync);


// A batch the store refuses (another program holds the database's write lock past the lock
// time-out) keeps its place: the download waits for it, reading nothing more. Whether the download
// is killed while it waits or its last attempt fails too, the database holds a prefix of the log with no gap, a
// clear refuses while the lock still keeps records out, and the next download completes the log
// with every record once, at its own index.
class RefusedBatch : public SimSite {};

TEST_P(RefusedBatch, NoGapAndNoDoubleWhetherTheDownloadIsKilledOrItsLastTryFails) {
  auto& t = site_.AddTerminal(1, 1);
  const int total = 7000;
  auto swipe = [](int i) { return Swipe(400 + i % 17, 1 + i / 1440, (i % 1440) / 60, i % 60); };
  for (int i = 0; i < total; ++i) t.records.push_back(swipe(i));
  site_.Options().pace = true;  // a few seconds at the line's speed: time to take the lock mid-way
  Start();
  struct Ending {
    const char* name;
    bool kill;  // the download is killed while it waits; else the lock outlasts its attempts
  };
  for (const Ending ending : {Ending{"killed", true}, Ending{"last try fails", false}}) {
    SCOPED_TRACE(ending.name);
    if (!site_.Options().pace) {  // pacing is read when a port starts: restart the simulator paced
      site_.Stop();
      site_.Options().pace = true;
      Start();
    }
    const std::string db = (folder_ / (std::string(ending.kill ? "killed" : "failed") + ".db")).string();
    store::RecordStore(vanto::db::Database::Open(db)->Swipes());  // the schema, so the test's lock is on a database in use
    int err = -1;
    // Killed: the pause outlasts the test's reaction by far (six waits of 5 s); else six waits
    // of 0.2 s end the download.
    const pid_t child = SpawnDownload(db, &err, {"--lock-timeout", ending.kill ? "5" : "0.2"});
    ASSERT_GT(child, 0);
    std::string seen;
    const long at = WaitForProgress(err, 1000, std::chrono::seconds(60), &seen);
    // Another program's write transaction: the next batch waits and is refused.
    sqlite3* lock = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &lock), SQLITE_OK);
    sqlite3_busy_timeout(lock, 10000);
    ASSERT_EQ(sqlite3_exec(lock, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(lock);
    // The download says it waits for the database, and reads nothing more meanwhile.
    const std::size_t from = seen.size();
    for (int wait = 0; wait < 600 && seen.find("waiting for the database", from) == std::string::npos; ++wait)
      if (WaitForProgress(err, std::numeric_limits<long>::max(), std::chrono::seconds(1), &seen) < 0) break;
    ASSERT_NE(seen.find("waiting for the database", from), std::string::npos) << seen;
    int status = 0;
    if (ending.kill) {
      // Killed during the wait: at most the batch with the writer and the one gathered are lost.
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      close(err);
      ASSERT_TRUE(WIFSIGNALED(status)) << "vanto ended before it was killed: " << seen;
      ASSERT_EQ(sqlite3_exec(lock, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    } else {
      // To the end of its standard error (the process is ending), within a bound.
      for (int wait = 0; wait < 5 && WaitForProgress(err, total + 1, std::chrono::seconds(60), &seen) >= 0; ++wait) {
      }
      waitpid(child, &status, 0);
      close(err);
      ASSERT_TRUE(WIFEXITED(status)) << seen;
      EXPECT_EQ(WEXITSTATUS(status), kExitHost) << seen;
      EXPECT_NE(seen.find(" records read, "), std::string::npos) << seen;
      // The lock still keeps records out: clear stores nothing and clears nothing.
      Result clear = Vanto({"clear", "--port", "1", "--terminal", "1", "--yes", "--lock-timeout", "0.2", "--db", db});
      EXPECT_NE(clear.status, kExitOk) << clear.out << clear.err;
      EXPECT_EQ(site_.Terminal(1, 1)->records.size(), static_cast<std::size_t>(total)) << "cleared with records missing";
      ASSERT_EQ(sqlite3_exec(lock, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ASSERT_GE(at, 1000) << seen;
    sqlite3_close(lock);

    // A prefix of the log, every record at its own index.
    std::set<std::uint32_t> indexes;
    std::vector<std::uint32_t> misplaced;  // indexes holding another index's record
    for (const auto& s : store::RecordStore(vanto::db::Database::Open(db)->Swipes()).Swipes()) {
      ASSERT_TRUE(s.index);
      ASSERT_LT(*s.index, static_cast<std::uint32_t>(total));
      if (s.person != swipe(static_cast<int>(*s.index)).person) misplaced.push_back(*s.index);
      EXPECT_TRUE(indexes.insert(*s.index).second) << "index " << *s.index << " twice";
    }
    EXPECT_TRUE(misplaced.empty()) << misplaced.size() << " records stored under another index, first " << misplaced.front();
    ASSERT_FALSE(indexes.empty());
    EXPECT_EQ(*indexes.rbegin() + 1, indexes.size()) << "a gap in what was stored";
    EXPECT_LT(indexes.size(), static_cast<std::size_t>(total)) << "the refused batch was stored after all";

    site_.Stop();  // the rest unpaced, so the rerun is quick
    site_.Options().pace = false;
    Start();
    Result rerun = Vanto({"download", "--port", "1", "--terminal", "1", "--db", db});
    ASSERT_EQ(rerun.status, kExitOk) << rerun.out << rerun.err;
    std::map<std::uint32_t, std::pair<int, std::string>> got;
    for (const auto& s : store::RecordStore(vanto::db::Database::Open(db)->Swipes()).Swipes()) EXPECT_TRUE(got.emplace(*s.index, std::make_pair(s.person, s.time)).second);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(total));
    for (const auto& [index, held] : got) {
      const auto r = swipe(static_cast<int>(index));
      char text[32];
      std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:00", r.year, r.month, r.day, r.hour, r.minute);
      EXPECT_EQ(held, std::make_pair(static_cast<int>(r.person), std::string(text))) << "index " << index;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pty, RefusedBatch, ::testing::Values(Transport::kPty), TransportName);

}  // namespace
}  // namespace vanto::cli::testing
