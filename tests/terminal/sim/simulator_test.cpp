#include "terminal/sim/simulator.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "terminal/protocol/frame_parser.h"
#include "terminal/serial/serial_port.h"
#include "terminal/sim/front_end.h"
#include "terminal/tcp/tcp_line.h"

namespace terminal::sim {
namespace {

using namespace std::chrono_literals;
using namespace protocol;
using serial::Clock;

// Sends one request over a real serial port and waits (bounded) for the first frame back.
std::optional<Frame> Ask(line::Line& port, const Frame& request, std::chrono::milliseconds wait = 500ms) {
  port.FlushInput();
  port.Write(EncodeFrame(request), Clock::now() + 1s);
  FrameParser parser;
  std::array<std::uint8_t, 512> buffer{};
  const auto deadline = Clock::now() + wait;
  while (Clock::now() < deadline) {
    const std::size_t got = port.ReadSome(buffer, deadline);
    if (got == 0) break;
    parser.Feed(std::span(buffer.data(), got));
    if (auto frame = parser.Next()) return frame;
  }
  return std::nullopt;
}

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.Options().turnaround = 0us;
    SimTerminal& five = site_.AddTerminal(1, 5);
    five.records = {{1001, 2026, 11, 6, 9, 5}, {-7, 1999, 13, 32, 24, 60}};
    five.persons[1001].password = 4321;
    site_.AddTerminal(1, 6).silent = true;
    site_.AddTerminal(2, 9);
  }
  void TearDown() override { site_.Stop(); }
  SimulatorSite site_;
};

TEST_F(SimulatorTest, AnswersOnlyTheAddressedTerminal) {
  const auto paths = site_.Start();
  ASSERT_EQ(paths.size(), 2u);
  serial::SerialPort port(paths.at(1), 115200);
  const auto answer = Ask(port, {5, static_cast<std::uint8_t>(Command::kProbe), 17, {}});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->address, 5);
  EXPECT_EQ(answer->command, AnswerTo(Command::kProbe));
  EXPECT_EQ(answer->sequence, 17);
  ASSERT_TRUE(DecodeProbeAnswer(answer->payload));
  EXPECT_EQ(DecodeProbeAnswer(answer->payload)->recordCount, 2u);
  // Terminal 9 lives on port 2; terminal 6 is silent; 7 does not exist.
  for (std::uint8_t absent : {9, 6, 7})
    EXPECT_FALSE(Ask(port, {absent, static_cast<std::uint8_t>(Command::kProbe), 1, {}}, 50ms)) << int(absent);
  EXPECT_EQ(site_.Stats(1).answers, 1u);
}

TEST_F(SimulatorTest, RefusesWhatItCannotDo) {
  const auto paths = site_.Start();
  serial::SerialPort port(paths.at(1), 115200);
  struct Case {
    Frame request;
    RefusalCode code;
  } cases[] = {
      {{5, 0x33, 1, {}}, RefusalCode::kUnknownCommand},
      {{5, static_cast<std::uint8_t>(Command::kProbe), 2, {1}}, RefusalCode::kBadPayload},
      {{5, static_cast<std::uint8_t>(Command::kNextRecords), 3, Encode(NextRecordsRequest{3, 10, {}})}, RefusalCode::kBadIndex},
      {{5, static_cast<std::uint8_t>(Command::kReadEnrolment), 4, Encode(EnrolmentKey{1001, 0})}, RefusalCode::kNoEnrolment},
      {{5, static_cast<std::uint8_t>(Command::kReadEnrolment), 5, {0xE9, 0x03, 0, 0, 11}}, RefusalCode::kBadEnrolmentNumber},
  };
  for (const auto& c : cases) {
    const auto answer = Ask(port, c.request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->command, kRefusal);
    const auto refusal = DecodeRefusal(answer->payload);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->command, c.request.command);
    EXPECT_EQ(refusal->code, static_cast<std::uint8_t>(c.code));
  }
}

