#include "terminal/protocol/dense.h"

#include "terminal/protocol/crc.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace terminal::protocol {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

NextRecordsAnswer Batch(std::vector<CardRecordFields> records, std::uint32_t start = 0, bool last = false) {
  NextRecordsAnswer answer;
  answer.start = start;
  answer.last = last;
  answer.records = std::move(records);
  return answer;
}

TEST(DenseForm, EveryBatchSurvivesBothCodings) {
  struct Case {
    const char* name;
    std::vector<CardRecordFields> records;
  } cases[] = {
      {"empty", {}},
      {"one", {{1001, 2026, 12, 8, 9, 30}}},
      {"same minute", {{1001, 2026, 12, 8, 9, 30}, {1500, 2026, 12, 8, 9, 30}, {3, 2026, 12, 8, 9, 30}}},
      {"clock set back", {{7, 2026, 12, 8, 9, 30}, {8, 2026, 12, 8, 9, 29}, {9, 2026, 12, 7, 23, 59}, {7, 2025, 1, 1, 0, 0}}},
      {"across years and leap day", {{1, 2000, 1, 1, 0, 0}, {2, 2024, 2, 29, 23, 59}, {3, 2127, 12, 31, 23, 59}, {4, 2000, 1, 1, 0, 0}}},
      {"impossible dates travel whole", {{5, 2026, 13, 32, 24, 60}, {6, 2026, 1, 1, 0, 0}, {6, 2026, 2, 30, 0, 0}, {7, 2026, 2, 28, 0, 0}}},
      {"any 32-bit fields", {{kMin, kMin, kMax, -1, 0, 7}, {kMax, 2026, 1, 1, 1, 1}, {kMin, 2026, 1, 1, 1, 2}, {-5, 1999, 12, 31, 23, 59}}},
      {"days beyond a byte do not wrap", {{1, 2026, 1, 264, 0, 0}, {2, 2026, 1, 8, 0, 0}, {3, 2026, 1, 256 + 31, 0, 0}}},
      {"person differences wrap", {{kMax, 2026, 1, 1, 0, 0}, {kMin, 2026, 1, 1, 0, 1}, {kMax, 2026, 1, 1, 0, 3}, {0, 2026, 1, 1, 0, 3}}},
  };
  for (const auto& c : cases) {
    for (const PersonCoding coding : {PersonCoding::kDifferences, PersonCoding::kTable}) {
      const NextRecordsAnswer sent = Batch(c.records, 77, true);
      const auto back = DecodeDenseRecordsAnswer(EncodeDense(sent, coding));
      ASSERT_TRUE(back) << c.name << " coding " << static_cast<int>(coding);
      EXPECT_EQ(back->start, 77u);
      EXPECT_TRUE(back->last);
      EXPECT_EQ(back->records, sent.records) << c.name << " coding " << static_cast<int>(coding);
    }
    const NextRecordsAnswer sent = Batch(c.records);
    const std::size_t chosen = EncodeDense(sent).size();
    EXPECT_EQ(chosen, std::min(EncodeDense(sent, PersonCoding::kDifferences).size(),
                               EncodeDense(sent, PersonCoding::kTable).size()))
        << c.name;
  }
}

TEST(DenseForm, DifferencesWinForManyPersonsAndTheTableForFew) {
  std::mt19937 random(11);
  struct Case {
    int persons, spacing;
    PersonCoding better;
    double mostBytesPerRecord;
  } cases[] = {{2000, 1, PersonCoding::kDifferences, 2.2}, {6, 100000, PersonCoding::kTable, 1.2}};
  for (const auto& c : cases) {
    std::vector<CardRecordFields> records;
    for (int i = 0; i < 255; ++i)
      records.push_back({1000 + static_cast<int>(random() % c.persons) * c.spacing, 2026, 12, 8, 8 + i / 300, i / 5 % 60});
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
      return *TimelineMinutes(a) < *TimelineMinutes(b);
    });
    const auto differences = EncodeDense(Batch(records), PersonCoding::kDifferences);
    const auto table = EncodeDense(Batch(records), PersonCoding::kTable);
    const bool tableBetter = table.size() < differences.size();
    EXPECT_EQ(tableBetter, c.better == PersonCoding::kTable) << c.persons << ": " << differences.size() << " vs " << table.size();
    const auto chosen = EncodeDense(Batch(records));
    EXPECT_EQ(chosen[6], static_cast<std::uint8_t>(c.better));
    EXPECT_LE((chosen.size() - kRecordBatchHeader - 1) / 255.0, c.mostBytesPerRecord) << c.persons;
  }
}

