// The protocol core over both line backends: retries after busy and bad-payload refusals, probes
// tried once, lines that trickle or break, network addresses that fail, and nested record reads.
#include "terminal/control/terminal_client.h"

#include <poll.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "terminal/protocol/frame.h"
#include "terminal/sim/simulator.h"
#include "tests/support/tcp_peer.h"

namespace terminal::control {
namespace {

using namespace std::chrono_literals;
using protocol::CardRecordFields;
using sim::FaultPlan;
using sim::SimulatorSite;
using vanto::testing::TcpPeer;

enum class Transport { kPty, kTcp };

std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
  return info.param == Transport::kPty ? "Pty" : "Tcp";
}

// Settings with the port paths of `paths` and timeouts with room for a loaded machine.
ControlSettings SettingsFor(const std::map<int, std::string>& paths) {
  ControlSettings settings;
  settings.portPaths = paths;
  settings.probeTimeout = 500ms;
  settings.answerTimeout = 1000ms;
  settings.gapTimeout = 200ms;
  return settings;
}

std::vector<CardRecordFields> ReadAll(TerminalClient& client, std::int64_t address) {
  std::vector<CardRecordFields> records;
  client.BeginRead(address);
  while (auto record = client.NextRecord(address)) records.push_back(*record);
  return records;
}

// The failure an exchange ends with; kNoRead when it ends without one.
template <typename Call>
LinkError FailureOf(Call call) {
  try {
    call();
  } catch (const LinkError& error) {
    return error;
  }
  return LinkError(LinkFailure::kNoRead, "no failure");
}

class ClientOverTransport : public ::testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    site_.Options().pace = false;
    site_.Options().turnaround = 0us;
    site_.Options().tcp = GetParam() == Transport::kTcp;
    auto& five = site_.AddTerminal(1, 5);
    for (int i = 0; i < 120; ++i) five.records.push_back({2000 + i, 2026, 12, 1 + i % 28, 8, i % 60});
    site_.AddTerminal(2, 9).records = {{9001, 2026, 1, 2, 3, 4}, {9002, 2026, 1, 2, 3, 5}};
  }
  void Start() { paths_ = site_.Start(); }
  void TearDown() override { site_.Stop(); }

  SimulatorSite site_;
  std::map<int, std::string> paths_;
};

TEST_P(ClientOverTransport, BusyAndBadPayloadRefusalsAreRetriedUntilTheAnswer) {
  FaultPlan plan;
  plan.seed = 5;
  plan.busy = 0.25;
  plan.damageRequest = 0.25;
  site_.SetFaults(1, plan);
  Start();
  ControlSettings settings = SettingsFor(paths_);
  settings.retries = 10;
  settings.batch = 7;
  TerminalClient client(settings);
  client.SelectPort(1);
  EXPECT_EQ(ReadAll(client, 5), site_.Terminal(1, 5)->records);
  const auto stats = site_.Stats(1);
  EXPECT_GT(stats.busy, 0u);
  EXPECT_GT(stats.damagedRequests, 0u);
}

TEST_P(ClientOverTransport, ATerminalThatStaysBusyOrKeepsGettingDamagedRequestsFailsAfterEveryAttempt) {
  struct Case {
    double busy, damage;
    LinkFailure failure;
  } cases[] = {{1.0, 0.0, LinkFailure::kBusy}, {0.0, 1.0, LinkFailure::kDamaged}};
  Start();
  ControlSettings settings = SettingsFor(paths_);
  settings.retries = 2;
  for (const Case& c : cases) {
    FaultPlan plan;
    plan.busy = c.busy;
    plan.damageRequest = c.damage;
    site_.SetFaults(1, plan);
    TerminalClient client(settings);
    client.SelectPort(1);
    const auto requestsBefore = site_.Stats(1).requests;
    const LinkError error = FailureOf([&] { client.BeginRead(5); });
    EXPECT_EQ(error.Failure(), c.failure) << error.what();
    EXPECT_EQ(error.Attempts(), 3);
    EXPECT_EQ(site_.Stats(1).requests - requestsBefore, 3u) << "one request per attempt";
  }
}