TEST_F(SimulatorTest, Version2AnswersCarryTheLogAndClearMovesTheGeneration) {
  site_.AddTerminal(1, 8).version = 1;
  site_.AddTerminal(1, 8).records = {{1, 2026, 1, 1, 1, 1}};
  const auto paths = site_.Start();
  serial::SerialPort port(paths.at(1), 115200);
  auto ask = [&](std::uint8_t address, Command command, std::vector<std::uint8_t> payload) {
    static std::uint8_t sequence = 0;
    auto answer = Ask(port, {address, static_cast<std::uint8_t>(command), ++sequence, std::move(payload)});
    EXPECT_TRUE(answer);
    return answer.value_or(Frame{});
  };
  const RecordLog five{DefaultIdentity(1, 5), 100000, 1};
  const auto probe = DecodeProbeAnswer(ask(5, Command::kProbe, {}).payload);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->version, 2);
  EXPECT_EQ(probe->log, five);
  const auto begin = DecodeBeginReadAnswer(ask(5, Command::kBeginRecordRead, {}).payload);
  ASSERT_TRUE(begin && begin->log);
  EXPECT_EQ(*begin->log, five);
  EXPECT_EQ(begin->recordCount, 2u);
  // A version 1 terminal answers as it always did and knows no clear.
  const auto old = DecodeProbeAnswer(ask(8, Command::kProbe, {}).payload);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->version, 1);
  EXPECT_EQ(ask(8, Command::kBeginRecordRead, {}).payload.size(), 4u);
  EXPECT_EQ(DecodeRefusal(ask(8, Command::kClearRecords, Encode(ClearRecordsRequest{0, 1})).payload)->code,
            static_cast<std::uint8_t>(RefusalCode::kUnknownCommand));
  // Next records names the generation; clear needs generation and count.
  EXPECT_EQ(DecodeRefusal(ask(5, Command::kNextRecords, Encode(NextRecordsRequest{0, 5, 2u})).payload)->code,
            static_cast<std::uint8_t>(RefusalCode::kRecordsChanged));
  EXPECT_EQ(DecodeNextRecordsAnswer(ask(5, Command::kNextRecords, Encode(NextRecordsRequest{0, 5, 1u})).payload)->records.size(), 2u);
  EXPECT_EQ(DecodeRefusal(ask(5, Command::kClearRecords, Encode(ClearRecordsRequest{1, 1})).payload)->code,
            static_cast<std::uint8_t>(RefusalCode::kRecordsChanged));
  EXPECT_EQ(site_.Terminal(1, 5)->records.size(), 2u);
  const auto cleared = DecodeClearRecordsAnswer(ask(5, Command::kClearRecords, Encode(ClearRecordsRequest{1, 2})).payload);
  ASSERT_TRUE(cleared);
  EXPECT_EQ(cleared->generation, 2u);
  EXPECT_TRUE(site_.Terminal(1, 5)->records.empty());
}

TEST_F(SimulatorTest, HangUpBreaksTheLineAndAFreshOneTakesItsPath) {
  const auto paths = site_.Start();
  serial::SerialPort port(paths.at(1), 115200);
  ASSERT_TRUE(Ask(port, {5, static_cast<std::uint8_t>(Command::kProbe), 1, {}}));
  site_.HangUp(1);
  ASSERT_TRUE(site_.WaitForLineGeneration(1, 1, 2s));
  std::array<std::uint8_t, 16> buffer{};
  EXPECT_THROW(port.ReadSome(buffer, Clock::now() + 2s), serial::SerialError);
  EXPECT_FALSE(port.IsOpen());
  // The same path now leads to the new line.
  EXPECT_TRUE(Ask(port, {5, static_cast<std::uint8_t>(Command::kProbe), 2, {}}));
  EXPECT_EQ(site_.Stats(1).hangUps, 1u);
}

TEST_F(SimulatorTest, HangUpFaultFollowsTheGivenNumberOfAnswers) {
  FaultPlan plan;
  plan.hangUpAfterAnswers = 2;
  site_.SetFaults(1, plan);
  const auto paths = site_.Start();
  serial::SerialPort port(paths.at(1), 115200);
  EXPECT_TRUE(Ask(port, {5, static_cast<std::uint8_t>(Command::kProbe), 1, {}}));
  EXPECT_TRUE(Ask(port, {5, static_cast<std::uint8_t>(Command::kProbe), 2, {}}));
  EXPECT_THROW(Ask(port, {5, static_cast<std::uint8_t>(Command::kProbe), 3, {}}, 2s), serial::SerialError);
  ASSERT_TRUE(site_.WaitForLineGeneration(1, 1, 2s));
  EXPECT_TRUE(Ask(port, {5, static_cast<std::uint8_t>(Command::kProbe), 4, {}}));  // one hang-up only
}

