#include "terminal/protocol/frame_parser.h"

#include <gtest/gtest.h>

#include <random>

#include "terminal/protocol/crc.h"

namespace terminal::protocol {
namespace {

Frame Sample(std::uint8_t address = 5, std::size_t payloadSize = 3) {
  Frame frame{address, static_cast<std::uint8_t>(Command::kNextRecords), 42, {}};
  for (std::size_t i = 0; i < payloadSize; ++i) frame.payload.push_back(static_cast<std::uint8_t>(i * 7));
  return frame;
}

std::vector<Frame> Drain(FrameParser& parser) {
  std::vector<Frame> frames;
  while (auto frame = parser.Next()) frames.push_back(std::move(*frame));
  return frames;
}

TEST(FrameEncoding, LayoutOfAFrame) {
  const auto bytes = EncodeFrame({7, 0x01, 9, {0xAB}});
  ASSERT_EQ(bytes.size(), kFrameOverhead + 1);
  EXPECT_EQ(bytes[0], 0xA5);
  EXPECT_EQ(bytes[1], 0x5A);
  EXPECT_EQ(bytes[2], 7);
  EXPECT_EQ(bytes[3], 0x01);
  EXPECT_EQ(bytes[4], 9);
  EXPECT_EQ(bytes[5], 1);
  EXPECT_EQ(bytes[6], 0);
  EXPECT_EQ(bytes[7], Crc8(std::span(bytes).subspan(2, 5)));
  EXPECT_EQ(bytes[8], 0xAB);
  const std::uint16_t crc = Crc16(std::span(bytes).subspan(2, 7));
  EXPECT_EQ(bytes[9], crc >> 8);
  EXPECT_EQ(bytes[10], crc & 0xFF);
}

TEST(FrameEncoding, RefusesOversizedPayload) {
  Frame frame = Sample(1, kMaxPayload + 1);
  EXPECT_THROW(EncodeFrame(frame), std::length_error);
  EXPECT_NO_THROW(EncodeFrame(Sample(1, kMaxPayload)));
}

TEST(FrameParser, RoundTripsFramesOfEverySize) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{255}, std::size_t{256}, kMaxPayload}) {
    FrameParser parser;
    const Frame frame = Sample(200, size);
    parser.Feed(EncodeFrame(frame));
    const auto frames = Drain(parser);
    ASSERT_EQ(frames.size(), 1u) << size;
    EXPECT_EQ(frames[0], frame);
    EXPECT_FALSE(parser.SawDamage());
  }
}

TEST(FrameParser, AssemblesFramesFromSplitReads) {
  std::vector<std::uint8_t> line;
  for (std::uint8_t i = 1; i <= 5; ++i) AppendFrame(Sample(i, i * 11u), line);
  for (std::size_t piece : {1u, 2u, 3u, 7u, 13u, 64u}) {
    FrameParser parser;
    std::vector<Frame> frames;
    for (std::size_t at = 0; at < line.size(); at += piece) {
      parser.Feed(std::span(line).subspan(at, std::min(piece, line.size() - at)));
      for (auto& frame : Drain(parser)) frames.push_back(frame);
    }
    ASSERT_EQ(frames.size(), 5u) << piece;
    for (std::uint8_t i = 1; i <= 5; ++i) EXPECT_EQ(frames[i - 1], Sample(i, i * 11u));
  }
}

TEST(FrameParser, ResynchronisesAfterGarbage) {
  // Garbage that contains start markers and a plausible header must not hide the real frame.
  const std::vector<std::vector<std::uint8_t>> garbage = {
      {0x00, 0xFF, 0x13},
      {0xA5},
      {0xA5, 0xA5, 0x5A},
      {0xA5, 0x5A, 0x05, 0x83, 0x00, 0x10, 0x00, 0x00},  // header with a wrong check byte
      {0x5A, 0xA5, 0x5A, 0xA5},
  };
  for (const auto& junk : garbage) {
    FrameParser parser;
    std::vector<std::uint8_t> line = junk;
    AppendFrame(Sample(), line);
    parser.Feed(line);
    const auto frames = Drain(parser);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Sample());
    EXPECT_TRUE(parser.SawDamage());
  }
}

