// Protocol version 3: the dense record form of next-records answers (command 08) and the
// terminal's clock (commands 09 and 0A). docs/protocol.md, "Version 3", describes both byte by
// byte; this is its one implementation, shared by the control and the simulator.
//
// A dense answer has the header of a next-records answer (start index, count, flags), then a
// person-coding byte (0: differences, 1: a per-batch table; a table follows), then `count`
// records. The first record of a batch, and any record whose time is off the timeline (an
// impossible date, a year outside 2000..2127) or follows such a record, travels whole in the
// record form of today's answers behind the code 3; every other record is one varint
//   H = (P << 2) | t
// where P is the zig-zag coded person difference from the record before (coding 0) or the
// person's index in the table (coding 1), and t is the minute difference from the record
// before: 0 (none), 1 (one minute later), 2 (a zig-zag varint of the signed difference follows).
// A record sent whole in the raw form is off the timeline whatever its values: a difference
// never follows it.
//
// Protocol version 4 adds the checked dense answer (command 0B): the dense answer followed by a
// digest of its content (DenseDigest), which the host recomputes from what it decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "terminal/protocol/frame.h"
#include "terminal/protocol/messages.h"
#include "terminal/protocol/records.h"

namespace terminal::protocol {

inline constexpr std::uint8_t kProtocolVersion3 = 3;
inline constexpr std::uint8_t kProtocolVersion4 = 4;
inline constexpr std::uint8_t kHighestProtocolVersion = kProtocolVersion4;
inline constexpr std::size_t kDenseDigestSize = 4;

// How a dense batch codes its person numbers.
enum class PersonCoding : std::uint8_t {
  kDifferences = 0,  // zig-zag varint of the difference from the record before
  kTable = 1,        // index into a table of the batch's persons sent ahead of the records
};

// Minutes from 2000-01-01 00:00 of a record whose fields are a real date and time of the
// years 2000..2127 (month 1..12, day of that month, hour 0..23, minute 0..59); empty otherwise.
std::optional<std::int64_t> TimelineMinutes(const CardRecordFields& record);
// The record at `minutes` on the timeline, for `person`. `minutes` must be on the timeline.
CardRecordFields AtTimeline(std::int64_t minutes, std::int32_t person);

std::uint32_t ZigZag(std::int32_t value);
std::int32_t UnZigZag(std::uint32_t value);

// A dense next-records answer in the given coding, or in whichever is shorter.
std::vector<std::uint8_t> EncodeDense(const NextRecordsAnswer& answer, PersonCoding coding);
std::vector<std::uint8_t> EncodeDense(const NextRecordsAnswer& answer);
// Decodes a dense answer: exactly `count` well-formed records and nothing after them, every
// difference following a record on the timeline sent in the compact form (or reached by a
// difference) and landing on the timeline; std::nullopt otherwise (a damaged answer).
std::optional<NextRecordsAnswer> DecodeDenseRecordsAnswer(std::span<const std::uint8_t> payload);

// The digest of a batch's content: CRC-32C over its canonical form, the header (start index u32,
// count u8, flags u8) and then per record its index u32 (start + position) and person, year,
// month, day, hour and minute as i32, every value little-endian (6 + 28 * count bytes).
std::uint32_t DenseDigest(const NextRecordsAnswer& answer);
// A checked dense answer (command 0B): the dense answer `dense` (as EncodeDense gives it) for
// `answer`, followed by its digest u32.
std::vector<std::uint8_t> EncodeCheckedDense(const NextRecordsAnswer& answer);
// Decodes a checked dense answer: a dense answer then 4 bytes of digest that match the decoded
// records; std::nullopt otherwise (a damaged answer).
std::optional<NextRecordsAnswer> DecodeCheckedDenseAnswer(std::span<const std::uint8_t> payload);
// The dense answer a terminal gives to `request` from its records: as many from `request.start`
// on as fit in `maxCount` and (in the difference coding) in the payload limit.
NextRecordsAnswer PackDenseRecords(std::span<const CardRecordFields> all, const NextRecordsRequest& request,
                                   std::size_t maxPayload = kMaxPayload);

// The terminal's clock: local wall time to the second. Year u16, month, day, hour, minute,
// second u8 each (7 bytes): the read-clock answer and the set-clock request.
struct ClockTime {
  std::int32_t year = 2000;
  std::int32_t month = 1;
  std::int32_t day = 1;
  std::int32_t hour = 0;
  std::int32_t minute = 0;
  std::int32_t second = 0;
  bool operator==(const ClockTime&) const = default;
};
inline constexpr std::size_t kClockTimeSize = 7;
// A valid date and time of a terminal's clock: a real calendar date of the years 2000..2127 and
// a time of day, seconds 0..59. A reading outside is no valid date and time; every version 3
// terminal keeps (and accepts in a set) any time inside.
inline constexpr int kFirstClockYear = 2000;
inline constexpr int kLastClockYear = 2127;
bool IsValidClockTime(const ClockTime& time);
// Seconds from 1970-01-01 00:00:00 of the wall time (no time zone: a count of wall seconds).
std::int64_t WallSeconds(const ClockTime& time);
ClockTime FromWallSeconds(std::int64_t seconds);
// Encodes year..second; fields outside their byte (year outside 0..65535) are a caller error
// (std::invalid_argument).
std::vector<std::uint8_t> Encode(const ClockTime& time);
// The set-clock request: exactly 7 bytes; any values (the caller decides whether they are a
// valid time).
std::optional<ClockTime> DecodeClockTime(std::span<const std::uint8_t> payload);
// The read-clock answer: its first 7 bytes (bytes beyond belong to a later version); any values.
std::optional<ClockTime> DecodeClockAnswer(std::span<const std::uint8_t> payload);

}  // namespace terminal::protocol
