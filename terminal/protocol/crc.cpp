#include "terminal/protocol/crc.h"

#include <array>

namespace terminal::protocol {
namespace {

constexpr std::array<std::uint16_t, 256> MakeCrc16Table() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t value = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      value = static_cast<std::uint16_t>((value & 0x8000) ? (value << 1) ^ 0x1021 : value << 1);
    table[i] = value;
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> MakeCrc8Table() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint8_t value = static_cast<std::uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit)
      value = static_cast<std::uint8_t>((value & 0x80) ? (value << 1) ^ 0x07 : value << 1);
    table[i] = value;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> MakeCrc32cTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ 0x82F63B78u : value >> 1;
    table[i] = value;
  }
  return table;
}

constexpr auto kCrc16Table = MakeCrc16Table();
constexpr auto kCrc32cTable = MakeCrc32cTable();
constexpr auto kCrc8Table = MakeCrc8Table();

}  // namespace

std::uint16_t Crc16(std::span<const std::uint8_t> bytes, std::uint16_t crc) {
  for (std::uint8_t byte : bytes)
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ byte) & 0xFF]);
  return crc;
}

std::uint8_t Crc8(std::span<const std::uint8_t> bytes) {
  std::uint8_t crc = 0;
  for (std::uint8_t byte : bytes) crc = kCrc8Table[crc ^ byte];
  return crc;
}

std::uint32_t Crc32c(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t byte : bytes) crc = (crc >> 8) ^ kCrc32cTable[(crc ^ byte) & 0xFF];
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace terminal::protocol
