#include "terminal/protocol/crc.h"

#include <gtest/gtest.h>

#include <string_view>

namespace terminal::protocol {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Crc, CatalogueCheckValues) {
  EXPECT_EQ(Crc16(Bytes("123456789")), 0x29B1);
  EXPECT_EQ(Crc8(Bytes("123456789")), 0xF4);
}

TEST(Crc, EmptyInputGivesInitialValue) {
  EXPECT_EQ(Crc16({}), 0xFFFF);
  EXPECT_EQ(Crc8({}), 0x00);
}

TEST(Crc, Crc16CanBeComputedInPieces) {
  const auto whole = Bytes("123456789");
  EXPECT_EQ(Crc16(whole.subspan(4), Crc16(whole.first(4))), 0x29B1);
}

TEST(Crc, EverySingleBitFlipChangesCrc16) {
  std::uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const std::uint16_t good = Crc16(data);
  for (std::size_t byte = 0; byte < sizeof data; ++byte)
    for (int bit = 0; bit < 8; ++bit) {
      data[byte] ^= static_cast<std::uint8_t>(1 << bit);
      EXPECT_NE(Crc16(data), good) << byte << ":" << bit;
      data[byte] ^= static_cast<std::uint8_t>(1 << bit);
    }
}

}  // namespace
}  // namespace terminal::protocol
