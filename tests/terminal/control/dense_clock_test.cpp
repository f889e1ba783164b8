// Protocol version 3 through the control's core over both line backends: record reads in the
// dense form on a bus that mixes versions, its fall-back to the plain form, its exactly-once
// reading under faults and from a start index, and terminal clocks (drift, set, lost power,
// refusals, answers that are no valid time).
#include <poll.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bench/terminal/realistic_log.h"
#include "terminal/control/terminal_client.h"
#include "terminal/protocol/dense.h"
#include "terminal/protocol/frame_parser.h"
#include "terminal/sim/simulator.h"
#include "tests/support/tcp_peer.h"

namespace terminal::control {
namespace {

using namespace std::chrono_literals;
using protocol::CardRecordFields;
using protocol::ClockTime;
using sim::FaultPlan;
using sim::SimTerminal;
using sim::SimulatorSite;
using SystemClock = std::chrono::system_clock;

enum class Transport { kPty, kTcp };

ControlSettings SettingsFor(const std::map<int, std::string>& paths) {
  ControlSettings settings;
  settings.portPaths = paths;
  settings.probeTimeout = 200ms;
  settings.answerTimeout = 200ms;
  settings.batch = 255;
  return settings;
}

std::vector<CardRecordFields> ReadAll(TerminalClient& client, std::int64_t address) {
  std::vector<CardRecordFields> records;
  client.BeginRead(address);
  while (auto record = client.NextRecord(address)) records.push_back(*record);
  return records;
}

// A realistic log with records the dense form must carry whole or as negative differences.
std::vector<CardRecordFields> OddLog(std::uint32_t seed) {
  auto log = bench::RealisticLog(700, seed);
  log.insert(log.begin() + 100, {{-1, 2026, 13, 32, 24, 60}, {5, 2026, 11, 3, 9, 0}});  // impossible, then on again
  log.insert(log.begin() + 300, {std::numeric_limits<std::int32_t>::min(), 1999, 12, 31, 23, 59});  // raw
  log.insert(log.begin() + 400, {1200, 2026, 11, 1, 7, 0});  // the clock set back days
  log.insert(log.begin() + 401, {std::numeric_limits<std::int32_t>::max(), 2026, 11, 1, 7, 0});
  return log;
}

class DenseAndClock : public ::testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    site_.Options().pace = false;
    site_.Options().turnaround = 0us;
    site_.Options().tcp = GetParam() == Transport::kTcp;
    site_.Options().now = [this] { return SystemClock::time_point(std::chrono::seconds(fakeNow_.load())); };
  }
  void TearDown() override { site_.Stop(); }
  void Start() { paths_ = site_.Start(); }
  SimTerminal& Add(int address, int version, std::vector<CardRecordFields> records = {}) {
    auto& terminal = site_.AddTerminal(1, address);
    terminal.version = version;
    terminal.records = std::move(records);
    return terminal;
  }
  // The host's local wall time now, as the simulated clocks see it.
  std::int64_t HostWall() const {
    return static_cast<std::int64_t>(sim::HostWallSeconds(SystemClock::time_point(std::chrono::seconds(fakeNow_.load()))));
  }

  SimulatorSite site_;
  std::map<int, std::string> paths_;
  // 2026-12-08 10:00:00 UTC; tests move it on.
  std::atomic<std::int64_t> fakeNow_{
      std::chrono::sys_seconds(std::chrono::sys_days(std::chrono::year(2026) / 12 / 8) + std::chrono::hours(10))
          .time_since_epoch()
          .count()};
};

TEST_P(DenseAndClock, AMixedBusReadsEveryRecordAndOnlyVersionThreeOnDensely) {
  std::map<int, std::vector<CardRecordFields>> logs;
  for (int version = 1; version <= 4; ++version) Add(version, version, logs[version] = OddLog(version));
  Start();
  TerminalClient client(SettingsFor(paths_));
  client.SelectPort(1);
  for (int version = 1; version <= 4; ++version) {
    const auto before = site_.Stats(1);
    EXPECT_EQ(ReadAll(client, version), logs[version]) << "version " << version;
    EXPECT_EQ(site_.Stats(1).denseAnswers > before.denseAnswers, version >= 3) << "version " << version;
    EXPECT_EQ(site_.Stats(1).checkedAnswers > before.checkedAnswers, version == 4) << "version " << version;
    const auto status = ReadRegistry::Status(1, version);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dense, version >= 3);
    EXPECT_EQ(status->fallbacks, 0u) << "version " << version;
    EXPECT_EQ(status->state, ReadStatus::kComplete);
    EXPECT_EQ(client.ReadLog(version).Version(), version);
  }
}

