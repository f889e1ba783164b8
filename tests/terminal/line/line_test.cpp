// The line backends on their own: raw TCP against a loopback peer (addresses, refusals, drops,
// write time-outs) and the serial backend's write faults on a pseudo-terminal; the shared drain
// against a line that never falls quiet.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "terminal/serial/serial_port.h"
#include "terminal/tcp/tcp_line.h"
#include "tests/support/tcp_peer.h"

namespace terminal {
namespace {

using namespace std::chrono_literals;
using line::Clock;
using line::LineError;
using line::LineFailure;
using tcp::TcpLine;
using vanto::testing::TcpPeer;

// The failure a call throws, and its text; kIo with "no error" when it throws none.
template <typename Call>
std::pair<LineFailure, std::string> FailureOf(Call call) {
  try {
    call();
  } catch (const LineError& error) {
    return {error.Failure(), error.what()};
  }
  return {LineFailure::kIo, "no error"};
}

TEST(TcpAddress, ParsedOrRefusedWithTheReason) {
  struct Case {
    const char* device;
    const char* host;  // nullptr: refused
    unsigned short port;
    const char* why;
  } cases[] = {
      {"tcp://10.0.0.7:4001", "10.0.0.7", 4001, ""},
      {"tcp://bus-server.local:23", "bus-server.local", 23, ""},
      {"tcp://[fe80::1]:4001", "fe80::1", 4001, ""},
      {"tcp://10.0.0.7", nullptr, 0, "no port"},
      {"tcp://10.0.0.7:", nullptr, 0, "no port"},
      {"tcp://:4001", nullptr, 0, "no host"},
      {"tcp://10.0.0.7:0", nullptr, 0, "not 1..65535"},
      {"tcp://10.0.0.7:65536", nullptr, 0, "not 1..65535"},
      {"tcp://10.0.0.7:-5", nullptr, 0, "not 1..65535"},
      {"tcp://10.0.0.7:40x", nullptr, 0, "not 1..65535"},
      {"tcp://fe80::1:4001", nullptr, 0, "brackets"},
      {"udp://10.0.0.7:4001", nullptr, 0, "unknown scheme 'udp'"},
      {"/dev/ttyS0", nullptr, 0, "not a network address"},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto address = tcp::ParseTcpAddress(c.device, why);
    if (c.host) {
      ASSERT_TRUE(address) << c.device << ": " << why;
      EXPECT_EQ(address->host, c.host);
      EXPECT_EQ(address->port, c.port);
    } else {
      EXPECT_FALSE(address) << c.device;
      EXPECT_NE(why.find(c.why), std::string::npos) << c.device << ": " << why;
    }
  }
  EXPECT_TRUE(tcp::IsNetworkAddress("tcp://x:1"));
  EXPECT_TRUE(tcp::IsNetworkAddress("rfc2217://x:1"));
  EXPECT_FALSE(tcp::IsNetworkAddress("/dev/ttyUSB0"));
}

TEST(TcpLine, CarriesBytesBothWaysWithNoDelay) {
  TcpPeer peer;
  TcpLine line(peer.Address(), 2000ms);
  EXPECT_FALSE(line.IsOpen());
  line.Open();
  ASSERT_TRUE(peer.Accept());
  line.Write(std::vector<std::uint8_t>{1, 2, 3}, Clock::now() + 1s);
  EXPECT_EQ(peer.Receive(3), (std::vector<std::uint8_t>{1, 2, 3}));
  peer.Send({9, 8});
  std::array<std::uint8_t, 16> buffer{};
  std::size_t got = 0;
  while (got < 2) got += line.ReadSome(std::span(buffer).subspan(got), Clock::now() + 2s);
  EXPECT_EQ(buffer[0], 9);
  EXPECT_EQ(buffer[1], 8);
  EXPECT_EQ(line.ReadSome(buffer, Clock::now() + 20ms), 0u) << "nothing more: the deadline ends the wait";
}

TEST(TcpLine, OpenFailuresNameTheAddressAndTheCause) {
  const std::string refusing = vanto::testing::RefusingAddress();
  struct Case {
    std::string device;
    const char* cause;
  } cases[] = {
      {"tcp://127.0.0.1", "no port"},
      {"ftp://127.0.0.1:21", "unknown scheme"},
      {refusing, "Connection refused"},
      {"tcp://no-such-host.invalid:4001", "name lookup"},
  };
  for (const Case& c : cases) {
    TcpLine line(c.device, 1500ms);
    const auto [failure, text] = FailureOf([&] { line.Open(); });
    EXPECT_EQ(failure, LineFailure::kOpen) << c.device << ": " << text;
    EXPECT_NE(text.find(c.device), std::string::npos) << text;
    EXPECT_NE(text.find(c.cause), std::string::npos) << text;
    EXPECT_FALSE(line.IsOpen());
  }
}

TEST(TcpLine, ADroppedConnectionIsAHangUpAndTheNextOpenReconnects) {
  TcpPeer peer;
  TcpLine line(peer.Address(), 2000ms);
  line.Open();
  ASSERT_TRUE(peer.Accept());
  peer.Send({0xA5});  // half of something
  peer.CloseConnection();
  std::array<std::uint8_t, 16> buffer{};
  EXPECT_EQ(line.ReadSome(buffer, Clock::now() + 2s), 1u);
  const auto [failure, text] = FailureOf([&] { line.ReadSome(buffer, Clock::now() + 2s); });
  EXPECT_EQ(failure, LineFailure::kHangUp) << text;
  EXPECT_NE(text.find(peer.Address()), std::string::npos) << text;
  EXPECT_FALSE(line.IsOpen());

  line.Write(std::vector<std::uint8_t>{7}, Clock::now() + 1s);  // opens again
  ASSERT_TRUE(peer.Accept());
  EXPECT_EQ(peer.Receive(1), std::vector<std::uint8_t>{7});
}

TEST(TcpLine, WriteErrorsAndTimeOuts) {
  {  // a reset connection
    TcpPeer peer;
    TcpLine line(peer.Address(), 2000ms);
    line.Open();
    ASSERT_TRUE(peer.Accept());
    peer.CloseConnection(/*reset=*/true);
    std::pair<LineFailure, std::string> outcome{LineFailure::kIo, "no error"};
    for (int i = 0; i < 3 && outcome.second == "no error"; ++i)
      outcome = FailureOf([&] { line.Write(std::vector<std::uint8_t>(64, 1), Clock::now() + 1s); });
    EXPECT_EQ(outcome.first, LineFailure::kHangUp) << outcome.second;
    EXPECT_NE(outcome.second.find("connection dropped"), std::string::npos) << outcome.second;
  }
  {  // a server that takes nothing: the write ends at its deadline, the line stays open
    TcpPeer peer;
    TcpLine line(peer.Address(), 2000ms);
    line.Open();
    ASSERT_TRUE(peer.Accept());
    const std::vector<std::uint8_t> flood(64u << 20, 0x55);
    const auto [failure, text] = FailureOf([&] { line.Write(flood, Clock::now() + 200ms); });
    EXPECT_EQ(failure, LineFailure::kTimeout) << text;
    EXPECT_TRUE(line.IsOpen());
  }
}

// A peer that sends a byte every millisecond until told to stop, and keeps when it sent each.
class Trickle {
 public:
  explicit Trickle(int fd) : thread_([this, fd] {
    while (!stop_) {
      const std::uint8_t byte = 0xEE;
      if (::send(fd, &byte, 1, MSG_NOSIGNAL) != 1) return;
      {
        std::lock_guard lock(mutex_);
        sent_.push_back(Clock::now());
      }
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 1);
    }
  }) {}
  ~Trickle() {
    stop_ = true;
    thread_.join();
  }
  // The longest time within [from, to] in which it sent nothing.
  Clock::duration LongestSilence(Clock::time_point from, Clock::time_point to) {
    std::lock_guard lock(mutex_);
    Clock::duration longest{};
    Clock::time_point last = from;
    for (const auto at : sent_) {
      if (at < from) continue;
      if (at > to) break;
      longest = std::max(longest, at - last);
      last = at;
    }
    return std::max(longest, to - last);
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Clock::time_point> sent_;
  std::thread thread_;
};

TEST(Line, DrainStopsAtItsDeadlineOnALineThatNeverFallsQuiet) {
  TcpPeer peer;
  TcpLine line(peer.Address(), 2000ms);
  line.Open();
  ASSERT_TRUE(peer.Accept());
  Trickle trickle(peer.Connection());
  const auto start = Clock::now();
  const auto deadline = start + 100ms;
  const std::size_t dropped = line.DrainUntilQuiet(20ms, deadline);
  const auto end = Clock::now();
  // A busy machine may hold the peer back long enough for the line to fall quiet; then an early
  // end is right, and there is nothing to check here. Otherwise only the deadline ends the drain.
  if (trickle.LongestSilence(start, std::min(end, deadline)) < 10ms) {
    EXPECT_GT(dropped, 0u);
    EXPECT_GE(end, deadline) << "the line never fell quiet: only the deadline ended the drain";
  }
}

// A pseudo-terminal whose far end reads nothing.
struct DeafPty {
  DeafPty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ::grantpt(master);
    ::unlockpt(master);
    path = ::ptsname(master);
  }
  ~DeafPty() {
    if (master >= 0) ::close(master);
  }
  int master = -1;
  std::string path;
};

TEST(SerialLine, WriteTimesOutWhenTheFarEndTakesNothingAndFailsWhenItIsGone) {
  DeafPty pty;
  serial::SerialPort port(pty.path, 115200);
  port.Open();
  const std::vector<std::uint8_t> flood(8u << 20, 0x55);
  auto [failure, text] = FailureOf([&] { port.Write(flood, Clock::now() + 200ms); });
  EXPECT_EQ(failure, LineFailure::kTimeout) << text;
  EXPECT_NE(text.find(pty.path), std::string::npos) << text;
  EXPECT_TRUE(port.IsOpen()) << "a time-out leaves the port open";

  ::close(std::exchange(pty.master, -1));
  std::tie(failure, text) = FailureOf([&] { port.Write(std::vector<std::uint8_t>{1}, Clock::now() + 200ms); });
  EXPECT_EQ(failure, LineFailure::kHangUp) << text;
  EXPECT_FALSE(port.IsOpen());
}

TEST(SerialLine, OneSpeedTable) {
  EXPECT_EQ(serial::SupportedSpeeds().front(), 1200u);
  EXPECT_EQ(serial::SupportedSpeeds().back(), 921600u);
  for (unsigned baud : serial::SupportedSpeeds()) EXPECT_TRUE(serial::SpeedCode(baud)) << baud;
  for (unsigned baud : {0u, 110u, 12345u, 4000000u}) EXPECT_FALSE(serial::SpeedCode(baud)) << baud;
  EXPECT_NE(serial::SupportedSpeedsText().find("115200"), std::string::npos);
}

}  // namespace
}  // namespace terminal
