// The stored template form, byte for byte, and its failures.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "codec/template_codec.h"
#include "platform/automation/errorinfo.h"

namespace {
constexpr LONG kMin = std::numeric_limits<LONG>::min();
constexpr LONG kMax = std::numeric_limits<LONG>::max();
constexpr std::size_t kGroups = 459;

std::vector<BYTE> Group(std::initializer_list<BYTE> bytes) { return bytes; }

// A stored form holding the all-zero template in `size` bytes, with `group` written at `index`.
std::vector<BYTE> StoredWith(std::size_t size, std::size_t index, std::vector<BYTE> group) {
  std::vector<BYTE> bytes(size, 0);
  for (std::size_t i = 0; i < kGroups && i * 5 < size; ++i) bytes[i * 5] = 1;
  for (std::size_t k = 0; k < group.size() && index * 5 + k < size; ++k) bytes[index * 5 + k] = group[k];
  return bytes;
}

FingerTemplate Sentinel() {
  FingerTemplate t;
  t.values.fill(-7);
  return t;
}

TEST(EncodeTemplate, ElementGroups) {
  struct Case {
    LONG value;
    std::vector<BYTE> group;
  } cases[] = {
      {0, {0x01, 0x00, 0x00, 0x00, 0x00}},
      {300, {0x01, 0x00, 0x00, 0x01, 0x2C}},
      {-300, {0x00, 0x00, 0x00, 0x01, 0x2C}},
      {kMax, {0x01, 0x7F, 0xFF, 0xFF, 0xFF}},
      {-kMax, {0x00, 0x7F, 0xFF, 0xFF, 0xFF}},
      {-1, {0x00, 0x00, 0x00, 0x00, 0x01}},
      {0x12345678, {0x01, 0x12, 0x34, 0x56, 0x78}},
  };
  for (const auto& c : cases) {
    for (std::size_t index : {std::size_t{0}, std::size_t{200}, kGroups - 1}) {
      FingerTemplate t;
      t.values[index] = c.value;
      TemplateBlob blob;
      ASSERT_EQ(EncodeTemplate(t, &blob), S_OK) << c.value;
      EXPECT_EQ(std::vector<BYTE>(blob.begin() + index * 5, blob.begin() + index * 5 + 5), c.group)
          << "value " << c.value << " at " << index;
      EXPECT_EQ(blob[2295], 0);
    }
  }
}

TEST(EncodeTemplate, AllZeroTemplate) {
  TemplateBlob blob;
  ASSERT_EQ(EncodeTemplate(FingerTemplate{}, &blob), S_OK);
  for (std::size_t i = 0; i < kGroups; ++i)
    ASSERT_EQ(std::vector<BYTE>(blob.begin() + i * 5, blob.begin() + i * 5 + 5), Group({1, 0, 0, 0, 0})) << i;
  EXPECT_EQ(blob[2295], 0);
}

TEST(EncodeTemplate, LastElementIsNotCarried) {
  FingerTemplate t;
  t.values[459] = 777;
  TemplateBlob withLast, without;
  ASSERT_EQ(EncodeTemplate(t, &withLast), S_OK);
  ASSERT_EQ(EncodeTemplate(FingerTemplate{}, &without), S_OK);
  EXPECT_EQ(withLast, without);
}

TEST(EncodeTemplate, MostNegativeValueOverflowsAndLeavesNothing) {
  for (std::size_t index : {std::size_t{0}, std::size_t{458}}) {
    FingerTemplate t;
    t.values[0] = 5;
    t.values[index] = kMin;
    TemplateBlob blob;
    blob.fill(0xAB);
    ClearErrorInfo();
    EXPECT_EQ(EncodeTemplate(t, &blob), DISP_E_OVERFLOW);
    EXPECT_EQ(TakeErrorDescription(E_FAIL), u"溢出");
    for (BYTE b : blob) ASSERT_EQ(b, 0xAB);
  }
  // Element 459 is never read, so -2^31 there is no failure.
  FingerTemplate t;
  t.values[459] = kMin;
  TemplateBlob blob;
  EXPECT_EQ(EncodeTemplate(t, &blob), S_OK);
}

TEST(EncodeTemplate, LeavesTheSourceAsItWas) {
  FingerTemplate t;
  t.values[3] = -300;
  const FingerTemplate before = t;
  TemplateBlob blob;
  ASSERT_EQ(EncodeTemplate(t, &blob), S_OK);
  EXPECT_EQ(t.values, before.values);
}

TEST(DecodeTemplate, GroupValues) {
  struct Case {
    std::vector<BYTE> group;
    LONG value;
  } cases[] = {
      {{0x05, 0x00, 0x00, 0x00, 0x07}, 7},  // any non-zero flag is not negative
      {{0x00, 0x00, 0x00, 0x00, 0x00}, 0},
      {{0xFF, 0x00, 0x00, 0x01, 0x2C}, 300},
      {{0x00, 0x00, 0x00, 0x01, 0x2C}, -300},
      {{0x01, 0x7F, 0xFF, 0xFF, 0xFF}, kMax},
      {{0x00, 0x7F, 0xFF, 0xFF, 0xFF}, -kMax},
  };
  for (const auto& c : cases) {
    for (std::size_t index : {std::size_t{0}, std::size_t{77}, kGroups - 1}) {
      FingerTemplate t;
      auto bytes = StoredWith(2296, index, c.group);
      ASSERT_EQ(DecodeTemplate(bytes.data(), bytes.size(), &t), S_OK);
      EXPECT_EQ(t.values[index], c.value) << "at " << index;
      EXPECT_EQ(t.values[459], 0);
    }
  }
}

TEST(DecodeTemplate, MagnitudeBeyond31BitsOverflows) {
  for (BYTE high : {BYTE{0x80}, BYTE{0xC3}, BYTE{0xFF}}) {
    for (std::size_t index : {std::size_t{0}, kGroups - 1}) {
      auto bytes = StoredWith(2296, index, {0x01, high, 0x00, 0x00, 0x00});
      FingerTemplate t = Sentinel();
      ClearErrorInfo();
      EXPECT_EQ(DecodeTemplate(bytes.data(), bytes.size(), &t), DISP_E_OVERFLOW);
      EXPECT_EQ(TakeErrorDescription(E_FAIL), u"溢出");
      EXPECT_EQ(t.values, Sentinel().values);
    }
  }
}

TEST(DecodeTemplate, LengthLimits) {
  // 2295 bytes hold every group; one byte fewer cuts the last group short.
  auto exact = StoredWith(2295, 458, {0, 0, 0, 0, 9});
  FingerTemplate t;
  ASSERT_EQ(DecodeTemplate(exact.data(), exact.size(), &t), S_OK);
  EXPECT_EQ(t.values[458], -9);

  for (std::size_t size : {std::size_t{2294}, std::size_t{2290}, std::size_t{1}, std::size_t{0}}) {
    auto bytes = StoredWith(size, 0, {});
    FingerTemplate out = Sentinel();
    ClearErrorInfo();
    EXPECT_EQ(DecodeTemplate(size ? bytes.data() : nullptr, size, &out), DISP_E_BADINDEX) << size;
    EXPECT_EQ(TakeErrorDescription(E_FAIL), u"下标越界");
    EXPECT_EQ(out.values, Sentinel().values);
  }
}

TEST(DecodeTemplate, BytesFromTheLastOnAreNeverRead) {
  auto bytes = StoredWith(4000, 10, {0x01, 0x00, 0x00, 0x00, 0x2A});
  for (std::size_t i = 2295; i < bytes.size(); ++i) bytes[i] = 0xFF;
  FingerTemplate t;
  ASSERT_EQ(DecodeTemplate(bytes.data(), bytes.size(), &t), S_OK);
  EXPECT_EQ(t.values[10], 42);
  EXPECT_EQ(t.values[459], 0);
}

TEST(DecodeTemplate, ShortSequenceReportsTheFirstFailureInReadingOrder) {
  // A too-large magnitude in a group read before the sequence runs out is met first.
  auto early = StoredWith(100, 3, {0x01, 0x90, 0x00, 0x00, 0x00});
  FingerTemplate t;
  EXPECT_EQ(DecodeTemplate(early.data(), early.size(), &t), DISP_E_OVERFLOW);
  // The overflow shows at the step before the last magnitude byte is read, so a sequence ending
  // just before that byte still overflows.
  auto cut = StoredWith(3 * 5 + 4, 3, {0x01, 0x90, 0x00, 0x00});
  EXPECT_EQ(DecodeTemplate(cut.data(), cut.size(), &t), DISP_E_OVERFLOW);
  // Ending before the third magnitude byte runs out first.
  auto shorter = StoredWith(3 * 5 + 3, 3, {0x01, 0x90, 0x00});
  EXPECT_EQ(DecodeTemplate(shorter.data(), shorter.size(), &t), DISP_E_BADINDEX);
  // A bad group after the end of a short sequence is never reached.
  auto late = StoredWith(100, 30, {0x01, 0x90, 0x00, 0x00, 0x00});
  EXPECT_EQ(DecodeTemplate(late.data(), late.size(), &t), DISP_E_BADINDEX);
}

TEST(TemplateCodec, RoundTrip) {
  FingerTemplate t;
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < 460; ++i) {
    state = state * 1103515245u + 12345u;
    LONG v = static_cast<LONG>(state);
    t.values[i] = v == kMin ? kMin + 1 : v;
  }
  t.values[0] = kMax;
  t.values[1] = -kMax;
  t.values[2] = 0;
  t.values[459] = 777;
  TemplateBlob blob;
  ASSERT_EQ(EncodeTemplate(t, &blob), S_OK);
  FingerTemplate back;
  ASSERT_EQ(DecodeTemplate(blob.data(), blob.size(), &back), S_OK);
  for (std::size_t i = 0; i < 459; ++i) ASSERT_EQ(back.values[i], t.values[i]) << i;
  EXPECT_EQ(back.values[459], 0);

  // And the other way: a stored form written by encoding comes back byte for byte.
  TemplateBlob again;
  ASSERT_EQ(EncodeTemplate(back, &again), S_OK);
  EXPECT_EQ(again, blob);
}

TEST(TemplateCodec, NullOutputIsRejected) {
  TemplateBlob blob{};
  EXPECT_EQ(EncodeTemplate(FingerTemplate{}, nullptr), E_POINTER);
  EXPECT_EQ(DecodeTemplate(blob.data(), blob.size(), nullptr), E_POINTER);
  FingerTemplate t;
  EXPECT_EQ(DecodeTemplate(nullptr, 2296, &t), E_POINTER);
}
}  // namespace
