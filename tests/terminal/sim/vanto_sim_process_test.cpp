// vanto-sim as a process: it announces its lines, answers on them, and on SIGTERM stops at
// once, saving what the terminals were given.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "terminal/protocol/frame_parser.h"
#include "terminal/protocol/messages.h"
#include "terminal/serial/serial_port.h"
#include "terminal/tcp/tcp_line.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace terminal::protocol;
using terminal::serial::Clock;

class SimProcess {
 public:
  // `ignoringInterrupt`: started as from a shell's background, with SIGINT ignored.
  explicit SimProcess(std::vector<std::string> args, bool ignoringInterrupt = false) {
    int pipeFds[2], errFds[2];
    EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(errFds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errFds[1], 2);
    args.insert(args.begin(), VANTO_SIM_PATH);
    if (ignoringInterrupt) {
      std::string command = "trap '' INT; exec";
      for (const auto& arg : args) command += " '" + arg + "'";
      args = {"/bin/sh", "-c", command};
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    ::close(errFds[1]);
    out_ = pipeFds[0];
    err_ = errFds[0];
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  }
  ~SimProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
    if (pidfd_ >= 0) ::close(pidfd_);
  }

  // What it wrote to standard error (after it ended).
  std::string Errors() {
    std::string text;
    char buffer[512];
    pollfd waiter{err_, POLLIN, 0};
    while (::poll(&waiter, 1, 1000) == 1) {
      const ssize_t got = ::read(err_, buffer, sizeof buffer);
      if (got <= 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }

  // The lines it prints up to "ready" (bounded wait).
  std::vector<std::string> ReadUntilReady(std::chrono::milliseconds limit) {
    std::vector<std::string> lines;
    std::string pending;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      pollfd waiter{out_, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (::poll(&waiter, 1, static_cast<int>(std::max<long long>(left, 1))) <= 0) continue;
      char buffer[256];
      const ssize_t got = ::read(out_, buffer, sizeof buffer);
      if (got <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(got));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        lines.push_back(pending.substr(0, end));
        if (lines.back() == "ready") return lines;
      }
    }
    return lines;
  }

  // Fills its standard output up, so that its next write there waits until we read: through a
  // write end of our own, opened anew so that its file status (non-blocking) is not the process's.
  void FillOutput() {
    const int fill = ::open(("/proc/" + std::to_string(pid_) + "/fd/1").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fill, 0) << std::strerror(errno);
    const std::string chunk(4096, '#');
    while (::write(fill, chunk.data(), chunk.size()) > 0) {
    }
    while (::write(fill, "#", 1) > 0) {
    }
    EXPECT_EQ(errno, EAGAIN);
    ::close(fill);
  }

  void Signal(int signal) { EXPECT_EQ(::kill(pid_, signal), 0); }

  // Reads its standard output to its end and waits for the exit, both bounded; returns the exit
  // status (or -1) and what it wrote after the lines already read.
  std::pair<int, std::string> DrainAndWait(std::chrono::milliseconds limit) {
    std::string text;
    const auto deadline = Clock::now() + limit;
    char buffer[4096];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd waiter{out_, POLLIN, 0};
      if (left <= 0 || ::poll(&waiter, 1, static_cast<int>(left)) != 1) return {-1, text};
      const ssize_t got = ::read(out_, buffer, sizeof buffer);
      if (got <= 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return {StopWith(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())), text};
  }

  // Sends `signal` and waits (bounded) for the exit; returns the exit status or -1.
  int StopWith(int signal, std::chrono::milliseconds limit) {
    ::kill(pid_, signal);
    pollfd waiter{pidfd_, POLLIN, 0};
    if (::poll(&waiter, 1, static_cast<int>(std::max<long long>(limit.count(), 0))) != 1) return -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int pidfd_ = -1;
  bool exited_ = false;
};

std::optional<Frame> Ask(terminal::line::Line& port, const Frame& request) {
  port.Write(EncodeFrame(request), Clock::now() + 1s);
  FrameParser parser;
  std::array<std::uint8_t, 512> buffer{};
  const auto deadline = Clock::now() + 2s;
  while (Clock::now() < deadline) {
    const std::size_t got = port.ReadSome(buffer, deadline);
    if (got == 0) break;
    parser.Feed(std::span(buffer.data(), got));
    if (auto frame = parser.Next()) return frame;
  }
  return std::nullopt;
}

TEST(VantoSimProcess, AnnouncesAnswersStopsAndSaves) {
  const std::string dir = std::filesystem::temp_directory_path() / ("vanto-sim-process-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string seed = dir + "/site.seed", saved = dir + "/saved.seed";
  {
    std::ofstream out(seed);
    out << "port 2\n  terminal 9\n    record 5 2026 1 2 3 4\n";
  }
  SimProcess sim({"--seed", seed, "--save", saved, "--link-dir", dir + "/lines"});
  const auto lines = sim.ReadUntilReady(5s);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "port 2: " + dir + "/lines/port2");

  terminal::serial::SerialPort port(dir + "/lines/port2", 115200);
  const auto probe = Ask(port, {9, static_cast<std::uint8_t>(Command::kProbe), 1, {}});
  ASSERT_TRUE(probe);
  EXPECT_EQ(DecodeProbeAnswer(probe->payload)->recordCount, 1u);
  EnrolmentData password;
  password.key = {31, kPasswordEnrolment};
  password.password = 2468;
  const auto stored = Ask(port, {9, static_cast<std::uint8_t>(Command::kWriteEnrolment), 2, Encode(password)});
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->command, AnswerTo(Command::kWriteEnrolment));

  EXPECT_EQ(sim.StopWith(SIGTERM, 3000ms), 0);
  std::ifstream in(saved);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("password 31 2468"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("record 5 2026 1 2 3 4"), std::string::npos) << text.str();
  EXPECT_FALSE(std::filesystem::exists(dir + "/lines/port2"));
  std::filesystem::remove_all(dir);
}

// Waits (bounded) until a file named `name` is created in the folder `watch` looks at.
bool WaitForCreated(int watch, const std::string& name, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd waiter{watch, POLLIN, 0};
    if (left <= 0 || ::poll(&waiter, 1, static_cast<int>(left)) != 1) return false;
    const ssize_t got = ::read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; got > 0 && at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && name == event->name) return true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

// `timeout` signals the process and then its group: a stop signal that comes while the site is
// being saved must not cut the save. Its staging file appearing says the save began; the
// simulator's standard output is kept full, so it cannot end before the second signal is in.
TEST(VantoSimProcess, AStopSignalDuringTheSaveDoesNotCutIt) {
  const std::string dir = std::filesystem::temp_directory_path() / ("vanto-sim-twice-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string seed = dir + "/site.seed", saved = dir + "/saved.seed";
  {
    std::ofstream out(seed);
    out << "port 2\n  terminal 9\n    record 5 2026 1 2 3 4\n";
  }
  for (const int second : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(::strsignal(second));
    std::filesystem::remove(saved);
    SimProcess sim({"--seed", seed, "--save", saved, "--link-dir", dir + "/lines"});
    ASSERT_EQ(sim.ReadUntilReady(5s).size(), 2u);
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.c_str(), IN_CREATE), 0);
    ASSERT_NO_FATAL_FAILURE(sim.FillOutput());
    sim.Signal(SIGTERM);
    const bool began = WaitForCreated(watch, "saved.seed.tmp", 10s);
    ::close(watch);
    ASSERT_TRUE(began) << "the save did not begin";
    sim.Signal(second);
    const auto [status, output] = sim.DrainAndWait(10s);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Saved the site to " + saved + "\n"), std::string::npos) << output;
    std::ifstream in(saved);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("record 5 2026 1 2 3 4"), std::string::npos) << text.str();
    struct stat info {};
    ASSERT_EQ(::stat(saved.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "a site holds people's data";
    EXPECT_FALSE(std::filesystem::exists(saved + ".tmp"));
  }
  std::filesystem::remove_all(dir);
}

TEST(VantoSimProcess, RefusesABadSeedWithItsLine) {
  const std::string seed = std::filesystem::temp_directory_path() / ("vanto-sim-bad-" + std::to_string(::getpid()));
  {
    std::ofstream out(seed);
    out << "port 1\n  terminal 1\n  recrd 1 2 3\n";
  }
  SimProcess sim({"--seed", seed});
  EXPECT_TRUE(sim.ReadUntilReady(5s).empty());
  EXPECT_EQ(sim.StopWith(0, 3000ms), 1);  // signal 0: just wait for its own exit
  std::filesystem::remove(seed);
}

// Started in a shell's background, where SIGINT comes ignored, it still stops on one.
TEST(VantoSimProcess, ServesOverTcpAndStopsOnInterrupt) {
  const std::string seed = std::filesystem::temp_directory_path() / ("vanto-sim-tcp-" + std::to_string(::getpid()));
  {
    std::ofstream out(seed);
    out << "port 2\n  terminal 9\n    records 3 5 1 2026 1 2 3 4\n";
  }
  SimProcess sim({"--tcp", "--seed", seed}, /*ignoringInterrupt=*/true);
  const auto lines = sim.ReadUntilReady(5s);
  ASSERT_EQ(lines.size(), 2u);
  const std::string prefix = "port 2: tcp://127.0.0.1:";
  ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
  terminal::tcp::TcpLine line(lines[0].substr(std::string("port 2: ").size()), 2000ms);
  const auto probe = Ask(line, {9, static_cast<std::uint8_t>(Command::kProbe), 1, {}});
  ASSERT_TRUE(probe);
  EXPECT_EQ(DecodeProbeAnswer(probe->payload)->recordCount, 3u);
  EXPECT_EQ(sim.StopWith(SIGINT, 3000ms), 0);
  std::filesystem::remove(seed);
}

TEST(VantoSimProcess, RefusesHugeSeedsBadOptionsAndUnwritableSaveAtOnce) {
  const std::string dir = std::filesystem::temp_directory_path() / ("vanto-sim-refuse-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  {
    std::ofstream out(dir + "/huge.seed");
    out << "port 1\n  terminal 1\n    records 99999999999 1 5 2026 1 1 0 0\n";
  }
  struct Case {
    std::vector<std::string> args;
    std::string named;
  } cases[] = {
      {{"--seed", dir + "/huge.seed"}, dir + "/huge.seed:3:"},
      {{"--seed", dir}, "a folder"},
      {{"--speed", "14400"}, "--speed 14400"},
      {{"--save", dir + "/missing/site.seed"}, "--save"},
  };
  for (const Case& c : cases) {
    SimProcess sim(c.args);
    EXPECT_TRUE(sim.ReadUntilReady(5s).empty()) << c.named;
    EXPECT_EQ(sim.StopWith(0, 5000ms), 1) << c.named;
    EXPECT_NE(sim.Errors().find(c.named), std::string::npos) << c.named;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