TEST(DenseForm, TheDocumentsExampleIsByteExact) {
  const std::vector<std::uint8_t> bytes = {0x28, 0, 0, 0, 4, 1, 0, 3, 0x1A, 0xC2, 0x10, 0x00, 0xE9, 0x07, 0x10, 0x05, 0x02, 0x03};
  const NextRecordsAnswer answer = Batch(
      {{1001, 2026, 12, 8, 8, 0}, {1003, 2026, 12, 8, 8, 0}, {1002, 2026, 12, 8, 8, 1}, {1002, 2026, 12, 8, 7, 59}}, 40,
      true);
  EXPECT_EQ(EncodeDense(answer), bytes);
  const auto back = DecodeDenseRecordsAnswer(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->records, answer.records);
}

TEST(DenseForm, DamagedBatchesAreRejected) {
  // A good two-record batch: header, coding 0, whole record (lead 3 + compact 5 bytes), then a
  // difference record of the same minute and person + 1 (lead (2 << 2) | 0).
  const std::vector<std::uint8_t> good = EncodeDense(Batch({{1, 2026, 1, 1, 8, 0}, {2, 2026, 1, 1, 8, 0}}),
                                                     PersonCoding::kDifferences);
  ASSERT_TRUE(DecodeDenseRecordsAnswer(good));
  ASSERT_EQ(good.back(), 0x08);
  auto with = [&](auto change) {
    std::vector<std::uint8_t> bytes = good;
    change(bytes);
    return bytes;
  };
  const std::vector<std::uint8_t> header = {0, 0, 0, 0, 1, 0};
  auto batch = [&](std::vector<std::uint8_t> tail) {
    std::vector<std::uint8_t> bytes = header;
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
  };
  // Whole record of 2026-01-01 08:00 for person 1, in the compact form.
  std::vector<std::uint8_t> whole = {3};
  AppendRecord({1, 2026, 1, 1, 8, 0}, whole);
  auto then = [&](std::vector<std::uint8_t> after, std::uint8_t count = 2) {
    std::vector<std::uint8_t> bytes = {0, 0, 0, 0, count, 0, 0};
    bytes.insert(bytes.end(), whole.begin(), whole.end());
    bytes.insert(bytes.end(), after.begin(), after.end());
    return bytes;
  };
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"count one more than the records", with([](auto& b) { ++b[4]; })},
      {"count one fewer than the records", with([](auto& b) { --b[4]; })},
      {"cut short", with([](auto& b) { b.pop_back(); })},
      {"unknown flag", with([](auto& b) { b[5] = 2; })},
      {"unknown person coding", with([](auto& b) { b[6] = 2; })},
      {"no coding byte", {0, 0, 0, 0, 0, 0}},
      {"first record a difference", batch({0, 0x04})},
      {"whole record with a person part", batch({0, 7, whole[1], whole[2], whole[3], whole[4], whole[5]})},
      {"difference after an impossible date", [&] {
         std::vector<std::uint8_t> b = {0, 0, 0, 0, 2, 0, 0, 3};
         AppendRecord({1, 2026, 13, 1, 8, 0}, b);
         b.push_back(0x04);
         return b;
       }()},
      {"difference before 2000", then({0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F})},  // zig-zag of a huge step back
      {"difference after 2127", then({0x02, 0xFE, 0xFF, 0xFF, 0xFF, 0x0F})},
      {"difference varint overlong", then({0x02, 0x80, 0x00})},
      {"lead varint too wide", then({0xFF, 0xFF, 0xFF, 0xFF, 0x7F})},
      {"lead varint overlong", then({0x84, 0x00})},
      {"table index beyond the table", {0, 0, 0, 0, 2, 0, 1, 1, 0x02, 3, whole[1], whole[2], whole[3], whole[4], whole[5], 0x04}},
      {"table cut short", batch({1, 2, 0x02})},
  };
  for (const auto& c : cases) EXPECT_FALSE(DecodeDenseRecordsAnswer(c.bytes)) << c.name;
}