TEST_F(SimulatorTest, StopsPromptlyAndRemovesItsLinks) {
  const auto paths = site_.Start();
  const std::string dir = site_.LinkDir();
  site_.Stop();  // how fast: bench/terminal
  EXPECT_FALSE(std::filesystem::exists(paths.at(1)));
  EXPECT_FALSE(std::filesystem::exists(dir));
  site_.Stop();  // twice is fine
}

TEST_F(SimulatorTest, ServesEachPortOverLoopbackTcpAndTakesANewConnectionAfterAHangUp) {
  site_.Options().tcp = true;
  FaultPlan plan;
  plan.busy = 1.0;
  site_.SetFaults(2, plan);
  const auto paths = site_.Start();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths.at(1).rfind("tcp://127.0.0.1:", 0), 0u) << paths.at(1);
  EXPECT_NE(paths.at(1), paths.at(2));
  EXPECT_EQ(site_.PathOf(1), paths.at(1));
  tcp::TcpLine one(paths.at(1), 2000ms);
  const auto answer = Ask(one, {5, static_cast<std::uint8_t>(Command::kProbe), 3, {}});
  ASSERT_TRUE(answer);
  EXPECT_EQ(DecodeProbeAnswer(answer->payload)->recordCount, 2u);
  tcp::TcpLine two(paths.at(2), 2000ms);
  const auto busy = Ask(two, {9, static_cast<std::uint8_t>(Command::kProbe), 4, {}});
  ASSERT_TRUE(busy);
  EXPECT_EQ(DecodeRefusal(busy->payload)->code, static_cast<std::uint8_t>(RefusalCode::kBusy));

  site_.HangUp(1);
  ASSERT_TRUE(site_.WaitForLineGeneration(1, 1, 5s));
  std::array<std::uint8_t, 16> buffer{};
  EXPECT_THROW(one.ReadSome(buffer, Clock::now() + 2s), line::LineError);
  EXPECT_TRUE(Ask(one, {5, static_cast<std::uint8_t>(Command::kProbe), 5, {}})) << "a new connection is served";
}

TEST_F(SimulatorTest, DamagedRequestsAreRefusedAsBadPayloadsAndChangeNothing) {
  FaultPlan plan;
  plan.damageRequest = 1.0;
  site_.SetFaults(1, plan);
  const auto paths = site_.Start();
  serial::SerialPort port(paths.at(1), 115200);
  EnrolmentData data;
  data.key = {77, kPasswordEnrolment};
  data.password = 1;
  const auto answer = Ask(port, {5, static_cast<std::uint8_t>(Command::kWriteEnrolment), 6, Encode(data)});
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->command, kRefusal);
  EXPECT_EQ(DecodeRefusal(answer->payload)->code, static_cast<std::uint8_t>(RefusalCode::kBadPayload));
  EXPECT_FALSE(site_.Terminal(1, 5)->persons.contains(77));
  EXPECT_EQ(site_.Stats(1).damagedRequests, 1u);
}

