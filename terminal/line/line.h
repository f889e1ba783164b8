// A line to a bus of terminals, whatever carries it (a serial port, a TCP connection to a serial
// device server): send bytes, wait for bytes with a deadline, drain, close. The protocol core
// (terminal/control/terminal_client) talks only to this interface; the backends know nothing of
// the protocol.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

struct pollfd;

namespace terminal::line {

using Clock = std::chrono::steady_clock;

enum class LineFailure {
  kOpen,     // the line could not be opened, set up or connected
  kHangUp,   // the line went away: hang-up, I/O error, end of file, connection dropped
  kIo,       // another read or write error
  kTimeout,  // a write could not complete in time
};

class LineError : public std::runtime_error {
 public:
  LineError(LineFailure failure, const std::string& what) : std::runtime_error(what), failure_(failure) {}
  LineFailure Failure() const { return failure_; }

 private:
  LineFailure failure_;
};

class Line {
 public:
  Line() = default;
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;
  virtual ~Line() = default;

  // What the line was opened from: a device path, or "tcp://HOST:PORT".
  virtual const std::string& Address() const = 0;
  virtual bool IsOpen() const = 0;
  // Opens (connects, sets up) the line when it is not open. Throws LineError(kOpen).
  virtual void Open() = 0;
  virtual void Close() = 0;

  // Writes all of `bytes` before `deadline`. Throws LineError (kHangUp, kIo, kTimeout). After any
  // failure but a time-out the line is closed; the next Open opens it again.
  virtual void Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) = 0;
  // Waits until `deadline` for input and reads what is there into `buffer`; returns 0 when nothing
  // came in time. Throws LineError(kHangUp) when the line is gone, (kIo) on other errors.
  virtual std::size_t ReadSome(std::span<std::uint8_t> buffer, Clock::time_point deadline) = 0;
  // Discards received bytes not yet read, without waiting.
  virtual void FlushInput() = 0;

  // Reads and discards input until the line has been quiet for `quiet` or `deadline` passes
  // (a line that keeps trickling bytes is left at the deadline). Returns the bytes discarded.
  std::size_t DrainUntilQuiet(std::chrono::microseconds quiet, Clock::time_point deadline);
};

// Waits with ppoll until `deadline` (at most a minute at a time) so that waits of a few
// milliseconds keep microsecond precision. Returns what ppoll returns.
int PollUntil(pollfd& waiter, Clock::time_point deadline);

// ": <text of errno>" for an error number, empty for 0.
std::string ErrorText(int error);

}  // namespace terminal::line