TEST(DenseForm, PackingStaysWithinThePayloadAndTheCount) {
  std::vector<CardRecordFields> raw(300, CardRecordFields{kMin, 1999, 1, 1, 0, 0});
  std::vector<CardRecordFields> regular;
  for (int i = 0; i < 300; ++i) regular.push_back({1000 + (i * 37) % 2000, 2026, 12, 8, 9, i % 60});
  struct Case {
    const std::vector<CardRecordFields>* all;
    std::uint32_t start;
    std::uint8_t most;
    std::size_t expected;
    bool last;
  } cases[] = {
      {&raw, 0, 255, (kMaxPayload - kRecordBatchHeader - 1) / (1 + kRawRecordSize), false},
      {&regular, 0, 255, 255, false},
      {&regular, 100, 255, 200, true},
      {&regular, 300, 255, 0, true},
      {&regular, 298, 1, 1, false},
  };
  for (const auto& c : cases) {
    const NextRecordsAnswer answer = PackDenseRecords(*c.all, NextRecordsRequest{c.start, c.most, std::nullopt});
    EXPECT_EQ(answer.records.size(), c.expected);
    EXPECT_EQ(answer.last, c.last);
    const auto bytes = EncodeDense(answer);
    EXPECT_LE(bytes.size(), kMaxPayload);
    const auto back = DecodeDenseRecordsAnswer(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->records, answer.records);
  }
}

TEST(ClockTimeForm, ValidityAndTheWire) {
  // A valid clock time is a real date of 2000..2127: one reading and one set rule, edges included.
  struct Case {
    ClockTime time;
    bool valid;
  } cases[] = {
      {{2026, 12, 8, 10, 20, 0}, true},    {{2000, 1, 1, 0, 0, 0}, true},
      {{2127, 12, 31, 23, 59, 59}, true},  {{2024, 2, 29, 12, 0, 0}, true},
      {{1999, 12, 31, 23, 59, 59}, false}, {{2128, 1, 1, 0, 0, 0}, false},
      {{1899, 12, 30, 0, 0, 0}, false},    {{2100, 2, 29, 0, 0, 0}, false},
      {{2025, 2, 29, 12, 0, 0}, false},    {{2026, 13, 1, 0, 0, 0}, false},
      {{2026, 0, 1, 0, 0, 0}, false},      {{2026, 4, 31, 0, 0, 0}, false},
      {{2026, 1, 1, 24, 0, 0}, false},     {{2026, 1, 1, 0, 60, 0}, false},
      {{2026, 1, 1, 0, 0, 60}, false},     {{0, 1, 1, 0, 0, 0}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidClockTime(c.time), c.valid) << c.time.year << "-" << c.time.month << "-" << c.time.day;
    const auto bytes = Encode(c.time);
    ASSERT_EQ(bytes.size(), kClockTimeSize);
    EXPECT_EQ(DecodeClockTime(bytes), c.time);  // the wire carries invalid values too: the host judges
    if (c.valid) {
      EXPECT_EQ(FromWallSeconds(WallSeconds(c.time)), c.time);
    }
  }
  EXPECT_EQ(Encode(ClockTime{2026, 12, 8, 10, 20, 5}), (std::vector<std::uint8_t>{0xEA, 0x07, 12, 8, 10, 20, 5}));
  EXPECT_FALSE(DecodeClockTime(std::vector<std::uint8_t>(6)));
  EXPECT_FALSE(DecodeClockTime(std::vector<std::uint8_t>(8)));
  EXPECT_EQ(WallSeconds({1970, 1, 1, 0, 0, 1}), 1);
  EXPECT_EQ(FromWallSeconds(-1), (ClockTime{1969, 12, 31, 23, 59, 59}));
}

