#include "terminal/protocol/messages.h"

#include <gtest/gtest.h>

namespace terminal::protocol {
namespace {

std::vector<CardRecordFields> ManyRecords(std::size_t count, std::int32_t year = 2026) {
  std::vector<CardRecordFields> records;
  for (std::size_t i = 0; i < count; ++i)
    records.push_back({static_cast<std::int32_t>(1000 + i), year, 11, 6, 9, static_cast<std::int32_t>(i % 60)});
  return records;
}

TEST(NextRecords, BatchesCoverEveryRecordOnceInOrder) {
  const auto all = ManyRecords(1000);
  std::vector<CardRecordFields> got;
  NextRecordsRequest request{0, 100, {}};
  for (int guard = 0; guard < 100; ++guard) {
    const auto payload = Encode(PackRecords(all, request));
    ASSERT_LE(payload.size(), kMaxPayload);
    const auto answer = DecodeNextRecordsAnswer(payload);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->start, request.start);
    got.insert(got.end(), answer->records.begin(), answer->records.end());
    request.start += static_cast<std::uint32_t>(answer->records.size());
    if (answer->last) break;
  }
  EXPECT_EQ(got, all);
}

TEST(NextRecords, RawRecordsAreLimitedByThePayloadSize) {
  const auto all = ManyRecords(300, 1900);  // every record in the 25-byte form
  const auto answer = PackRecords(all, {0, 255, {}});
  EXPECT_EQ(answer.records.size(), (kMaxPayload - kRecordBatchHeader) / kRawRecordSize);
  EXPECT_FALSE(answer.last);
  EXPECT_LE(Encode(answer).size(), kMaxPayload);
}

TEST(NextRecords, PastTheEndGivesAnEmptyLastBatch) {
  const auto all = ManyRecords(3);
  const auto answer = PackRecords(all, {3, 10, {}});
  EXPECT_TRUE(answer.records.empty());
  EXPECT_TRUE(answer.last);
  const auto none = PackRecords({}, {0, 10, {}});
  EXPECT_TRUE(none.last);
}

TEST(NextRecords, DecoderRejectsMalformedAnswers) {
  auto payload = Encode(PackRecords(ManyRecords(5), {0, 5, {}}));
  EXPECT_TRUE(DecodeNextRecordsAnswer(payload));
  auto extra = payload;
  extra.push_back(0);
  ASSERT_TRUE(DecodeNextRecordsAnswer(extra)) << "bytes after the records belong to a later version";
  EXPECT_EQ(DecodeNextRecordsAnswer(extra)->records, DecodeNextRecordsAnswer(payload)->records);
  auto cut = payload;
  cut.pop_back();
  EXPECT_FALSE(DecodeNextRecordsAnswer(cut));
  auto countTooHigh = payload;
  countTooHigh[4] = 6;
  EXPECT_FALSE(DecodeNextRecordsAnswer(countTooHigh));
  auto unknownFlag = payload;
  unknownFlag[5] |= 0x02;
  EXPECT_FALSE(DecodeNextRecordsAnswer(unknownFlag));
  EXPECT_FALSE(DecodeNextRecordsRequest(Encode(NextRecordsRequest{0, 0, {}})));
}

TEST(Enrolment, FingerprintAndPasswordRoundTrip) {
  EnrolmentData fingerprint;
  fingerprint.key = {-5, 0};
  for (std::size_t i = 0; i < kTemplateValues; ++i)
    fingerprint.fingerprint[i] = static_cast<std::int32_t>(i * 2654435761u);
  auto payload = Encode(fingerprint);
  EXPECT_EQ(payload.size(), 5 + 4 * kTemplateValues);
  auto back = DecodeEnrolmentData(payload);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->key, fingerprint.key);
  EXPECT_EQ(back->fingerprint, fingerprint.fingerprint);

  EnrolmentData password;
  password.key = {70000, kPasswordEnrolment};
  password.password = -123456;
  payload = Encode(password);
  EXPECT_EQ(payload.size(), 9u);
  back = DecodeEnrolmentData(payload);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->password, -123456);
  EXPECT_EQ(back->key.person, 70000);
}