TEST_P(ClientOverTransport, AProbeIsNeverRetried) {
  Start();
  ControlSettings settings = SettingsFor(paths_);
  settings.retries = 5;
  settings.probeTimeout = 30ms;
  {
    TerminalClient client(settings);
    client.SelectPort(1);
    FaultPlan deaf;
    deaf.drop = 1.0;
    site_.SetFaults(1, deaf);
    EXPECT_FALSE(client.Probe(5));
    EXPECT_EQ(site_.Stats(1).requests, 1u) << "silence ends a probe at once";
  }
  // Something that arrived damaged is another matter: that exchange is tried again. Each damaged
  // request is answered, so the probe's wait is made roomy: a busy machine must not turn a late
  // refusal into the silence that ends a probe.
  settings.probeTimeout = 5s;
  TerminalClient patient(settings);
  patient.SelectPort(1);
  FaultPlan damaging;
  damaging.damageRequest = 1.0;
  site_.SetFaults(1, damaging);
  EXPECT_FALSE(patient.Probe(5));
  EXPECT_EQ(site_.Stats(1).requests, 1u + 6u);
}

TEST_P(ClientOverTransport, NestedReadsEachDeliverEveryRecordOnce) {
  Start();
  TerminalClient client(SettingsFor(paths_));
  client.SelectPort(1);
  const auto five = site_.Terminal(1, 5)->records;
  const auto nine = site_.Terminal(2, 9)->records;
  std::vector<CardRecordFields> outer;
  client.BeginRead(5);
  for (int i = 0; i < 30; ++i) outer.push_back(*client.NextRecord(5));
  // A read of the same terminal, then one on another port, run to their ends in the middle.
  EXPECT_EQ(ReadAll(client, 5), five);
  client.SelectPort(2);
  EXPECT_EQ(ReadAll(client, 9), nine);
  // A nested read that fails ends alone.
  client.SelectPort(2);
  client.BeginRead(9);
  site_.EditTerminal(2, 9, [](sim::SimTerminal& t) { t.silent = true; });
  EXPECT_EQ(FailureOf([&] { client.NextRecord(9); }).Failure(), LinkFailure::kSilent);
  while (auto record = client.NextRecord(5)) outer.push_back(*record);
  EXPECT_EQ(outer, five) << "the outer read goes on where it was, on its own port";
  EXPECT_EQ(client.Port(), 1);
  EXPECT_EQ(FailureOf([&] { client.NextRecord(5); }).Failure(), LinkFailure::kNoRead);
}

TEST_P(ClientOverTransport, AHangUpIsAnErrorAndTheNextRequestGetsTheLineBack) {
  FaultPlan plan;
  plan.hangUpAfterAnswers = 1;  // the probe's answer, then the line goes instead of the next
  site_.SetFaults(1, plan);
  Start();
  TerminalClient client(SettingsFor(paths_));
  client.SelectPort(1);
  ASSERT_TRUE(client.Probe(5));
  const LinkError error = FailureOf([&] { client.BeginRead(5); });
  EXPECT_EQ(error.Failure(), LinkFailure::kHangUp) << error.what();
  EXPECT_NE(std::string(error.what()).find(paths_.at(1)), std::string::npos) << error.what();
  ASSERT_TRUE(site_.WaitForLineGeneration(1, 1, 5s));
  EXPECT_EQ(ReadAll(client, 5), site_.Terminal(1, 5)->records);
}

TEST_P(ClientOverTransport, ALineDroppedBetweenRequestsIsTakenUpAgainUnnoticed) {
  Start();
  TerminalClient client(SettingsFor(paths_));
  client.SelectPort(1);
  ASSERT_TRUE(client.Probe(5));
  site_.HangUp(1);
  ASSERT_TRUE(site_.WaitForLineGeneration(1, 1, 5s));
  if (GetParam() == Transport::kPty) {
    // A serial line reports the hang-up to the request that meets it; the next one reopens.
    EXPECT_EQ(FailureOf([&] { client.BeginRead(5); }).Failure(), LinkFailure::kHangUp);
  }
  EXPECT_EQ(ReadAll(client, 5), site_.Terminal(1, 5)->records);
}