TEST(BeginAnswer, AVersion3TerminalSaysSoAfterItsLog) {
  const BeginReadAnswer v3{10, RecordLog{7, 100, 2}, 3};
  const auto bytes = Encode(v3);
  ASSERT_EQ(bytes.size(), 17u);
  const auto back = DecodeBeginReadAnswer(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Version(), 3);
  EXPECT_EQ(DecodeBeginReadAnswer(Encode(BeginReadAnswer{10, RecordLog{7, 100, 2}}))->Version(), 2);
  EXPECT_EQ(DecodeBeginReadAnswer(Encode(BeginReadAnswer{10, std::nullopt}))->Version(), 1);
  // The byte after the version 2 fields is a version only from 3 on; below, the answer is version
  // 2's and the byte is one beyond its known fields (ignored). Bytes after the version likewise.
  for (std::uint8_t byte : {0, 1, 2, 3, 4, 0xE0}) {
    for (std::size_t extra : {0u, 1u, 5u}) {
      auto longer = bytes;
      longer.back() = byte;
      longer.insert(longer.end(), extra, 0xA5);
      const auto read = DecodeBeginReadAnswer(longer);
      ASSERT_TRUE(read) << int(byte) << " + " << extra;
      EXPECT_EQ(read->Version(), byte >= 3 ? byte : 2) << int(byte) << " + " << extra;
      EXPECT_EQ(read->log, (RecordLog{7, 100, 2})) << int(byte) << " + " << extra;
      EXPECT_EQ(read->recordCount, 10u);
    }
  }
}

TEST(DenseForm, ADifferenceNeverFollowsARecordSentRaw) {
  // The same two records: the first whole (compact or raw, a real date either way), the second
  // one minute later as a difference, or whole.
  const CardRecordFields first{1001, 2026, 12, 8, 8, 0}, second{1002, 2026, 12, 8, 8, 1};
  auto batch = [&](bool raw, bool difference) {
    std::vector<std::uint8_t> bytes = {0, 0, 0, 0, 2, 1, 0, 3};
    raw ? AppendRawRecord(first, bytes) : AppendRecord(first, bytes);
    if (difference) {
      bytes.push_back(static_cast<std::uint8_t>((ZigZag(1) << 2) | 1));
    } else {
      bytes.push_back(3);
      AppendRecord(second, bytes);
    }
    return bytes;
  };
  struct Case {
    bool raw, difference, valid;
  } cases[] = {{false, true, true}, {false, false, true}, {true, false, true}, {true, true, false}};
  for (const auto& c : cases) {
    const auto decoded = DecodeDenseRecordsAnswer(batch(c.raw, c.difference));
    ASSERT_EQ(decoded.has_value(), c.valid) << "raw " << c.raw << ", difference " << c.difference;
    if (decoded) {
      EXPECT_EQ(decoded->records, (std::vector<CardRecordFields>{first, second}));
    }
  }
  // What a terminal of ours sends never has one: a real date always travels compact.
  std::mt19937 random(7);
  std::vector<CardRecordFields> log;
  for (int i = 0; i < 200; ++i)
    log.push_back({static_cast<std::int32_t>(random() % 50), 2000 + static_cast<int>(random() % 130),
                   static_cast<int>(random() % 14), static_cast<int>(random() % 33), static_cast<int>(random() % 25),
                   static_cast<int>(random() % 61)});
  for (PersonCoding coding : {PersonCoding::kDifferences, PersonCoding::kTable})
    EXPECT_EQ(DecodeDenseRecordsAnswer(EncodeDense(Batch(log), coding))->records, log);
}

