// Card records on the wire. A record travels in one of two forms, told apart by its first byte:
//
//   compact (5 to 9 bytes), when year is 2000..2127, month 0..15, day 0..63, hour 0..31 and
//   minute 0..63 (impossible dates such as month 13, day 32 or minute 60 still fit):
//     4 bytes, big-endian word W:  bit 31 = 0, bits 30..24 year-2000, 23..20 month, 19..14 day,
//                                  13..9 hour, 8..3 minute, 2..0 zero
//     then the person number as an unsigned LEB128 varint of its 32-bit pattern (1..5 bytes)
//   raw (25 bytes), for any other field values:
//     80, then person, year, month, day, hour, minute as signed 32-bit little-endian values.
//
// Every 32-bit value of every field travels exactly; a decoder rejects any other first byte with
// bit 7 set, a compact word with its low bits set, and an overlong or overflowing varint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace terminal::protocol {

struct CardRecordFields {
  std::int32_t person = 0;
  std::int32_t year = 0;
  std::int32_t month = 0;
  std::int32_t day = 0;
  std::int32_t hour = 0;
  std::int32_t minute = 0;

  bool operator==(const CardRecordFields&) const = default;
};

inline constexpr std::uint8_t kRawRecordTag = 0x80;
inline constexpr std::size_t kRawRecordSize = 25;
inline constexpr std::size_t kMaxRecordSize = kRawRecordSize;

std::size_t EncodedRecordSize(const CardRecordFields& record);
void AppendRecord(const CardRecordFields& record, std::vector<std::uint8_t>& out);
// The raw form, whatever the values (a terminal may always send it).
void AppendRawRecord(const CardRecordFields& record, std::vector<std::uint8_t>& out);
// Decodes one record from the front of `bytes`; returns the bytes it took, or 0 when they hold
// no complete, well-formed record.
std::size_t DecodeRecord(std::span<const std::uint8_t> bytes, CardRecordFields& out);

void AppendVarint(std::uint32_t value, std::vector<std::uint8_t>& out);
std::size_t VarintSize(std::uint32_t value);
// Returns the bytes taken, or 0 for a truncated, overlong or overflowing varint.
std::size_t DecodeVarint(std::span<const std::uint8_t> bytes, std::uint32_t& out);

}  // namespace terminal::protocol