TEST_P(DenseAndClock, DenseBatchesThatMiscountAreReadAgainInThePlainForm) {
  const auto log = OddLog(4);
  Add(4, 3, log).denseMiscount = true;
  Start();
  ControlSettings settings = SettingsFor(paths_);
  settings.retries = 2;
  TerminalClient client(settings);
  client.SelectPort(1);
  EXPECT_EQ(ReadAll(client, 4), log);
  EXPECT_EQ(site_.Stats(1).denseAnswers, 3u) << "the first dense batch was asked for three times, then no more";
  const auto status = ReadRegistry::Status(1, 4);
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->dense);
  EXPECT_EQ(status->fallbacks, 1u);
}

TEST_P(DenseAndClock, DenseReadsGoOnFromWhereTheHostLeftOffAndSurviveFaults) {
  const auto log = OddLog(5);
  Add(5, 3, log);
  FaultPlan plan;
  plan.seed = 21;
  plan.drop = 0.05;
  plan.corrupt = 0.05;
  plan.truncate = 0.05;
  plan.garbage = 0.08;
  plan.busy = 0.03;
  plan.damageRequest = 0.03;
  site_.SetFaults(1, plan);
  Start();
  ControlSettings settings = SettingsFor(paths_);
  settings.retries = 10;
  settings.batch = 40;
  TerminalClient client(settings);
  client.SelectPort(1);
  EXPECT_EQ(ReadAll(client, 5), log);
  const auto begin = client.ReadLog(5);
  for (const std::uint32_t start : {0u, 1u, 101u, 402u, static_cast<std::uint32_t>(log.size())}) {
    ReadRegistry::SetStart(1, 5, ReadStart{begin.log->identity, begin.log->generation, start});
    EXPECT_EQ(ReadAll(client, 5), std::vector(log.begin() + start, log.end())) << "from " << start;
  }
  const auto stats = site_.Stats(1);
  EXPECT_GT(stats.dropped + stats.corrupted + stats.truncated + stats.garbageBursts, 5u) << "faults were injected";
  EXPECT_GT(stats.denseAnswers, 0u);
}

