// vanto-sim as a process: it announces its lines, answers on them, and on SIGTERM stops at
// once, saving what the terminals were given.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
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

  // Sends `signal` and waits (bounded) for the exit; returns the exit status or -1.
  int StopWith(int signal, std::chrono::milliseconds limit) {
    ::kill(pid_, signal);
    pollfd waiter{pidfd_, POLLIN, 0};
    if (::poll(&waiter, 1, static_cast<int>(limit.count())) != 1) return -1;
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
