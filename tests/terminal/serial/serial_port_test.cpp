#include "terminal/serial/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace terminal::serial {
namespace {

using namespace std::chrono_literals;

// The far end of a pseudo-terminal, standing in for the terminal side of a line.
class PtyPeer {
 public:
  PtyPeer() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(master_, 0);
    ::grantpt(master_);
    ::unlockpt(master_);
    path_ = ::ptsname(master_);
    // Keep one slave descriptor of our own so the master never sees "no slave open".
    holder_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    ::tcgetattr(holder_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(holder_, TCSANOW, &raw);
  }
  ~PtyPeer() { HangUp(); }
  const std::string& Path() const { return path_; }
  void Send(std::vector<std::uint8_t> bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
  std::vector<std::uint8_t> Receive(std::size_t want) {
    std::vector<std::uint8_t> got;
    const auto deadline = Clock::now() + 2s;
    while (got.size() < want && Clock::now() < deadline) {
      pollfd waiter{master_, POLLIN, 0};
      if (::poll(&waiter, 1, 100) <= 0) continue;
      std::uint8_t buffer[256];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  void HangUp() {
    if (master_ >= 0) ::close(master_);
    if (holder_ >= 0) ::close(holder_);
    master_ = holder_ = -1;
  }

 private:
  int master_ = -1;
  int holder_ = -1;
  std::string path_;
};

TEST(SerialPort, OpensLazilyAndCarriesBytesBothWays) {
  PtyPeer peer;
  SerialPort port(peer.Path(), 115200);
  EXPECT_FALSE(port.IsOpen());
  const std::vector<std::uint8_t> request = {0xA5, 0x5A, 0x00, 0xFF, 0x0D, 0x0A, 0x11, 0x13, 0x03};
  port.Write(request, Clock::now() + 1s);
  EXPECT_TRUE(port.IsOpen());
  // Raw mode: no translation of CR/LF, no flow control characters swallowed, no echo.
  EXPECT_EQ(peer.Receive(request.size()), request);
  peer.Send({1, 2, 3, 0x0D, 0x03, 0x7F});
  std::array<std::uint8_t, 16> buffer{};
  std::vector<std::uint8_t> got;
  while (got.size() < 6) {
    const std::size_t n = port.ReadSome(buffer, Clock::now() + 1s);
    ASSERT_GT(n, 0u);
    got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<long>(n));
  }
  EXPECT_EQ(got, (std::vector<std::uint8_t>{1, 2, 3, 0x0D, 0x03, 0x7F}));
}

TEST(SerialPort, ReadTimesOutAtTheDeadline) {
  PtyPeer peer;
  SerialPort port(peer.Path(), 115200);
  std::array<std::uint8_t, 16> buffer{};
  const auto start = Clock::now();
  EXPECT_EQ(port.ReadSome(buffer, start + 20ms), 0u);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 20ms);
  EXPECT_LT(waited, 1s);
}

TEST(SerialPort, HangUpIsAnErrorAndThePortIsClosed) {
  PtyPeer peer;
  SerialPort port(peer.Path(), 115200);
  port.Open();
  peer.HangUp();
  std::array<std::uint8_t, 16> buffer{};
  try {
    port.ReadSome(buffer, Clock::now() + 2s);
    FAIL() << "no error after hang-up";
  } catch (const SerialError& error) {
    EXPECT_EQ(error.Failure(), SerialFailure::kHangUp);
  }
  EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, FlushDiscardsPendingInput) {
  PtyPeer peer;
  SerialPort port(peer.Path(), 115200);
  port.Open();
  peer.Send({9, 9, 9});
  std::array<std::uint8_t, 16> buffer{};
  EXPECT_LE(port.DrainUntilQuiet(5ms, Clock::now() + 1s), 3u);
  EXPECT_EQ(port.ReadSome(buffer, Clock::now() + 5ms), 0u);
}

TEST(SerialPort, OpenFailuresSayWhatAndWhere) {
  struct Case {
    std::string path;
    unsigned baud;
  } cases[] = {{"/nonexistent/ttyS99", 115200}, {"/dev/null", 115200}, {"/dev/null", 12345}};
  for (const auto& c : cases) {
    SerialPort port(c.path, c.baud);
    try {
      port.Open();
      FAIL() << c.path;
    } catch (const SerialError& error) {
      EXPECT_EQ(error.Failure(), SerialFailure::kOpen);
      if (c.baud == 115200) {
        EXPECT_NE(std::string(error.what()).find(c.path), std::string::npos) << error.what();
      }
    }
    EXPECT_FALSE(port.IsOpen());
  }
}

TEST(SerialPort, SupportedSpeeds) {
  for (unsigned baud : {1200u, 9600u, 38400u, 115200u, 921600u}) EXPECT_TRUE(IsSupportedSpeed(baud));
  for (unsigned baud : {0u, 110u, 12345u, 1000000u}) EXPECT_FALSE(IsSupportedSpeed(baud));
}

}  // namespace
}  // namespace terminal::serial