// A folder of its own for link tests.
struct LinkFolder {
  LinkFolder() : path(std::filesystem::temp_directory_path() / ("vanto-links-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~LinkFolder() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

// The faults of a terminal that lies about its log: a factory reset that brings an old
// generation back with other records, a serial number cloned onto a second terminal, and a
// clear whose answer is lost. All set from a seed, as end-to-end tests use them.
TEST(SimulatorFaults, FactoryResetCloneAndLostClearAnswerFromASeed) {
  SimulatorSite site;
  site.Options().turnaround = 0us;
  site.Options().pace = false;
  std::istringstream seed(R"(port 1
  terminal 1 generation=7 reset_after_reads=2 lose_clear_answers=1
    records 5 1001 5 2026 11 2 8 0
    after_reset
    records 3 3001 3 2026 12 1 8 0
port 2
  terminal 4 clone_of=1:1
    record 5001 2026 11 3 8 0
  terminal 5 clone_of=2:4
)");
  site.LoadSeed(seed, "faults.seed");
  const auto paths = site.Start();
  serial::SerialPort one(paths.at(1), 115200), two(paths.at(2), 115200);
  std::uint8_t sequence = 0;
  auto ask = [&](line::Line& port, std::uint8_t address, Command command, std::vector<std::uint8_t> payload) {
    auto answer = Ask(port, {address, static_cast<std::uint8_t>(command), ++sequence, std::move(payload)}, 2000ms);
    return answer.value_or(Frame{});
  };
  auto begin = [&](line::Line& port, std::uint8_t address) {
    return DecodeBeginReadAnswer(ask(port, address, Command::kBeginRecordRead, {}).payload).value_or(BeginReadAnswer{});
  };
  auto read = [&](std::uint32_t start, std::uint8_t most, std::uint32_t generation) {
    return DecodeNextRecordsAnswer(
        ask(one, 1, Command::kNextRecords, Encode(NextRecordsRequest{start, most, generation})).payload);
  };

  // The clone answers with the identity of terminal 1 on port 1, as does a clone of the clone.
  const std::uint32_t identity = DefaultIdentity(1, 1);
  for (auto [port, address] : {std::pair{&two, 4}, {&two, 5}, {&one, 1}})
    EXPECT_EQ(begin(*port, static_cast<std::uint8_t>(address)).log.value_or(RecordLog{}).identity, identity) << address;

  // Reads of single records do not count; the second read that ends brings the reset.
  const auto before = site.Terminal(1, 1)->records;
  for (std::uint32_t round = 0; round < 2; ++round) {
    ASSERT_TRUE(read(4, 1, 7) && read(5, 1, 7)) << "single records";
    const auto all = read(round, 255, 7);
    ASSERT_TRUE(all && all->last) << round;
    EXPECT_EQ(all->records, std::vector(before.begin() + round, before.end())) << "from index " << round;
  }
  const auto after = begin(one, 1);
  ASSERT_TRUE(after.log);
  EXPECT_EQ(after.log->identity, identity);
  EXPECT_EQ(after.log->generation, 7u) << "the generation went back to the one a host has seen";
  EXPECT_EQ(after.recordCount, 3u);
  const auto reset = read(0, 255, 7);
  ASSERT_TRUE(reset && reset->last);
  ASSERT_EQ(reset->records.size(), 3u);
  EXPECT_EQ(reset->records[0].person, 3001) << "other records at the same indexes";
  EXPECT_NE(reset->records[0], before[0]);
  ASSERT_TRUE(read(0, 255, 7)) << "the reset happens once";
  EXPECT_EQ(site.Terminal(1, 1)->records.size(), 3u);

  // The clear is carried out, its answer never comes; asked again, the terminal refuses with 8.
  const auto lost = Ask(one, {1, static_cast<std::uint8_t>(Command::kClearRecords), ++sequence,
                              Encode(ClearRecordsRequest{7, 3})}, 300ms);
  EXPECT_FALSE(lost) << "the clear's answer was to be lost";
  EXPECT_TRUE(site.Terminal(1, 1)->records.empty());
  EXPECT_EQ(site.Terminal(1, 1)->generation, 8u);
  const auto retry = DecodeRefusal(ask(one, 1, Command::kClearRecords, Encode(ClearRecordsRequest{7, 3})).payload);
  ASSERT_TRUE(retry);
  EXPECT_EQ(retry->code, static_cast<std::uint8_t>(RefusalCode::kRecordsChanged));
  site.Stop();

  // A saved site keeps the faults that are still to come.
  SimulatorSite pending;
  std::istringstream again("port 1\nterminal 2 reset_after_reads=3 reset_generation=4 lose_clear_answers=2 "
                           "extra_answer_bytes=5\n record 1 2026 1 1 1 1\n after_reset\n record 2 2026 2 2 2 2\n");
  pending.LoadSeed(again);
  std::ostringstream saved;
  pending.SaveSeed(saved);
  SimulatorSite reread;
  std::istringstream in(saved.str());
  reread.LoadSeed(in);
  const auto two2 = reread.Terminal(1, 2);
  ASSERT_TRUE(two2);
  EXPECT_EQ(two2->resetAfterReads, 3u);
  EXPECT_EQ(two2->resetGeneration, 4u);
  EXPECT_EQ(two2->loseClearAnswers, 2u);
  EXPECT_EQ(two2->extraAnswerBytes, 5u);
  EXPECT_EQ(two2->records, (std::vector<CardRecordFields>{{1, 2026, 1, 1, 1, 1}}));
  EXPECT_EQ(two2->afterReset, (std::vector<CardRecordFields>{{2, 2026, 2, 2, 2, 2}}));
}

TEST(SimulatorFaults, MistakesInTheNewFaultsNameTheLine) {
  struct Case {
    const char* text;
    const char* where;
    const char* what;
  } cases[] = {
      {"port 1\nterminal 1\n after_reset\n", "bad.seed:3:", "reset_after_reads"},
      {"port 1\nterminal 1 clone_of=2\n", "bad.seed:2:", "clone_of=PORT:TERMINAL"},
      {"port 1\nterminal 1 clone_of=1:1\n", "bad.seed:2:", "itself"},
      {"port 1\nterminal 1 clone_of=3:9\nport 3\nterminal 8\n", "bad.seed:2:", "no terminal 9 on port 3"},
      {"port 1\nterminal 1 extra_answer_bytes=65\n", "bad.seed:2:", "extra_answer_bytes"},
      {"port 1\nterminal 1 reset_generation=0\n", "bad.seed:2:", "reset_generation"},
  };
  for (const Case& c : cases) {
    SimulatorSite site;
    std::istringstream in(c.text);
    try {
      site.LoadSeed(in, "bad.seed");
      ADD_FAILURE() << c.text;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.where, 0), 0u) << error.what();
      EXPECT_NE(std::string(error.what()).find(c.what), std::string::npos) << error.what();
    }
  }
}

TEST(SimulatorLinks, NeverReplacesAFileItDidNotMake) {
  LinkFolder folder;
  {  // a user's file named like a port
    std::ofstream(folder.path / "port1") << "mine";
    SimulatorSite site;
    site.AddTerminal(1, 1);
    site.Options().linkDir = folder.path.string();
    try {
      site.Start();
      FAIL() << "replaced a user's file";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find((folder.path / "port1").string()), std::string::npos) << error.what();
    }
    site.Stop();
    std::ifstream in(folder.path / "port1");
    std::string text;
    in >> text;
    EXPECT_EQ(text, "mine") << "the file is left as it was";
    std::filesystem::remove(folder.path / "port1");
  }
  {  // a second simulator on the same folder
    SimulatorSite first, second;
    first.AddTerminal(1, 1);
    second.AddTerminal(1, 1);
    first.Options().linkDir = second.Options().linkDir = folder.path.string();
    const auto paths = first.Start();
    EXPECT_THROW(second.Start(), std::runtime_error);
    second.Stop();
    EXPECT_TRUE(std::filesystem::is_symlink(paths.at(1))) << "the first one's link stays";
    serial::SerialPort port(paths.at(1), 115200);
    EXPECT_TRUE(Ask(port, {1, static_cast<std::uint8_t>(Command::kProbe), 1, {}}));
    first.Stop();
    EXPECT_FALSE(std::filesystem::exists(paths.at(1)));
  }
  {  // a link a killed simulator left behind is its kind's own: it is replaced
    std::filesystem::create_symlink("/dev/pts/999999", folder.path / "port1");
    SimulatorSite site;
    site.AddTerminal(1, 1);
    site.Options().linkDir = folder.path.string();
    EXPECT_NO_THROW(site.Start());
    site.Stop();
  }
}