TEST(Enrolment, DecodersCheckLengthAndEnrolmentNumber) {
  EXPECT_FALSE(DecodeEnrolmentKey(std::vector<std::uint8_t>{1, 0, 0, 0, 11}));
  EXPECT_TRUE(DecodeEnrolmentKey(std::vector<std::uint8_t>{1, 0, 0, 0, 10}));
  EXPECT_FALSE(DecodeEnrolmentKey(std::vector<std::uint8_t>{1, 0, 0, 0}));
  EnrolmentData data;
  auto payload = Encode(data);
  payload.pop_back();
  EXPECT_FALSE(DecodeEnrolmentData(payload));
  EXPECT_FALSE(DecodePrepareRequest(Encode(EnrolmentKey{1, 0})));
  EXPECT_TRUE(DecodePrepareRequest(Encode(PrepareRequest{{1, 0}, 1})));
}

TEST(SmallAnswers, RoundTripAndExactLength) {
  auto probe = DecodeProbeAnswer(Encode(ProbeAnswer{1, 12345, {}}));
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->recordCount, 12345u);
  EXPECT_FALSE(DecodeProbeAnswer(std::vector<std::uint8_t>{1, 2, 3}));
  auto begin = DecodeBeginReadAnswer(Encode(BeginReadAnswer{10000, {}}));
  ASSERT_TRUE(begin);
  EXPECT_EQ(begin->recordCount, 10000u);
  // Version 2 forms, and the version 1 forms next to them.
  const RecordLog log{0xFEDCBA98u, 100000, 7};
  auto probe2 = DecodeProbeAnswer(Encode(ProbeAnswer{2, 99, log}));
  ASSERT_TRUE(probe2);
  EXPECT_EQ(probe2->log, log);
  EXPECT_EQ(Encode(ProbeAnswer{2, 99, log}).size(), 17u);
  EXPECT_EQ(Encode(ProbeAnswer{1, 99, log}).size(), 5u) << "a version 1 answer has no log";
  auto shortProbe = Encode(ProbeAnswer{2, 99, log});
  shortProbe.pop_back();
  EXPECT_FALSE(DecodeProbeAnswer(shortProbe));
  EXPECT_FALSE(DecodeProbeAnswer(std::vector<std::uint8_t>{0, 0, 0, 0, 0})) << "version 0";
  auto begin2 = DecodeBeginReadAnswer(Encode(BeginReadAnswer{5, log}));
  ASSERT_TRUE(begin2 && begin2->log);
  EXPECT_EQ(*begin2->log, log);
  EXPECT_FALSE(DecodeBeginReadAnswer(Encode(BeginReadAnswer{5, std::nullopt}))->log);
  EXPECT_FALSE(DecodeBeginReadAnswer(std::vector<std::uint8_t>(3, 0))) << "shorter than version 1";
  EXPECT_FALSE(DecodeBeginReadAnswer(std::vector<std::uint8_t>(8, 0))->log) << "short of version 2: version 1";
  auto next2 = DecodeNextRecordsRequest(Encode(NextRecordsRequest{3, 9, 0x80000001u}));
  ASSERT_TRUE(next2 && next2->generation);
  EXPECT_EQ(*next2->generation, 0x80000001u);
  EXPECT_FALSE(DecodeNextRecordsRequest(Encode(NextRecordsRequest{3, 9, {}}))->generation);
  EXPECT_FALSE(DecodeNextRecordsRequest(std::vector<std::uint8_t>(7, 1)));
  auto clear = DecodeClearRecordsRequest(Encode(ClearRecordsRequest{4, 1000}));
  ASSERT_TRUE(clear);
  EXPECT_EQ(clear->generation, 4u);
  EXPECT_EQ(clear->count, 1000u);
  EXPECT_FALSE(DecodeClearRecordsRequest(std::vector<std::uint8_t>(7, 1)));
  EXPECT_EQ(DecodeClearRecordsAnswer(Encode(ClearRecordsAnswer{5}))->generation, 5u);
  EXPECT_FALSE(DecodeClearRecordsAnswer(std::vector<std::uint8_t>(3, 1)));
  auto refusal = DecodeRefusal(Encode(Refusal{0x04, 3}));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 3);
  EXPECT_FALSE(DecodeRefusal(std::vector<std::uint8_t>{4}));
}

