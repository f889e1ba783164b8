// A serial port in raw 8N1 mode, the termios backend of the line interface (on Windows, a COM
// port with DCB and COMMTIMEOUTS: serial_port_win.cpp): open lazily, every
// wait bounded by a deadline, hang-up reported as an error (after which the port is closed and
// opened again by the next Open).
#pragma once

#ifndef _WIN32
#include <termios.h>
#endif

#include <optional>
#include <string>

#include "terminal/line/line.h"

namespace terminal::serial {

using line::Clock;
using SerialFailure = line::LineFailure;
using SerialError = line::LineError;

// The line speeds termios can set, in baud, slowest first: the one table of them.
std::span<const unsigned> SupportedSpeeds();
#ifndef _WIN32
// The termios code of `baud`; empty for a speed termios cannot set.
std::optional<speed_t> SpeedCode(unsigned baud);
#endif
// Whether `baud` is a speed termios can set.
bool IsSupportedSpeed(unsigned baud);
// The supported speeds as text, "1200, 2400, ..." (for messages).
std::string SupportedSpeedsText();

class SerialPort final : public line::Line {
 public:
  SerialPort(std::string path, unsigned baud);
  ~SerialPort() override;

  const std::string& Path() const { return path_; }
  const std::string& Address() const override { return path_; }
  unsigned Baud() const { return baud_; }
#ifdef _WIN32
  bool IsOpen() const override { return handle_ != nullptr; }
#else
  bool IsOpen() const override { return fd_ >= 0; }
#endif
  // Opens and sets up the device when it is not open. Throws SerialError(kOpen).
  void Open() override;
  void Close() override;

  void Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) override;
  std::size_t ReadSome(std::span<std::uint8_t> buffer, Clock::time_point deadline) override;
  void FlushInput() override;

 private:
  [[noreturn]] void Fail(SerialFailure failure, const std::string& what, int error);

  std::string path_;
  unsigned baud_;
#ifdef _WIN32
  void* handle_ = nullptr;  // the COM port's file handle
#else
  int fd_ = -1;
#endif
};

}  // namespace terminal::serial