TEST_P(DenseAndClock, ClocksAreReadSetAndDriftAndTheirRefusalsAreTold) {
  auto& drifting = Add(3, 3);
  drifting.clockOffset = 300;
  drifting.drift = 90;  // seconds a day
  Add(4, 3).lostPowerYear = 2000;
  Add(5, 3).clockLocked = true;
  Add(2, 2);
  Start();
  TerminalClient client(SettingsFor(paths_));
  client.SelectPort(1);
  const auto wall = [](std::int64_t seconds) { return protocol::FromWallSeconds(seconds); };

  EXPECT_EQ(client.ReadClock(3), wall(HostWall() + 300));
  fakeNow_ += 86400;
  EXPECT_EQ(client.ReadClock(3), wall(HostWall() + 300 + 90)) << "a day of drift";
  EXPECT_EQ(client.SetClock(3, wall(HostWall())), std::nullopt);
  EXPECT_EQ(client.ReadClock(3), wall(HostWall())) << "mended";
  fakeNow_ += 10 * 86400;
  EXPECT_EQ(client.ReadClock(3), wall(HostWall() + 900)) << "drifting on from the set";
  EXPECT_EQ(client.ReadClock(4), (ClockTime{2000, 1, 1, 0, 0, 0})) << "lost power";
  EXPECT_EQ(client.ReadClock(5), wall(HostWall()));

  struct Case {
    int terminal;
    ClockTime time;
    std::optional<std::uint8_t> refusal;
  } cases[] = {
      {5, wall(HostWall()), 10},               // locked
      {2, wall(HostWall()), 1},                // version 2: no clock commands
      {3, {2026, 2, 30, 8, 0, 0}, 9},          // no date: never sent
      {3, {2200, 1, 1, 0, 0, 0}, 9},           // no year a terminal must keep
      {4, {2127, 12, 31, 23, 59, 59}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(client.SetClock(c.terminal, c.time), c.refusal) << "terminal " << c.terminal;
  EXPECT_EQ(client.ReadClock(4), (ClockTime{2127, 12, 31, 23, 59, 59}));
  EXPECT_EQ(client.ReadClock(2), std::nullopt);
  // A terminal asked directly for a time it cannot keep refuses it.
  const auto result = client.Exchange(3, protocol::Command::kSetClock, protocol::Encode(ClockTime{1999, 1, 1, 0, 0, 0}),
                                      [](const protocol::Frame&) { return true; });
  EXPECT_TRUE(result.refused);
  EXPECT_EQ(result.refusal.code, static_cast<std::uint8_t>(protocol::RefusalCode::kBadClockTime));
}

INSTANTIATE_TEST_SUITE_P(Transports, DenseAndClock, ::testing::Values(Transport::kPty, Transport::kTcp),
                         [](const auto& info) { return info.param == Transport::kPty ? "Pty" : "Tcp"; });

// A terminal behind a serial device server that answers every request with `payload`.
class ScriptedTerminal {
 public:
  explicit ScriptedTerminal(std::vector<std::uint8_t> payload)
      : payload_(std::move(payload)), thread_([this] { Serve(); }) {}
  ~ScriptedTerminal() {
    stop_ = true;
    thread_.join();
  }
  std::string Address() const { return peer_.Address(); }

 private:
  void Serve() {
    if (!peer_.Accept()) return;
    protocol::FrameParser parser;
    while (!stop_) {
      pollfd ready{peer_.Connection(), POLLIN, 0};
      if (::poll(&ready, 1, 20) != 1) continue;
      std::uint8_t buffer[256];
      const ssize_t got = ::recv(peer_.Connection(), buffer, sizeof buffer, 0);
      if (got <= 0) return;
      parser.Feed(std::span(buffer, static_cast<std::size_t>(got)));
      while (auto request = parser.Next())
        peer_.Send(protocol::EncodeFrame({request->address, static_cast<std::uint8_t>(request->command | 0x80),
                                          request->sequence, payload_}));
    }
  }
  vanto::testing::TcpPeer peer_;
  std::vector<std::uint8_t> payload_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(ClockAnswers, AnswersThatAreNoValidTimeAreErrorsNamingTheValues) {
  struct Case {
    std::vector<std::uint8_t> payload;
    LinkFailure failure;  // kNone-like: kOpen stands for "read as a valid time"
    const char* detail;
  } cases[] = {
      {{0xEA, 0x07, 13, 1, 8, 0, 0}, LinkFailure::kBadClock, "2026-13-01 08:00:00"},
      {{0xEA, 0x07, 2, 30, 8, 0, 0}, LinkFailure::kBadClock, "2026-02-30 08:00:00"},
      {{0xEA, 0x07, 2, 3, 24, 0, 0}, LinkFailure::kBadClock, "2026-02-03 24:00:00"},
      {{0x00, 0x00, 0, 0, 0, 0, 0}, LinkFailure::kBadClock, "0000-00-00 00:00:00"},
      // The range of a reading is 2000..2127, to the second.
      {{0x6B, 0x07, 12, 30, 8, 0, 0}, LinkFailure::kBadClock, "1899-12-30 08:00:00"},
      {{0xCF, 0x07, 12, 31, 23, 59, 59}, LinkFailure::kBadClock, "1999-12-31 23:59:59"},
      {{0xD0, 0x07, 1, 1, 0, 0, 0}, LinkFailure::kOpen, "2000-01-01 00:00:00"},
      {{0x4F, 0x08, 12, 31, 23, 59, 59}, LinkFailure::kOpen, "2127-12-31 23:59:59"},
      {{0x50, 0x08, 1, 1, 0, 0, 0}, LinkFailure::kBadClock, "2128-01-01 00:00:00"},
      {{0xEA, 0x07, 2, 3, 4, 5}, LinkFailure::kDamaged, "exchange failed"},
      // Bytes beyond the seven belong to a later version.
      {{0xEA, 0x07, 2, 3, 4, 5, 6, 7}, LinkFailure::kOpen, "2026-02-03 04:05:06"},
  };
  for (const auto& c : cases) {
    ScriptedTerminal terminal(c.payload);
    ControlSettings settings = SettingsFor({{1, terminal.Address()}});
    settings.retries = 1;
    TerminalClient client(settings);
    client.SelectPort(1);
    try {
      const auto time = client.ReadClock(7);
      ASSERT_TRUE(time) << c.detail;
      char text[40];
      std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time->year, time->month, time->day, time->hour,
                    time->minute, time->second);
      EXPECT_EQ(c.failure, LinkFailure::kOpen) << c.detail << ": read as " << text;
      EXPECT_EQ(std::string(text), c.detail);
    } catch (const LinkError& error) {
      EXPECT_EQ(error.Failure(), c.failure) << c.detail;
      EXPECT_EQ(std::string(error.what()), c.detail);
    }
  }
}

}  // namespace
}  // namespace terminal::control