// A terminal of a later protocol version adds bytes to its answers: the control takes the fields
// it knows and ignores the rest, in the scan, the read, single records and the clear.
TEST_P(ClientOverTransport, AnswersWithBytesOfALaterVersionAreTakenAndTheBytesIgnored) {
  site_.AddTerminal(2, 9).version = 1;
  site_.AddTerminal(2, 9).extraAnswerBytes = 3;
  Start();
  TerminalClient client(SettingsFor(paths_));
  client.SelectPort(1);
  const auto records = site_.Terminal(1, 5)->records;
  for (std::size_t extra : {1u, 12u, 64u}) {
    site_.EditTerminal(1, 5, [&](sim::SimTerminal& t) { t.extraAnswerBytes = extra; });
    EXPECT_TRUE(client.Probe(5)) << extra;
    const auto log = client.ReadLog(5);
    ASSERT_TRUE(log.log) << extra;
    EXPECT_EQ(log.log->identity, sim::DefaultIdentity(1, 5)) << extra;
    EXPECT_EQ(log.recordCount, records.size()) << extra;
    EXPECT_EQ(ReadAll(client, 5), records) << extra;
    EXPECT_EQ(client.RecordAt(5, log.log->generation, 7), records[7]) << extra;
  }
  EXPECT_EQ(client.ClearRecords(5, 1, static_cast<std::uint32_t>(records.size())), std::optional<std::uint32_t>(2));
  // A version 1 terminal with bytes of its own after the count stays a version 1 terminal.
  client.SelectPort(2);
  EXPECT_TRUE(client.Probe(9));
  EXPECT_FALSE(client.ReadLog(9).log);
  EXPECT_EQ(ReadAll(client, 9), site_.Terminal(2, 9)->records);
}

// A clear is not repeatable: when its answer is lost the retry is refused as "records changed".
// The control asks the terminal again and answers what it did.
TEST_P(ClientOverTransport, AClearWhoseAnswerIsLostIsReportedAsWhatTheTerminalDid) {
  Start();
  const auto records = site_.Terminal(1, 5)->records;
  const auto held = static_cast<std::uint32_t>(records.size());
  struct Case {
    const char* name;
    std::size_t lose;  // clear answers the terminal loses
    std::uint32_t generation, count;
    std::optional<std::uint32_t> answer;
  } cases[] = {
      {"answered", 0, 1, held, 2u},
      {"answer lost, the retry refused", 1, 1, held, 2u},
      {"a count not the terminal's", 0, 1, held - 1, std::nullopt},
      {"a count not the terminal's, answers lost", 1, 1, held + 1, std::nullopt},
      {"a generation not the terminal's, answers lost", 1, 3, held, std::nullopt},
  };
  ControlSettings settings = SettingsFor(paths_);
  settings.answerTimeout = 300ms;  // a lost answer costs one; a late one changes no outcome
  for (const Case& c : cases) {
    site_.EditTerminal(1, 5, [&](sim::SimTerminal& t) {
      t.records = records;
      t.generation = 1;
      t.loseClearAnswers = c.lose;
    });
    TerminalClient client(settings);
    client.SelectPort(1);
    EXPECT_EQ(client.ClearRecords(5, c.generation, c.count), c.answer) << c.name;
    const auto after = site_.Terminal(1, 5);
    EXPECT_EQ(after->records.empty(), c.answer.has_value()) << c.name;
    EXPECT_EQ(after->generation, c.answer.value_or(1)) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, ClientOverTransport, ::testing::Values(Transport::kPty, Transport::kTcp),
                         TransportName);

// A device server that answers with a byte every millisecond, for ever.
class TricklingServer {
 public:
  TricklingServer() : thread_([this] {
    if (!peer_.Accept()) return;
    while (!stop_) {
      const std::uint8_t byte = 0xAA;
      if (::send(peer_.Connection(), &byte, 1, MSG_NOSIGNAL) != 1) {
        if (!peer_.Accept(100ms)) continue;
      }
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 1);
    }
  }) {}
  ~TricklingServer() {
    stop_ = true;
    thread_.join();
  }
  std::string Address() const { return peer_.Address(); }

 private:
  TcpPeer peer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(ClientOverTcp, ALineThatKeepsTricklingBytesEndsTheExchangeAsDamaged) {
  TricklingServer server;
  ControlSettings settings = SettingsFor({{1, server.Address()}});
  settings.retries = 1;
  settings.answerTimeout = 50ms;
  settings.gapTimeout = 5ms;
  TerminalClient client(settings);
  client.SelectPort(1);
  const LinkError error = FailureOf([&] { client.BeginRead(5); });
  EXPECT_EQ(error.Failure(), LinkFailure::kDamaged) << error.what();
  EXPECT_EQ(error.Attempts(), 2);
}

// An answer that starts within its time-out is taken however late in it: bytes that came first
// (a late answer to an earlier request, noise, another terminal's frame) never shorten the wait.
TEST(ClientOverTcp, AnAnswerLateInItsTimeoutIsTakenWhateverCameBeforeIt) {
  const protocol::RecordLog log{0x56000105u, 1000, 4};
  struct Case {
    const char* name;
    protocol::Command command;
    int early;  // 0: the answer to an earlier request, 1: noise, 2: another terminal's answer
  } cases[] = {
      {"probe after a late answer", protocol::Command::kProbe, 0},
      {"begin after noise", protocol::Command::kBeginRecordRead, 1},
      {"begin after another terminal's answer", protocol::Command::kBeginRecordRead, 2},
  };
  for (const Case& c : cases) {
    TcpPeer peer;
    std::thread server([&] {
      if (!peer.Accept()) return;
      protocol::FrameParser parser;
      parser.Feed(peer.Receive(protocol::kFrameOverhead));
      const auto request = parser.Next();
      if (!request) return;
      const bool probe = request->command == static_cast<std::uint8_t>(protocol::Command::kProbe);
      const std::vector<std::uint8_t> payload =
          probe ? protocol::Encode(protocol::ProbeAnswer{2, 3, log}) : protocol::Encode(protocol::BeginReadAnswer{3, log});
      protocol::Frame answer{request->address, static_cast<std::uint8_t>(request->command | protocol::kAnswerBit),
                             request->sequence, payload};
      protocol::Frame stray = answer;
      if (c.early == 0) stray.sequence = static_cast<std::uint8_t>(request->sequence - 1);
      if (c.early == 2) stray.address = static_cast<std::uint8_t>(request->address + 1);
      peer.Send(c.early == 1 ? std::vector<std::uint8_t>{0x11, 0x22, 0x33} : protocol::EncodeFrame(stray));
      // Well past the gap timeout (5 ms + the network's 50 ms), well within the answer's 3 s.
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 250);
      peer.Send(protocol::EncodeFrame(answer));
      peer.Receive(1, 2000ms);  // until the client goes
    });
    ControlSettings settings = SettingsFor({{1, peer.Address()}});
    settings.retries = 0;  // the first answer counts, or nothing
    settings.gapTimeout = 5ms;
    settings.probeTimeout = 3s;
    settings.answerTimeout = 3s;
    {
      TerminalClient client(settings);
      client.SelectPort(1);
      if (c.command == protocol::Command::kProbe) {
        EXPECT_TRUE(client.Probe(5)) << c.name;
      } else {
        try {
          EXPECT_EQ(client.ReadLog(5).recordCount, 3u) << c.name;
        } catch (const LinkError& error) {
          ADD_FAILURE() << c.name << ": " << error.what();
        }
      }
    }
    server.join();
  }
}

