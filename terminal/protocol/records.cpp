#include "terminal/protocol/records.h"

namespace terminal::protocol {
namespace {

bool FitsCompact(const CardRecordFields& r) {
  return r.year >= 2000 && r.year <= 2127 && r.month >= 0 && r.month <= 15 && r.day >= 0 &&
         r.day <= 63 && r.hour >= 0 && r.hour <= 31 && r.minute >= 0 && r.minute <= 63;
}

void AppendLe32(std::int32_t value, std::vector<std::uint8_t>& out) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

std::int32_t ReadLe32(const std::uint8_t* at) {
  const std::uint32_t bits = static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
                             (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
  return static_cast<std::int32_t>(bits);
}

}  // namespace

std::size_t VarintSize(std::uint32_t value) {
  std::size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

void AppendVarint(std::uint32_t value, std::vector<std::uint8_t>& out) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

std::size_t DecodeVarint(std::span<const std::uint8_t> bytes, std::uint32_t& out) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < bytes.size() && i < 5; ++i) {
    const std::uint8_t byte = bytes[i];
    if (i == 4 && byte > 0x0F) return 0;  // more than 32 bits
    value |= static_cast<std::uint32_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      if (i > 0 && byte == 0) return 0;  // overlong: one value, one encoding
      out = value;
      return i + 1;
    }
  }
  return 0;
}

std::size_t EncodedRecordSize(const CardRecordFields& record) {
  if (!FitsCompact(record)) return kRawRecordSize;
  return 4 + VarintSize(static_cast<std::uint32_t>(record.person));
}

void AppendRawRecord(const CardRecordFields& r, std::vector<std::uint8_t>& out) {
  out.push_back(kRawRecordTag);
  for (std::int32_t field : {r.person, r.year, r.month, r.day, r.hour, r.minute}) AppendLe32(field, out);
}

void AppendRecord(const CardRecordFields& r, std::vector<std::uint8_t>& out) {
  if (!FitsCompact(r)) {
    AppendRawRecord(r, out);
    return;
  }
  const std::uint32_t word = (static_cast<std::uint32_t>(r.year - 2000) << 24) |
                             (static_cast<std::uint32_t>(r.month) << 20) |
                             (static_cast<std::uint32_t>(r.day) << 14) |
                             (static_cast<std::uint32_t>(r.hour) << 9) |
                             (static_cast<std::uint32_t>(r.minute) << 3);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(word >> shift));
  AppendVarint(static_cast<std::uint32_t>(r.person), out);
}

std::size_t DecodeRecord(std::span<const std::uint8_t> bytes, CardRecordFields& out) {
  if (bytes.empty()) return 0;
  if (bytes[0] & 0x80) {
    if (bytes[0] != kRawRecordTag || bytes.size() < kRawRecordSize) return 0;
    const std::uint8_t* at = bytes.data() + 1;
    out.person = ReadLe32(at);
    out.year = ReadLe32(at + 4);
    out.month = ReadLe32(at + 8);
    out.day = ReadLe32(at + 12);
    out.hour = ReadLe32(at + 16);
    out.minute = ReadLe32(at + 20);
    return kRawRecordSize;
  }
  if (bytes.size() < 5) return 0;
  const std::uint32_t word = (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
                             (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
  if (word & 0x07) return 0;
  std::uint32_t person = 0;
  const std::size_t used = DecodeVarint(bytes.subspan(4), person);
  if (used == 0) return 0;
  out.person = static_cast<std::int32_t>(person);
  out.year = 2000 + static_cast<std::int32_t>((word >> 24) & 0x7F);
  out.month = static_cast<std::int32_t>((word >> 20) & 0x0F);
  out.day = static_cast<std::int32_t>((word >> 14) & 0x3F);
  out.hour = static_cast<std::int32_t>((word >> 9) & 0x1F);
  out.minute = static_cast<std::int32_t>((word >> 3) & 0x3F);
  return 4 + used;
}

}  // namespace terminal::protocol
