// A `vanto` process of its own for the end-to-end tests that run the host as a site does: its
// standard output and error go to files, and a wait for its end is bounded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/cli/sim_fixture.h"

extern char** environ;

namespace vanto::cli::testing {

class Child {
 public:
  // Starts VANTO_EXE with `args`, the test's environment and `extra_env` ("NAME=value", later
  // entries win).
  Child(const std::filesystem::path& folder, const std::string& name, std::vector<std::string> args,
        const std::vector<std::string>& extra_env = {})
      : out_(folder / (name + ".out")), err_(folder / (name + ".err")) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    args.insert(args.begin(), VANTO_EXE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const auto& extra : extra_env) replaced |= entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1);
      if (!replaced) env_text.push_back(entry);
    }
    for (const auto& e : extra_env) env_text.push_back(e);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, VANTO_EXE, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // Waits for the process to end, at most `bound`: past it the process is killed, the test
  // fails, and the status is -1.
  Result Wait(std::chrono::seconds bound = std::chrono::seconds(120)) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (fd >= 0) {
      pollfd ready{fd, POLLIN, 0};
      int polled;
      do polled = ::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(bound).count()));
      while (polled < 0 && errno == EINTR);
      ::close(fd);
      if (polled == 0) {
        ADD_FAILURE() << "vanto " << out_.stem() << " did not end within " << bound.count() << " s: killed";
        kill(pid_, SIGKILL);
      }
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    waited_ = true;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(out_), Read(err_)};
  }
  std::string Err() const { return Read(err_); }

 private:
  static std::string Read(const std::filesystem::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::path out_, err_;
  pid_t pid_ = -1;
  bool waited_ = false;
};

}  // namespace vanto::cli::testing