TEST(SimulatorSeed, SaveAndLoadKeepEverything) {
  SimulatorSite site;
  std::istringstream seed(R"(# a site
speed 57600
turnaround_us 250
port 3
  faults seed=9 drop=0.25 corrupt=0.125 truncate=0 garbage=0.5 late=0.75 late_us=1500 busy=0.5 damage_request=0.25 hangup_after=7
  terminal 4 silent capacity=2 version=1 serial=4000000000 record_capacity=5000 generation=9 early_last=3 claim_held=77
    password 12 -34
    record 1 2026 2 30 25 61
    records 3 100 2 2026 12 31 23 58
  terminal 200
  terminal 7 version=3 clock_offset=-300 drift=-4.5 lost_power=2000 clock_locked dense_miscount
  terminal 8 version=4 dense_fault=raw_difference extra_answer_bytes=1 extra_answer_fill=2 lose_set_answers=5
)");
  site.LoadSeed(seed);
  Template values{};
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int32_t>(i) * -1000003;
  site.AddTerminal(3, 200).persons[5].fingerprints[0] = values;
  std::ostringstream saved;
  saved.precision(17);
  site.SaveSeed(saved);

  SimulatorSite again;
  std::istringstream reread(saved.str());
  again.LoadSeed(reread);
  EXPECT_EQ(again.Options().baud, 57600u);
  EXPECT_EQ(again.Options().turnaround, 250us);
  const auto four = again.Terminal(3, 4);
  ASSERT_TRUE(four);
  EXPECT_TRUE(four->silent);
  EXPECT_EQ(four->capacity, 2u);
  EXPECT_EQ(four->version, 1);
  EXPECT_EQ(four->identity, 4000000000u);
  EXPECT_EQ(four->recordCapacity, 5000u);
  EXPECT_EQ(four->generation, 9u);
  EXPECT_EQ(four->earlyLast, 3u);
  EXPECT_EQ(four->claimHeld, 77);
  EXPECT_EQ(again.Stats(3).requests, 0u);
  EXPECT_EQ(four->persons.at(12).password, -34);
  const std::vector<CardRecordFields> expected = {
      {1, 2026, 2, 30, 25, 61}, {100, 2026, 12, 31, 23, 58}, {101, 2026, 12, 31, 23, 59}, {100, 2027, 1, 1, 0, 0}};
  EXPECT_EQ(four->records, expected);
  EXPECT_EQ(again.Terminal(3, 200)->persons.at(5).fingerprints.at(0), values);
  const auto seven = again.Terminal(3, 7);
  ASSERT_TRUE(seven);
  EXPECT_EQ(seven->version, 3);
  EXPECT_EQ(seven->clockOffset, -300);
  EXPECT_EQ(seven->drift, -4.5);
  EXPECT_EQ(seven->lostPowerYear, 2000);
  EXPECT_TRUE(seven->clockLocked);
  EXPECT_TRUE(seven->denseMiscount);
  const auto eight = again.Terminal(3, 8);
  ASSERT_TRUE(eight);
  EXPECT_EQ(eight->version, 4);
  EXPECT_EQ(eight->denseFault, SimTerminal::DenseFault::kRawDifference);
  EXPECT_EQ(eight->extraAnswerBytes, 1u);
  EXPECT_EQ(eight->extraAnswerFill, std::optional<std::uint8_t>(2));
  EXPECT_EQ(eight->loseSetAnswers, 5u);
  std::ostringstream savedAgain;
  savedAgain.precision(17);
  again.SaveSeed(savedAgain);
  EXPECT_EQ(savedAgain.str(), saved.str());
}