TEST(FrameParser, RecoversFromAFalseHeaderInsideRandomNoise) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::uint8_t> line;
    const int noise = static_cast<int>(random() % 64);
    for (int i = 0; i < noise; ++i) line.push_back(static_cast<std::uint8_t>(random()));
    AppendFrame(Sample(3, random() % 40), line);
    AppendFrame(Sample(4, 2), line);
    FrameParser parser;
    parser.Feed(line);
    auto frames = Drain(parser);
    // A random header can swallow the frames only if its CRC-8 and length agree by chance;
    // the parser then waits for more bytes, it never returns a damaged frame.
    for (const Frame& frame : frames) EXPECT_TRUE(frame.address == 3 || frame.address == 4);
    if (!parser.HoldsPartialFrame()) {
      EXPECT_EQ(frames.size(), 2u);
    }
  }
}

TEST(FrameParser, RejectsDamagedFramesAndKeepsTheNextOne) {
  const auto good = EncodeFrame(Sample());
  for (std::size_t i = 2; i < good.size(); ++i) {
    auto damaged = good;
    damaged[i] ^= 0x10;
    FrameParser parser;
    parser.Feed(damaged);
    parser.Feed(good);
    const auto frames = Drain(parser);
    ASSERT_EQ(frames.size(), 1u) << "damaged byte " << i;
    EXPECT_EQ(frames[0], Sample());
  }
}

TEST(FrameParser, RejectsOversizedFramesWithoutWaitingForThem) {
  FrameParser parser(64);
  parser.Feed(EncodeFrame(Sample(1, 65)));
  parser.Feed(EncodeFrame(Sample(2, 64)));
  const auto frames = Drain(parser);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].address, 2);
  EXPECT_EQ(parser.Stats().oversized, 1u);
}

TEST(FrameParser, HeaderAnnouncingMoreThanTheLimitIsDropped) {
  // A correctly checked header with length 0xFFFF: no frame can be that long.
  std::vector<std::uint8_t> header = {0xA5, 0x5A, 1, 1, 1, 0xFF, 0xFF};
  header.push_back(Crc8(std::span(header).subspan(2, 5)));
  FrameParser parser;
  parser.Feed(header);
  EXPECT_FALSE(parser.HoldsPartialFrame());
  EXPECT_EQ(parser.Stats().oversized, 1u);
}

TEST(FrameParser, TruncatedFrameStaysPendingAndIsDroppedOnReset) {
  const auto bytes = EncodeFrame(Sample(9, 20));
  FrameParser parser;
  parser.Feed(std::span(bytes).first(bytes.size() - 1));
  EXPECT_FALSE(parser.Next());
  EXPECT_TRUE(parser.HoldsPartialFrame());
  EXPECT_TRUE(parser.SawDamage());
  parser.Reset();
  EXPECT_FALSE(parser.HoldsPartialFrame());
  EXPECT_FALSE(parser.SawDamage());
  parser.Feed(bytes);
  ASSERT_TRUE(parser.Next());
}

TEST(FrameParser, TruncatedFrameFollowedByAFullOneYieldsTheFullOne) {
  const auto bytes = EncodeFrame(Sample(9, 20));
  FrameParser parser;
  parser.Feed(std::span(bytes).first(12));
  parser.Feed(bytes);
  parser.Feed(bytes);  // the cut frame swallowed part of the first copy; the second is whole
  const auto frames = Drain(parser);
  ASSERT_GE(frames.size(), 1u);
  for (const Frame& frame : frames) EXPECT_EQ(frame, Sample(9, 20));
}

}  // namespace
}  // namespace terminal::protocol
