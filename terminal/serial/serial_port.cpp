#include "terminal/serial/serial_port.h"

#include <fcntl.h>
#include <time.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace terminal::serial {
namespace {

using line::ErrorText;
using line::PollUntil;

constexpr unsigned kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
constexpr speed_t kCodes[] = {B1200,  B2400,   B4800,   B9600,   B19200, B38400,
                              B57600, B115200, B230400, B460800, B921600};
static_assert(std::size(kBauds) == std::size(kCodes));

}  // namespace

std::span<const unsigned> SupportedSpeeds() { return kBauds; }

std::optional<speed_t> SpeedCode(unsigned baud) {
  for (std::size_t i = 0; i < std::size(kBauds); ++i)
    if (kBauds[i] == baud) return kCodes[i];
  return std::nullopt;
}

bool IsSupportedSpeed(unsigned baud) { return SpeedCode(baud).has_value(); }

std::string SupportedSpeedsText() {
  std::string text;
  for (unsigned baud : kBauds) text += (text.empty() ? "" : ", ") + std::to_string(baud);
  return text;
}

SerialPort::SerialPort(std::string path, unsigned baud) : path_(std::move(path)), baud_(baud) {}

SerialPort::~SerialPort() { Close(); }

void SerialPort::Close() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

void SerialPort::Fail(SerialFailure failure, const std::string& what, int error) {
  if (failure != SerialFailure::kTimeout) Close();
  throw SerialError(failure, what + " " + path_ + ErrorText(error));
}

void SerialPort::Open() {
  if (fd_ >= 0) return;
  const auto code = SpeedCode(baud_);
  if (!code) throw SerialError(SerialFailure::kOpen, "unsupported speed " + std::to_string(baud_) + " for " + path_);
  const speed_t speed = *code;
  fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) Fail(SerialFailure::kOpen, "cannot open", errno);
  termios settings{};
  if (::tcgetattr(fd_, &settings) != 0) Fail(SerialFailure::kOpen, "not a serial port:", errno);
  ::cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  ::cfsetispeed(&settings, speed);
  ::cfsetospeed(&settings, speed);
  if (::tcsetattr(fd_, TCSANOW, &settings) != 0) Fail(SerialFailure::kOpen, "cannot set up", errno);
  termios readBack{};
  if (::tcgetattr(fd_, &readBack) != 0) Fail(SerialFailure::kOpen, "cannot read settings of", errno);
  const tcflag_t wanted = CSIZE | PARENB | CSTOPB | CREAD;
  if ((readBack.c_cflag & wanted) != (settings.c_cflag & wanted) || (readBack.c_lflag & (ICANON | ECHO | ISIG)) ||
      (readBack.c_oflag & OPOST) || ::cfgetospeed(&readBack) != speed)
    Fail(SerialFailure::kOpen, "settings 8N1 raw " + std::to_string(baud_) + " not taken by", 0);
  // Ask USB and UART drivers to hand over received bytes at once; devices without the
  // setting (a pseudo-terminal) refuse, which is fine.
  serial_struct info{};
  if (::ioctl(fd_, TIOCGSERIAL, &info) == 0 && !(info.flags & ASYNC_LOW_LATENCY)) {
    info.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd_, TIOCSSERIAL, &info);
  }
  ::tcflush(fd_, TCIOFLUSH);
}

void SerialPort::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  if (fd_ < 0) Open();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
      continue;
    }
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0 && errno == EIO) Fail(SerialFailure::kHangUp, "line hung up on", errno);
    if (wrote < 0 && errno != EAGAIN) Fail(SerialFailure::kIo, "write failed on", errno);
    pollfd waiter{fd_, POLLOUT, 0};
    const int ready = PollUntil(waiter, deadline);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) Fail(SerialFailure::kIo, "poll failed on", errno);
    if (waiter.revents & (POLLHUP | POLLERR | POLLNVAL)) Fail(SerialFailure::kHangUp, "line hung up on", 0);
    if (ready == 0 && Clock::now() >= deadline) Fail(SerialFailure::kTimeout, "write timed out on", 0);
  }
}

std::size_t SerialPort::ReadSome(std::span<std::uint8_t> buffer, Clock::time_point deadline) {
  if (fd_ < 0) Open();
  for (;;) {
    // A raw tty with VMIN = VTIME = 0 reads 0 bytes both when nothing is there and at end of
    // file, so only a read after poll reported input tells end of file apart.
    pollfd waiter{fd_, POLLIN, 0};
    const int ready = PollUntil(waiter, deadline);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) Fail(SerialFailure::kIo, "poll failed on", errno);
    if (ready == 0) {
      if (Clock::now() >= deadline) return 0;
      continue;
    }
    if (!(waiter.revents & POLLIN)) Fail(SerialFailure::kHangUp, "line hung up on", 0);
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got > 0) return static_cast<std::size_t>(got);
    if (got == 0) Fail(SerialFailure::kHangUp, "end of file on", 0);
    if (errno == EINTR || errno == EAGAIN) continue;
    if (errno == EIO) Fail(SerialFailure::kHangUp, "line hung up on", errno);
    Fail(SerialFailure::kIo, "read failed on", errno);
  }
}

void SerialPort::FlushInput() {
  if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
}

}  // namespace terminal::serial