TEST(SimulatorSeed, MistakesNameTheLine) {
  const char* bad[] = {"terminal 1\n", "port 1\nterminal 0\n", "port 1\nterminal 1\nrecord 1 2 3\n",
                       "port 1\nfaults drop=x\n", "port 1\nbogus\n", "port 1\nterminal 1\nrecord 1 2 3 4 5 6 7\n",
                       "port 1\nterminal 1 version=5\n", "port 1\nterminal 1 dense_fault=often\n",
                       "port 1\nterminal 1 extra_answer_fill=256\n", "port 1\nterminal 1 serial=0\n", "port 1\nterminal 1 serial=x\n",
                       "port 1\nterminal 1 generation=0\n"};
  for (const char* text : bad) {
    SimulatorSite site;
    std::istringstream in(text);
    try {
      site.LoadSeed(in, "bad.seed");
      FAIL() << text;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()).rfind("bad.seed:", 0), 0u) << error.what();
    }
  }
}

TEST(SimulatorSeed, OutOfBoundsValuesAreRefusedWithTheirLine) {
  struct Case {
    const char* text;
    const char* where;
    const char* what;
  } cases[] = {
      {"port 1\nterminal 1\nrecords 99999999999 1 5 2026 1 1 0 0\n", "bad.seed:3:", "at most"},
      {"speed 12345\n", "bad.seed:1:", "115200"},
      {"port 1\n faults drop=1.5\n", "bad.seed:2:", "0..1"},
      {"port 1\n faults busy=-0.1\n", "bad.seed:2:", "0..1"},
      {"port 1\n faults late_us=-1\n", "bad.seed:2:", "late_us"},
      {"port 1\n faults hangup_after=-1\n", "bad.seed:2:", "hangup_after"},
      {"port 1\n faults drop=0.5x\n", "bad.seed:2:", "drop"},
      {"port 1\n faults loud=1\n", "bad.seed:2:", "unknown fault"},
      {"port 1\n terminal 1 capacity=-3\n", "bad.seed:2:", "capacity"},
      {"\nturnaround_us -5\n", "bad.seed:2:", "turnaround_us"},
      {"port 0\n", "bad.seed:1:", "port"},
      {"port 1\n terminal 1 drift=3601\n", "bad.seed:2:", "drift"},
      {"port 1\n terminal 1 lost_power=1969\n", "bad.seed:2:", "lost_power"},
      {"port 1\n terminal 1 clock_offset=5s\n", "bad.seed:2:", "clock_offset"},
  };
  for (const Case& c : cases) {
    SimulatorSite site;
    std::istringstream in(c.text);
    try {
      site.LoadSeed(in, "bad.seed");
      ADD_FAILURE() << c.text;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.where, 0), 0u) << error.what();
      EXPECT_NE(std::string(error.what()).find(c.what), std::string::npos) << error.what();
    }
  }
  SimulatorSite site;
  FaultPlan plan;
  plan.corrupt = 2;
  EXPECT_THROW(site.SetFaults(1, plan), std::invalid_argument);
  site.AddTerminal(1, 1);
  site.Options().baud = 12345;
  EXPECT_THROW(site.Start(), std::invalid_argument);
}

