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
#include <regex>

#include "cli/store/record_store.h"
#include "tests/cli/sim_fixture.h"

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
    kept = store::RecordStore::Open(db_).CountSwipes();
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
  auto stored = store::RecordStore::Open(db_).Swipes(1, 1);
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
