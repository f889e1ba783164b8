// `vanto sim` as another host sees it: started as a process of its own, it prints the settings
// a host needs; a host that sets them scans and downloads; SIGINT stops it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "host/db/record_store.h"
#include "tests/cli/sim_fixture.h"
#include "host/db/database.h"

extern char** environ;

namespace vanto::cli::testing {
namespace {

class SimCommand : public SimSite {
 protected:
  void TearDown() override {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    SimSite::TearDown();
  }
  // Starts `vanto sim ARGS` with its standard output on a pipe.
  void Spawn(std::vector<std::string> args) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    args.insert(args.begin(), {VANTO_EXE, "sim"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(::posix_spawn(&child_, VANTO_EXE, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
  }
  // Its output up to the line starting with `last` (bounded wait).
  std::vector<std::string> ReadThrough(const std::string& last) {
    std::vector<std::string> lines;
    std::string pending;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd waiter{out_, POLLIN, 0};
      if (::poll(&waiter, 1, 200) <= 0) continue;
      char buffer[512];
      const ssize_t got = ::read(out_, buffer, sizeof buffer);
      if (got <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(got));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        lines.push_back(pending.substr(0, end));
        if (lines.back().rfind(last, 0) == 0) return lines;
      }
    }
    return lines;
  }
  int StopWithInterrupt() {
    ::kill(child_, SIGINT);
    int status = 0;
    ::waitpid(child_, &status, 0);  // bounded by the test's own time-out
    child_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t child_ = -1;
  int out_ = -1;
};

TEST_P(SimCommand, AnotherHostScansAndDownloadsWithThePrintedSettings) {
  const std::string seed = (folder_ / "site.seed").string();
  std::ofstream(seed) << "port 1\n terminal 2\n  records 250 7 3 2026 11 6 8 0\nport 2\n terminal 4\n";
  std::vector<std::string> args = {"--seed", seed, "--link-dir", (folder_ / "lines").string()};
  if (Tcp()) args.push_back("--tcp");
  Spawn(args);
  const auto lines = ReadThrough("# Stop");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind(Tcp() ? "port 1: tcp://127.0.0.1:" : "port 1: " + (folder_ / "lines").string(), 0), 0u)
      << lines[0];
  EXPECT_EQ(lines[2], "ready");
  int exported = 0;
  for (const std::string& line : lines) {
    if (line.rfind("export ", 0) != 0) continue;
    const auto equals = line.find('=');
    ::setenv(line.substr(7, equals - 7).c_str(), line.substr(equals + 1).c_str(), 1);
    ++exported;
  }
  EXPECT_EQ(exported, 5) << "two ports, two timeouts and the gap";

  const Result scan = Vanto({"scan", "--ports", "1-2", "--terminals", "1-5"});
  ASSERT_EQ(scan.status, kExitOk) << scan.err;
  EXPECT_EQ(scan.out, "PORT  TERMINAL\n   1         2\n   2         4\n");
  const Result download = Vanto(Db({"download", "--port", "1", "--terminal", "2"}));
  ASSERT_EQ(download.status, kExitOk) << download.err;
  EXPECT_EQ(store::RecordStore(vanto::db::Database::Open(db_)->Swipes()).CountSwipes(1, 2), 250);
  EXPECT_EQ(StopWithInterrupt(), 0);
}

VANTO_OVER_BOTH_TRANSPORTS(SimCommand);

}  // namespace
}  // namespace vanto::cli::testing
