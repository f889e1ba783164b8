#include "terminal/protocol/records.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace terminal::protocol {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

TEST(RecordEncoding, SizesOfTheTwoForms) {
  struct Case {
    CardRecordFields record;
    std::size_t size;
  } cases[] = {
      {{1, 2026, 11, 6, 9, 5}, 5},
      {{1001, 2026, 11, 6, 9, 5}, 6},
      {{16383, 2000, 1, 1, 0, 0}, 6},
      {{16384, 2127, 12, 31, 23, 59}, 7},
      {{kMax, 2026, 1, 1, 0, 0}, 9},
      {{-1, 2026, 1, 1, 0, 0}, 9},
      {{5, 2026, 13, 32, 24, 60}, 5},  // impossible but still compact
      {{5, 2026, 15, 63, 31, 63}, 5},
      {{5, 1999, 1, 1, 0, 0}, kRawRecordSize},
      {{5, 2128, 1, 1, 0, 0}, kRawRecordSize},
      {{5, 2026, 16, 1, 0, 0}, kRawRecordSize},
      {{5, 2026, 1, 64, 0, 0}, kRawRecordSize},
      {{5, 2026, 1, 1, 32, 0}, kRawRecordSize},
      {{5, 2026, 1, 1, 0, 64}, kRawRecordSize},
      {{5, 2026, -1, 1, 0, 0}, kRawRecordSize},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> out;
    AppendRecord(c.record, out);
    EXPECT_EQ(out.size(), c.size) << c.record.person << " " << c.record.year << "/" << c.record.day;
    EXPECT_EQ(EncodedRecordSize(c.record), c.size);
    CardRecordFields back;
    EXPECT_EQ(DecodeRecord(out, back), c.size);
    EXPECT_EQ(back, c.record);
  }
}

TEST(RecordEncoding, AnyThirtyTwoBitValueTravels) {
  const std::int32_t edges[] = {kMin, kMin + 1, -1, 0, 1, 12, 31, 32, 59, 60, 63, 64, 1999, 2000, 2127, 2128, kMax};
  for (std::int32_t value : edges)
    for (int field = 0; field < 6; ++field) {
      CardRecordFields record{1001, 2026, 11, 6, 9, 5};
      std::int32_t* fields[] = {&record.person, &record.year, &record.month, &record.day, &record.hour, &record.minute};
      *fields[field] = value;
      std::vector<std::uint8_t> out;
      AppendRecord(record, out);
      CardRecordFields back;
      ASSERT_EQ(DecodeRecord(out, back), out.size());
      EXPECT_EQ(back, record) << "field " << field << " value " << value;
    }
}

TEST(RecordEncoding, RandomRecordsRoundTrip) {
  std::mt19937 random(11);
  for (int i = 0; i < 5000; ++i) {
    CardRecordFields record{static_cast<std::int32_t>(random()), static_cast<std::int32_t>(random() % 300 + 1900),
                            static_cast<std::int32_t>(random() % 20), static_cast<std::int32_t>(random() % 40),
                            static_cast<std::int32_t>(random() % 30), static_cast<std::int32_t>(random() % 70)};
    std::vector<std::uint8_t> out;
    AppendRecord(record, out);
    CardRecordFields back;
    ASSERT_EQ(DecodeRecord(out, back), out.size());
    ASSERT_EQ(back, record);
  }
}

TEST(RecordDecoding, RejectsMalformedAndTruncatedRecords) {
  std::vector<std::uint8_t> compact;
  AppendRecord({300, 2026, 1, 2, 3, 4}, compact);
  std::vector<std::uint8_t> raw;
  AppendRecord({300, 1990, 1, 2, 3, 4}, raw);
  CardRecordFields out;
  for (std::size_t cut = 0; cut < compact.size(); ++cut)
    EXPECT_EQ(DecodeRecord(std::span(compact).first(cut), out), 0u) << cut;
  for (std::size_t cut = 0; cut < raw.size(); ++cut)
    EXPECT_EQ(DecodeRecord(std::span(raw).first(cut), out), 0u) << cut;

  auto lowBits = compact;
  lowBits[3] |= 0x01;
  EXPECT_EQ(DecodeRecord(lowBits, out), 0u);
  auto badTag = raw;
  badTag[0] = 0x81;
  EXPECT_EQ(DecodeRecord(badTag, out), 0u);
}

TEST(Varint, RejectsOverlongAndOverflowingForms) {
  std::uint32_t value = 0;
  const std::vector<std::uint8_t> good = {0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
  EXPECT_EQ(DecodeVarint(good, value), 5u);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(DecodeVarint(std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0x10}, value), 0u);
  EXPECT_EQ(DecodeVarint(std::vector<std::uint8_t>{0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, value), 0u);
  EXPECT_EQ(DecodeVarint(std::vector<std::uint8_t>{0x81, 0x00}, value), 0u);
  EXPECT_EQ(DecodeVarint(std::vector<std::uint8_t>{0x00}, value), 1u);
  EXPECT_EQ(value, 0u);
}

}  // namespace
}  // namespace terminal::protocol