TEST(CheckedDense, TheDigestIsCrc32cOfTheCanonicalFormAsTheDocumentShowsIt) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32c(std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())), 0xE3069283u);
  // The document's example batch: the answer of 0B is that of 08 followed by the digest.
  const NextRecordsAnswer answer = Batch(
      {{1001, 2026, 12, 8, 8, 0}, {1003, 2026, 12, 8, 8, 0}, {1002, 2026, 12, 8, 8, 1}, {1002, 2026, 12, 8, 7, 59}}, 40,
      true);
  EXPECT_EQ(DenseDigest(answer), 0x24FCDAD2u);
  std::vector<std::uint8_t> bytes = EncodeDense(answer);
  bytes.insert(bytes.end(), {0xD2, 0xDA, 0xFC, 0x24});
  EXPECT_EQ(EncodeCheckedDense(answer), bytes);
  EXPECT_EQ(DecodeCheckedDenseAnswer(bytes)->records, answer.records);
  EXPECT_EQ(EncodeCheckedDense(Batch({}, 40, true)),
            (std::vector<std::uint8_t>{0x28, 0, 0, 0, 0, 1, 0, 0x1B, 0xF1, 0xB3, 0x40}))
      << "an empty last batch digests its header alone";
  // The document's raw first record: whole records only after it.
  std::vector<std::uint8_t> raw = {0x28, 0, 0, 0, 4, 1, 0, 3, 0x80, 0xE9, 3, 0, 0, 0xEA, 7, 0, 0, 0x0C, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0};
  auto followed = raw;
  followed.insert(followed.end(), {0x10, 0x05, 0x02, 0x03});
  EXPECT_FALSE(DecodeDenseRecordsAnswer(followed));
  raw.insert(raw.end(), {0x03, 0x1A, 0xC2, 0x10, 0x00, 0xEB, 0x07, 0x05, 0x02, 0x03});
  EXPECT_EQ(DecodeDenseRecordsAnswer(raw)->records, answer.records);
}

TEST(CheckedDense, AnyChangeOfContentIsDamage) {
  std::vector<CardRecordFields> log;
  for (int i = 0; i < 60; ++i) log.push_back({1000 + i % 7, 2026, 12, 8, 8 + i / 30, i % 60});
  log.push_back({-5, 2026, 13, 40, 25, 61});  // off the timeline: digested all the same
  const NextRecordsAnswer answer = Batch(log, 300, false);
  const auto good = EncodeCheckedDense(answer);
  ASSERT_TRUE(DecodeCheckedDenseAnswer(good));
  // Well-formed answers carrying other content than their digest was made of.
  auto sentAs = [&](auto change) {
    NextRecordsAnswer sent = answer;
    change(sent);
    std::vector<std::uint8_t> bytes = EncodeDense(sent);
    const auto digest = EncodeCheckedDense(answer);
    bytes.insert(bytes.end(), digest.end() - 4, digest.end());
    EXPECT_TRUE(DecodeDenseRecordsAnswer(std::span(bytes).first(bytes.size() - 4))) << "well-formed";
    return bytes;
  };
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"a person off by one", sentAs([](auto& a) { ++a.records[20].person; })},
      {"a minute later", sentAs([](auto& a) { a.records[31] = AtTimeline(*TimelineMinutes(a.records[31]) + 1, a.records[31].person); })},
      {"two records swapped", sentAs([](auto& a) { std::swap(a.records[3], a.records[4]); })},
      {"an off-timeline field", sentAs([](auto& a) { ++a.records.back().day; })},
      {"another start", sentAs([](auto& a) { a.start = 301; })},
      {"last batch said", sentAs([](auto& a) { a.last = true; })},
      {"a record left out", sentAs([](auto& a) { a.records.pop_back(); })},
      {"digest byte flipped", [&] { auto b = good; b.back() ^= 0x10; return b; }()},
      {"digest cut short", [&] { auto b = good; b.pop_back(); return b; }()},
      {"a byte after the digest", [&] { auto b = good; b.push_back(0); return b; }()},
      {"no digest", EncodeDense(answer)},
  };
  for (const auto& c : cases) EXPECT_FALSE(DecodeCheckedDenseAnswer(c.bytes)) << c.name;
}

}  // namespace
}  // namespace terminal::protocol