TEST(SimulatorFrontEnd, RefusesBadOptionsByName) {
  LinkFolder folder;
  std::ofstream(folder.path / "ok.seed") << "port 1\nterminal 1\n";
  struct Case {
    std::vector<std::string> args;
    const char* named;
  } cases[] = {
      {{"--bogus"}, "--bogus"},
      {{"--seed"}, "--seed"},
      {{"--seed", folder.path.string()}, "a folder"},
      {{"--seed", (folder.path / "missing.seed").string()}, "missing.seed"},
      {{"--speed", "12345"}, "--speed 12345"},
      {{"--speed", "fast"}, "--speed fast"},
      {{"--turnaround-us", "-4"}, "--turnaround-us"},
      {{"--save", (folder.path / "no" / "such" / "dir.seed").string()}, "--save"},
      {{"--save", folder.path.string()}, "--save"},
  };
  for (const Case& c : cases) {
    try {
      const FrontEndOptions options = ParseFrontEndArguments(c.args);
      SimulatorSite site;
      PrepareSite(site, options);
      ADD_FAILURE() << c.args[0];
    } catch (const FrontEndError& error) {
      EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
    }
  }
  const FrontEndOptions options = ParseFrontEndArguments(
      {"--seed", (folder.path / "ok.seed").string(), "--speed", "9600", "--tcp", "--no-pace", "--turnaround-us", "10"});
  SimulatorSite site;
  PrepareSite(site, options);
  EXPECT_EQ(site.Options().baud, 9600u);
  EXPECT_TRUE(site.Options().tcp);
  EXPECT_FALSE(site.Options().pace);
  EXPECT_TRUE(site.Terminal(1, 1));
  EXPECT_EQ(PortSettingsText({{1, "tcp://127.0.0.1:4001"}}).rfind("export VANTO_FK_PORT_1=tcp://127.0.0.1:4001\n", 0), 0u);
}

}  // namespace
}  // namespace terminal::sim
