// Rules the protocol document settles, as the control keeps them: identity 0 and generation 0,
// and an empty batch that is not the last.
#include <poll.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "terminal/control/terminal_client.h"
#include "terminal/protocol/dense.h"
#include "terminal/protocol/frame_parser.h"
#include "terminal/sim/simulator.h"
#include "tests/support/tcp_peer.h"

namespace terminal::control {
namespace {

using namespace std::chrono_literals;
using protocol::CardRecordFields;

// Identity 0 or generation 0 names no log: the control reads such a terminal as one without a
// log (no generation named, nothing to clear by), yet keeps what its version announced for the
// rest: a version 3 terminal is still read in the dense form, has its clock and is reported as
// version 3; a version 2 one has nothing beyond the log and is reported as version 1.
TEST(UnnamedLog, IdentityOrGenerationZeroDropsTheLogButKeepsTheVersionsForms) {
  struct Case {
    int address;
    int version;
    bool zeroIdentity;  // else generation 0
    int reported;       // the version the control reports
  } cases[] = {
      {1, 2, true, 1},
      {2, 2, false, 1},
      {3, 3, true, 3},
      {4, 3, false, 3},
  };
  const std::vector<CardRecordFields> records = {
      {1001, 2026, 12, 8, 8, 0}, {1003, 2026, 12, 8, 8, 0}, {1002, 2026, 12, 8, 8, 1}, {1002, 2026, 12, 8, 7, 59}};
  sim::SimulatorSite site;
  site.Options().pace = false;
  site.Options().turnaround = 0us;
  for (const Case& c : cases) {
    sim::SimTerminal& terminal = site.AddTerminal(1, c.address);
    terminal.version = c.version;
    terminal.records = records;
    terminal.generation = 9;
  }
  ControlSettings settings;
  settings.portPaths = site.Start();
  settings.probeTimeout = 1000ms;
  settings.answerTimeout = 1000ms;
  settings.batch = 2;
  for (const Case& c : cases)  // (the simulator gives a terminal without an identity one when it starts)
    site.EditTerminal(1, c.address, [&](sim::SimTerminal& t) { (c.zeroIdentity ? t.identity : t.generation) = 0; });
  TerminalClient client(settings);
  client.SelectPort(1);
  for (const Case& c : cases) {
    SCOPED_TRACE("terminal " + std::to_string(c.address));
    const protocol::BeginReadAnswer log = client.ReadLog(c.address);
    EXPECT_FALSE(log.log);
    EXPECT_EQ(log.Version(), c.reported);
    // A read names no generation: the terminal's log moving to another one mid-read does not
    // stop it (a request naming the old one would be refused with reason 8).
    const auto denseBefore = site.Stats(1).denseAnswers;
    client.BeginRead(c.address);
    std::vector<CardRecordFields> got;
    got.push_back(client.NextRecord(c.address).value());
    site.EditTerminal(1, c.address, [](sim::SimTerminal& t) { t.generation = 11; });
    while (auto record = client.NextRecord(c.address)) got.push_back(*record);
    EXPECT_EQ(got, records);
    EXPECT_EQ(site.Stats(1).denseAnswers > denseBefore, c.version >= 3);
    // The clock commands are used as the terminal's version allows.
    EXPECT_EQ(client.ReadClock(c.address).has_value(), c.version >= 3);
  }
  site.Stop();
}

// A terminal behind a serial device server whose answers a test writes: `answer` gives the
// payload for a request (empty optional: no answer).
class ScriptedTerminal {
 public:
  using Script = std::function<std::optional<std::vector<std::uint8_t>>(const protocol::Frame&)>;
  explicit ScriptedTerminal(Script answer) : answer_(std::move(answer)), thread_([this] { Serve(); }) {}
  ~ScriptedTerminal() {
    stop_ = true;
    thread_.join();
  }
  std::string Address() const { return peer_.Address(); }
  int Requests(protocol::Command command) const { return counts_[static_cast<std::uint8_t>(command)]; }

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
      while (auto request = parser.Next()) {
        ++counts_[request->command & 0x7F];
        if (auto payload = answer_(*request))
          peer_.Send(protocol::EncodeFrame({request->address, static_cast<std::uint8_t>(request->command | 0x80),
                                            request->sequence, std::move(*payload)}));
      }
    }
  }
  vanto::testing::TcpPeer peer_;
  Script answer_;
  std::atomic<int> counts_[128] = {};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// An empty batch without "last batch" is damage, never the end of the records nor a reason to
// ask on without end: a plain read fails after its retries, a dense one is read again in the
// plain form. Either way nothing is reported complete with records missing.
TEST(EmptyBatch, WithoutLastIsDamageNotTheEnd) {
  using namespace protocol;
  const std::vector<CardRecordFields> records = {{1001, 2026, 12, 8, 8, 0}, {1002, 2026, 12, 8, 8, 1}};
  struct Case {
    int version;
    bool plainEmptyToo;  // the plain form's batches are empty without "last" as well
    bool readsAll;
  } cases[] = {
      {2, true, false},
      {3, false, true},
      {3, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("version " + std::to_string(c.version) + (c.plainEmptyToo ? ", plain empty too" : ""));
    const NextRecordsAnswer empty{0, false, {}};
    ScriptedTerminal terminal([&](const Frame& request) -> std::optional<std::vector<std::uint8_t>> {
      switch (static_cast<Command>(request.command)) {
        case Command::kBeginRecordRead:
          return Encode(BeginReadAnswer{2, RecordLog{0x5601, 100, 1}, static_cast<std::uint8_t>(c.version >= 3 ? 3 : 0)});
        case Command::kNextRecordsDense: return EncodeDense(empty);
        case Command::kNextRecords:
          return Encode(c.plainEmptyToo ? empty : NextRecordsAnswer{0, true, records});
        default: return std::nullopt;
      }
    });
    ControlSettings settings;
    settings.portPaths = {{1, terminal.Address()}};
    settings.answerTimeout = 1000ms;
    settings.retries = 2;
    TerminalClient client(settings);
    client.SelectPort(1);
    client.BeginRead(7);
    std::vector<CardRecordFields> got;
    try {
      while (auto record = client.NextRecord(7)) got.push_back(*record);
      EXPECT_TRUE(c.readsAll) << "a read ended without an error";
    } catch (const LinkError& error) {
      EXPECT_FALSE(c.readsAll) << error.what();
      EXPECT_EQ(error.Failure(), LinkFailure::kDamaged) << error.what();
    }
    EXPECT_EQ(got, c.readsAll ? records : std::vector<CardRecordFields>{});
    // Each form is asked the retries' worth of times, no more: no endless asking.
    EXPECT_EQ(terminal.Requests(Command::kNextRecordsDense), c.version >= 3 ? 3 : 0);
    EXPECT_EQ(terminal.Requests(Command::kNextRecords), c.plainEmptyToo ? 3 : 1);
  }
}

}  // namespace
}  // namespace terminal::control
