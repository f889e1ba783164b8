// BSTR, VARIANT, SAFEARRAY and error-info behaviour the rest of the system relies on.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/automation/errorinfo.h"
#include "platform/automation/message_queue.h"
#include "platform/automation/owners.h"
#include "platform/automation/runtime.h"

TEST(Bstr, KeepsByteLengthAndEmbeddedNuls) {
  const char16_t text[] = {u'a', 0, u'b'};
  Bstr s(std::u16string_view(text, 3));
  EXPECT_EQ(s.Length(), 3u);
  EXPECT_EQ(SysStringByteLen(s.Get()), 6u);
  EXPECT_EQ(s.Get()[3], 0);
  EXPECT_EQ(s.View(), std::u16string_view(text, 3));
}

TEST(Bstr, NullIsTheEmptyString) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  Bstr empty;
  EXPECT_TRUE(empty.Empty());
  EXPECT_EQ(empty.View(), u"");
}

TEST(Variant, CopyIsDeepAndClearFrees) {
  Variant a = Variant::Str(u"终端");
  Variant b = a;
  ASSERT_EQ(b.Type(), VT_BSTR);
  EXPECT_NE(a.Raw().bstrVal, b.Raw().bstrVal);
  EXPECT_EQ(std::u16string_view(b.Raw().bstrVal), u"终端");
}

TEST(Variant, CopyIndFollowsReferences) {
  LONG target = 42;
  Variant ref = Variant::RefI4(&target);
  Variant plain;
  ASSERT_EQ(VariantCopyInd(plain.Put(), ref.Ptr()), S_OK);
  EXPECT_EQ(plain.Type(), VT_I4);
  EXPECT_EQ(plain.Raw().lVal, 42);
}

TEST(SafeArray, ByteVectorCopiesAndBounds) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 4);
  ASSERT_NE(array, nullptr);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
  std::memcpy(data, "\x01\x02\x03\x04", 4);
  EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
  SafeArrayUnaccessData(array);
  Variant bytes = Variant::Array(VT_UI1, array);
  Variant copy = bytes;
  LONG upper = 0;
  ASSERT_EQ(SafeArrayGetUBound(copy.Raw().parray, 1, &upper), S_OK);
  EXPECT_EQ(upper, 3);
  EXPECT_EQ(static_cast<BYTE*>(copy.Raw().parray->pvData)[3], 4);
  EXPECT_NE(copy.Raw().parray, bytes.Raw().parray);
}

TEST(ErrorInfo, DescriptionTravelsOnTheThread) {
  HRESULT hr = RaiseError(DISP_E_OVERFLOW, u"列 npassword 溢出");
  EXPECT_EQ(TakeErrorDescription(hr), u"列 npassword 溢出");
  // Taken once: a later failure without error info gets the standard text.
  EXPECT_EQ(TakeErrorDescription(DISP_E_OVERFLOW), u"溢出");
}

TEST(MessageQueue, PumpRunsWhatWorkPostsAndNeverBlocks) {
  int ran = 0;
  PostThreadWork([&] {
    ++ran;
    PostThreadWork([&] { ++ran; });
  });
  EXPECT_EQ(PumpMessages(), 2u);
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(PumpMessages(), 0u);
}

TEST(Guid, TextRoundTrip) {
  GUID g{0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  std::u16string text = GuidToString(g);
  EXPECT_EQ(text, u"{12345678-9ABC-DEF0-0102-030405060708}");
  GUID back{};
  ASSERT_TRUE(GuidFromString(text, &back));
  EXPECT_EQ(back, g);
  EXPECT_FALSE(GuidFromString(u"{12345678-9ABC-DEF0-0102-03040506070G}", &back));
}
