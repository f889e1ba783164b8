// A simulated site for the host's end-to-end tests: a temporary folder with the database and
// the component registry, the simulator on its own threads, and the control's port settings
// pointing at its lines: pseudo-terminals or loopback TCP ports (the test's parameter).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/site/site.h"
#include "terminal/control/settings.h"
#include "cli/cli.h"
#include "terminal/sim/front_end.h"
#include "terminal/sim/simulator.h"

namespace vanto::cli::testing {

struct Result {
  int status;
  std::string out, err;
};

// Runs a command line of the host in this process, on a thread of its own: like a process of
// its own, it gets a fresh terminal link, whose control reads the port settings as they are now.
inline Result Vanto(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int status = -1;
  std::thread run([&] {
    Io io{out, err, false};
    status = RunVanto(args, io);
  });
  run.join();
  return {status, out.str(), err.str()};
}

// One swipe record as the simulator holds it.
inline terminal::sim::CardRecordFields Swipe(std::int32_t person, int day, int hour, int minute) {
  return {person, 2026, 11, day, hour, minute};
}

// A template whose values follow from `seed` (element 459 is not stored, so it stays 0).
inline terminal::sim::Template TemplateOf(int seed) {
  terminal::sim::Template t{};
  for (std::size_t i = 0; i + 1 < t.size(); ++i) t[i] = static_cast<std::int32_t>((i * 7919 + seed * 104729) % 400001) - 200000;
  return t;
}

enum class Transport { kPty, kTcp };
inline std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
  return info.param == Transport::kPty ? "Pty" : "Tcp";
}
// Instantiates a SimSite test suite over both transports.
#define VANTO_OVER_BOTH_TRANSPORTS(suite)                                                               \
  INSTANTIATE_TEST_SUITE_P(Transports, suite, ::testing::Values(Transport::kPty, Transport::kTcp), \
                           TransportName)

class SimSite : public ::testing::TestWithParam<Transport> {
 protected:
  bool Tcp() const { return GetParam() == Transport::kTcp; }
  void SetUp() override {
    if (!VANTO_MODULES_BUILT) GTEST_SKIP() << "the driver and control modules are not part of this build";
    char pattern[] = "/tmp/vanto-e2e-XXXXXX";
    folder_ = mkdtemp(pattern);
    db_ = (folder_ / "vanto.db").string();
    setenv("VANTO_REGISTRY", (folder_ / "registry").c_str(), 1);
    unsetenv(::terminal::control::kBatchVariable);  // downloads choose their own unless a test sets it
    site_.Options().linkDir = (folder_ / "ports").string();
    std::filesystem::create_directories(site_.Options().linkDir);
    site_.Options().pace = false;
    site_.Options().turnaround = std::chrono::microseconds(0);
    site_.Options().tcp = Tcp();
  }
  void TearDown() override {
    site_.Stop();
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }
  // Starts the site and points the control at it.
  void Start() {
    paths_ = site_.Start();
    for (const auto& [name, value] : terminal::sim::PortSettings(paths_))
      if (name.rfind("VANTO_FK_PORT_", 0) == 0 || !std::getenv(name.c_str())) ::setenv(name.c_str(), value.c_str(), 1);
  }
  std::vector<std::string> Db(std::vector<std::string> args) const {
    args.push_back("--db");
    args.push_back(db_);
    return args;
  }

  std::filesystem::path folder_;
  std::string db_;
  terminal::sim::SimulatorSite site_;
  std::map<int, std::string> paths_;
};


// The same site with the process's zone set to UTC, for tests that compare the simulated clocks
// (which follow the process's local time) with times they compute.
class UtcSimSite : public SimSite {
 protected:
  void SetUp() override {
    SimSite::SetUp();
    if (IsSkipped()) return;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
    SimSite::TearDown();
  }
};

inline std::int64_t UnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// `count` swipes, one a minute from day `day` of November 2026, persons from `first` cycling
// through 13: logs made with another `first` or `day` differ at every index, and a longer one made
// with the same arguments goes on where the shorter ends.
inline std::vector<terminal::sim::CardRecordFields> Log(int count, std::int32_t first, int day) {
  std::vector<terminal::sim::CardRecordFields> out;
  for (int i = 0; i < count; ++i) out.push_back({first + i % 13, 2026, 11, day + i / 1440, (i % 1440) / 60, i % 60});
  return out;
}

// A swipe's minute as the database keeps it.
inline std::string TimeText(const terminal::sim::CardRecordFields& r) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:00", r.year, r.month, r.day, r.hour, r.minute);
  return text;
}

}  // namespace vanto::cli::testing
