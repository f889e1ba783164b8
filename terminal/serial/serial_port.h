// A serial port in raw 8N1 mode: open lazily, every wait bounded by a deadline, hang-up reported
// as an error (after which the port is closed and opened again by the next Open).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

namespace terminal::serial {

using Clock = std::chrono::steady_clock;

enum class SerialFailure {
  kOpen,     // the device could not be opened or set up
  kHangUp,   // the line went away: hang-up, I/O error, end of file
  kIo,       // another read or write error
  kTimeout,  // a write could not complete in time
};

class SerialError : public std::runtime_error {
 public:
  SerialError(SerialFailure failure, const std::string& what) : std::runtime_error(what), failure_(failure) {}
  SerialFailure Failure() const { return failure_; }

 private:
  SerialFailure failure_;
};

// Whether `baud` is a speed termios can set.
bool IsSupportedSpeed(unsigned baud);

class SerialPort {
 public:
  SerialPort(std::string path, unsigned baud);
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  ~SerialPort();

  const std::string& Path() const { return path_; }
  unsigned Baud() const { return baud_; }
  bool IsOpen() const { return fd_ >= 0; }
  // Opens and sets up the device when it is not open. Throws SerialError(kOpen).
  void Open();
  void Close();

  // Writes all of `bytes` before `deadline`. Throws SerialError (kHangUp, kIo, kTimeout).
  void Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline);
  // Waits until `deadline` for input and reads what is there into `buffer`; returns 0 when nothing
  // came in time. Throws SerialError(kHangUp) when the line is gone, (kIo) on other errors.
  std::size_t ReadSome(std::span<std::uint8_t> buffer, Clock::time_point deadline);
  // Discards received bytes not yet read.
  void FlushInput();
  // Reads and discards input until the line has been quiet for `quiet` or `deadline` passes.
  // Returns the number of bytes discarded.
  std::size_t DrainUntilQuiet(std::chrono::microseconds quiet, Clock::time_point deadline);

 private:
  [[noreturn]] void Fail(SerialFailure failure, const std::string& what, int error);

  std::string path_;
  unsigned baud_;
  int fd_ = -1;
};

}  // namespace terminal::serial
