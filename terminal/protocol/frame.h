// Frames of the terminal protocol: the unit that travels on the serial line, and its commands.
//
//   offset  size  field
//   0       2     start marker A5 5A
//   2       1     terminal address (1..255; 0 is never used)
//   3       1     command (requests 01..7F, answers = request | 80, FF = refusal)
//   4       1     sequence number (an answer repeats its request's number)
//   5       2     payload length, little-endian, at most kMaxPayload
//   7       1     header check: CRC-8 of bytes 2..6
//   8       n     payload
//   8+n     2     CRC-16 of bytes 2..7+n, high byte first
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace terminal::protocol {

inline constexpr std::uint8_t kStart1 = 0xA5;
inline constexpr std::uint8_t kStart2 = 0x5A;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kTrailerSize = 2;
inline constexpr std::size_t kFrameOverhead = kHeaderSize + kTrailerSize;
inline constexpr std::size_t kMaxPayload = 2048;
inline constexpr std::size_t kMaxFrameSize = kFrameOverhead + kMaxPayload;
inline constexpr int kMinAddress = 1;
inline constexpr int kMaxAddress = 255;

enum class Command : std::uint8_t {
  kProbe = 0x01,
  kBeginRecordRead = 0x02,
  kNextRecords = 0x03,
  kReadEnrolment = 0x04,
  kPrepareEnrolment = 0x05,
  kWriteEnrolment = 0x06,
  kClearRecords = 0x07,  // protocol version 2
  kNextRecordsDense = 0x08,  // protocol version 3: next records in the dense form
  kReadClock = 0x09,         // protocol version 3
  kSetClock = 0x0A,          // protocol version 3
  kNextRecordsChecked = 0x0B,  // protocol version 4: dense next records with a digest of their content
};
inline constexpr std::uint8_t kAnswerBit = 0x80;
inline constexpr std::uint8_t kRefusal = 0xFF;

constexpr std::uint8_t AnswerTo(Command command) {
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(command) | kAnswerBit);
}
constexpr bool IsRequest(std::uint8_t command) { return command != 0 && (command & kAnswerBit) == 0; }

// Why a terminal refused a request (second byte of a refusal's payload).
enum class RefusalCode : std::uint8_t {
  kUnknownCommand = 1,
  kBadPayload = 2,
  kNoEnrolment = 3,
  kStorageFull = 4,
  kBusy = 5,
  kBadIndex = 6,
  kBadEnrolmentNumber = 7,
  kRecordsChanged = 8,  // version 2: the generation or count named is not the terminal's
  kBadClockTime = 9,     // version 3: a clock set to no valid time, or one the terminal cannot keep
  kClockLocked = 10,     // version 3: the terminal's clock cannot be set now (locked on the terminal)
};
std::string_view RefusalName(std::uint8_t code);

struct Frame {
  std::uint8_t address = 0;
  std::uint8_t command = 0;
  std::uint8_t sequence = 0;
  std::vector<std::uint8_t> payload;

  bool operator==(const Frame&) const = default;
};

// The bytes of `frame` on the line. Throws std::length_error for a payload above kMaxPayload.
std::vector<std::uint8_t> EncodeFrame(const Frame& frame);
void AppendFrame(const Frame& frame, std::vector<std::uint8_t>& out);

// Line time of `bytes` bytes at `baud` with 8N1 framing (10 bit times per byte), in microseconds.
constexpr std::int64_t LineMicros(std::size_t bytes, unsigned baud) {
  return baud == 0 ? 0 : static_cast<std::int64_t>((bytes * 10ull * 1000000ull + baud - 1) / baud);
}

}  // namespace terminal::protocol