// A later version adds fields at the end of an answer: a host takes the fields it knows, by the
// version byte (probe) or the length (begin), and ignores the rest. Requests stay exact.
TEST(LaterVersions, AnswersKeepTheirKnownFieldsAndExtraBytesAreIgnored) {
  const RecordLog log{0x56000105u, 100000, 9};
  auto with = [](std::vector<std::uint8_t> bytes, std::size_t extra) {
    for (std::size_t i = 0; i < extra; ++i) bytes.push_back(static_cast<std::uint8_t>(0xA0 + i));
    return bytes;
  };
  auto shortOf = [](std::vector<std::uint8_t> bytes) {
    bytes.pop_back();
    return bytes;
  };
  struct Case {
    const char* name;
    bool probe;  // else a begin-record-read answer
    std::vector<std::uint8_t> payload;
    int version;  // what the host takes it for; 0: damaged
    std::uint32_t held;
  } cases[] = {
      {"probe v1 + 3", true, with(Encode(ProbeAnswer{1, 40, {}}), 3), 1, 40},
      {"probe v1 + 12 (the version byte rules)", true, with(Encode(ProbeAnswer{1, 41, {}}), 12), 1, 41},
      {"probe v2 + 1", true, with(Encode(ProbeAnswer{2, 42, log}), 1), 2, 42},
      {"probe v3: v2 fields + 8", true, with(Encode(ProbeAnswer{3, 43, log}), 8), 2, 43},
      {"probe v2 short of its fields", true, shortOf(Encode(ProbeAnswer{2, 44, log})), 0, 0},
      {"begin v1 + 11", false, with(Encode(BeginReadAnswer{45, std::nullopt}), 11), 1, 45},
      {"begin v2", false, Encode(BeginReadAnswer{46, log}), 2, 46},
      {"begin v2 + 20", false, with(Encode(BeginReadAnswer{47, log}), 20), 2, 47},
  };
  for (const Case& c : cases) {
    if (c.probe) {
      const auto probe = DecodeProbeAnswer(c.payload);
      ASSERT_EQ(probe.has_value(), c.version != 0) << c.name;
      if (!probe) continue;
      EXPECT_EQ(probe->recordCount, c.held) << c.name;
      EXPECT_EQ(probe->version >= 2 ? 2 : 1, c.version) << c.name;
      if (c.version == 2) {
        EXPECT_EQ(probe->log, log) << c.name;
      }
    } else {
      const auto begin = DecodeBeginReadAnswer(c.payload);
      ASSERT_TRUE(begin) << c.name;
      EXPECT_EQ(begin->recordCount, c.held) << c.name;
      ASSERT_EQ(begin->log.has_value(), c.version == 2) << c.name;
      if (begin->log) {
        EXPECT_EQ(*begin->log, log) << c.name;
      }
    }
  }
  EXPECT_EQ(DecodeClearRecordsAnswer(with(Encode(ClearRecordsAnswer{10}), 6))->generation, 10u);
  EXPECT_EQ(DecodeRefusal(with(Encode(Refusal{0x03, 8}), 2))->code, 8);
  EnrolmentData password;
  password.key = {7, kPasswordEnrolment};
  password.password = 4321;
  EXPECT_EQ(DecodeEnrolmentAnswer(with(Encode(password), 5))->password, 4321);
  // What a terminal receives is checked exactly.
  EXPECT_FALSE(DecodeEnrolmentData(with(Encode(password), 5)));
  EXPECT_FALSE(DecodeClearRecordsRequest(with(Encode(ClearRecordsRequest{1, 2}), 1)));
  EXPECT_FALSE(DecodeNextRecordsRequest(with(Encode(NextRecordsRequest{0, 5, 1u}), 1)));
}

}  // namespace
}  // namespace terminal::protocol