TEST(ClientOverTcp, BadAddressesAndServersAreErrorsNamingTheAddressAndCause) {
  TcpPeer mute;  // accepts (in the kernel's backlog) and never answers
  TcpPeer dropper;
  std::thread dropping([&] {
    // Half a frame, then the connection goes.
    if (!dropper.Accept()) return;
    dropper.Receive(6, 2000ms);
    dropper.Send({protocol::kStart1, protocol::kStart2, 5});
    dropper.CloseConnection();
  });
  struct Case {
    std::string device;
    LinkFailure failure;
    const char* cause;
  } cases[] = {
      {"tcp://127.0.0.1", LinkFailure::kOpen, "no port"},
      {"serial://ttyS0", LinkFailure::kOpen, "unknown scheme"},
      {vanto::testing::RefusingAddress(), LinkFailure::kOpen, "refused"},
      {"tcp://no-such-host.invalid:4001", LinkFailure::kOpen, "name lookup"},
      {mute.Address(), LinkFailure::kSilent, "exchange failed"},
      {dropper.Address(), LinkFailure::kHangUp, "connection"},
  };
  for (const Case& c : cases) {
    ControlSettings settings = SettingsFor({{1, c.device}});
    settings.connectTimeout = 1500ms;
    settings.retries = 1;
    settings.answerTimeout = 100ms;
    TerminalClient client(settings);
    client.SelectPort(1);
    const LinkError error = FailureOf([&] { client.BeginRead(5); });
    EXPECT_EQ(error.Failure(), c.failure) << c.device << ": " << error.what();
    EXPECT_NE(std::string(error.what()).find(c.cause), std::string::npos) << error.what();
    if (c.failure != LinkFailure::kSilent) {
      EXPECT_NE(std::string(error.what()).find(c.device), std::string::npos) << error.what();
    }
    EXPECT_EQ(client.PortPath(), c.device);
    EXPECT_FALSE(client.Probe(5)) << c.device;
  }
  dropping.join();
}

}  // namespace
}  // namespace terminal::control
