// A `vanto serve` child for the console benchmarks: started over a site file (its log into a file,
// the port it listens on read from what it prints), signed in as the benchmarks' user, stopped with
// a bounded wait; with the figures both benchmarks print (percentiles, peak resident memory, the
// machine's load). Shared by console_bench and attendance_pages_bench.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include "bench/bench_server.h"

extern char** environ;

namespace vanto::bench {

using Clock = std::chrono::steady_clock;

// The user the benchmarks sign in as (an admin they add to the database they seed).
inline constexpr const char* kUser = "bench";
inline constexpr const char* kPassword = "bench password 1";

[[noreturn]] inline void Fail(const std::string& what) {
  std::cerr << program_invocation_short_name << ": " << what << std::endl;
  std::exit(1);
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// The child `vanto serve`: its pid and the port it printed.
struct Server {
  pid_t pid = -1;
  int port = 0;
};

// `vanto` (the program at that path) serving `site_file` on a port of loopback it chooses.
inline Server Start(const std::string& vanto, const std::string& site_file, const std::string& log_file) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) Fail("cannot make a pipe: " + std::string(std::strerror(errno)));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  // Its log (a line per request) into a file beside the database, read when it fails.
  posix_spawn_file_actions_addopen(&actions, 2, log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> args = {vanto, "serve", "--site", site_file, "--listen", "127.0.0.1:0"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Server server;
  int rc = posix_spawn(&server.pid, vanto.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) Fail("cannot start " + vanto + ": " + std::strerror(rc));
  // Wait (at most 30 s) for "listening on http://127.0.0.1:PORT".
  std::string text;
  const auto until = Clock::now() + std::chrono::seconds(30);
  static const std::regex listening("http://127\\.0\\.0\\.1:([0-9]+)");
  std::smatch m;
  while (!std::regex_search(text, m, listening)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) Fail("vanto serve did not say where it listens within 30 s");
    char buffer[256];
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) Fail("vanto serve ended before it listened: " + text);
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  server.port = std::stoi(m[1].str());
  return server;
}

inline long long PeakKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
  return -1;
}

inline int Threads(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  return -1;
}

inline void Stop(const Server& server) {
  // Waits on the child's end through its process descriptor, at most 30 s.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, server.pid, 0));
  kill(server.pid, SIGTERM);
  pollfd p{pidfd, POLLIN, 0};
  if (pidfd < 0 || poll(&p, 1, 30000) != 1) {
    std::cerr << program_invocation_short_name << ": vanto serve did not stop within 30 s; killed" << std::endl;
    kill(server.pid, SIGKILL);
  }
  if (pidfd >= 0) close(pidfd);
  int status = 0;
  waitpid(server.pid, &status, 0);
}

inline std::string CookieOf(const httplib::Result& r, const std::string& name) {
  for (std::size_t i = 0; i < r->get_header_value_count("Set-Cookie"); ++i) {
    std::string c = r->get_header_value("Set-Cookie", i);
    if (c.rfind(name + "=", 0) == 0) return c.substr(name.size() + 1, c.find(';') - name.size() - 1);
  }
  return {};
}

// A session cookie, or "" when signing in failed (no answer within 30 s, or refused).
inline std::string TrySignIn(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(std::chrono::seconds(30));
  client.set_read_timeout(std::chrono::seconds(30));
  auto form = client.Get("/login");
  if (!form) return {};
  std::string token = CookieOf(form, "vanto_login");
  auto r = client.Post("/login", httplib::Headers{{"Cookie", "vanto_login=" + token}},
                       httplib::Params{{"csrf", token}, {"name", kUser}, {"password", kPassword}});
  if (!r || r->status != 303) return {};
  std::string session = CookieOf(r, "vanto_session");
  return session.empty() ? std::string() : "vanto_session=" + session;
}

inline std::string SignIn(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(std::chrono::seconds(30));
  auto form = client.Get("/login");
  if (!form) Fail("GET /login failed");
  std::string token = CookieOf(form, "vanto_login");
  auto r = client.Post("/login", httplib::Headers{{"Cookie", "vanto_login=" + token}},
                       httplib::Params{{"csrf", token}, {"name", kUser}, {"password", kPassword}});
  if (!r || r->status != 303) Fail("signing in failed");
  std::string session = CookieOf(r, "vanto_session");
  if (session.empty()) Fail("signing in set no session");
  return "vanto_session=" + session;
}

inline double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t at = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

// Runs `run(engine, location, kept)` on SQLite (the file `database`, used as it is when it exists;
// else a file of its own, removed after) and, with a PostgreSQL server (ServerUrl), on PostgreSQL
// (the database `pg_database`, used as it is when it exists; else one of its own, `prefix` and
// this process's id, dropped after). `kept`: the database was there before, seeded already.
inline void OnEachEngine(const std::string& database, const std::string& pg_database, const std::string& prefix,
                         const std::function<void(const std::string&, const std::string&, bool)>& run) {
  if (!database.empty()) {
    run("SQLite", database, std::filesystem::exists(database));
  } else {
    char pattern[] = "/tmp/vanto-bench-db-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) Fail("cannot make a folder in /tmp: " + std::string(std::strerror(errno)));
    const std::filesystem::path folder = made;
    run("SQLite", (folder / "site.db").string(), false);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  const std::optional<std::string> url = ServerUrl();
  if (!url) {
    std::printf("PostgreSQL: not run (set VANTO_BENCH_PG_URL or VANTO_TEST_PG_URL)\n");
    return;
  }
  const bool keep = !pg_database.empty();
  const std::string name = keep ? pg_database : prefix + "_" + std::to_string(::getpid());
  if (keep && !std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::islower(c) || std::isdigit(c) || c == '_'; }))
    Fail("--pg-database takes a name of lower-case letters, digits and '_'");
  // A kept database that exists already is used as it is.
  const bool created = Admin(WithDatabase(*url, "postgres"), "CREATE DATABASE " + name);
  if (!created && !(keep && Admin(WithDatabase(*url, name), "SET application_name = '" + prefix + "'")))
    Fail("cannot create the benchmark's database " + name);
  run("PostgreSQL", WithDatabase(*url, name), !created);
  if (!keep) Admin(WithDatabase(*url, "postgres"), "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

}  // namespace vanto::bench
