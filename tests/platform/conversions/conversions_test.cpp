// The runtime's conversions: text to Integer/Long/Double/Boolean/Date, values back to text, and
// VariantChangeType over the source kinds the driver meets.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/automation/conversions.h"
#include "platform/automation/errors.h"
#include "platform/automation/owners.h"
#include "platform/automation/text.h"

namespace {

constexpr HRESULT OK = S_OK;
constexpr HRESULT MM = DISP_E_TYPEMISMATCH;
constexpr HRESULT OVF = DISP_E_OVERFLOW;

std::string Show(std::u16string_view text) { return "\"" + ToUtf8(text) + "\""; }

struct IntegerCase {
  std::u16string text;
  HRESULT i2Result;
  SHORT i2;
  HRESULT i4Result;
  LONG i4;
};

void CheckIntegers(const std::vector<IntegerCase>& cases) {
  for (const auto& c : cases) {
    SHORT i2 = 4321;
    LONG i4 = 4321;
    EXPECT_EQ(ParseI2(c.text, &i2), c.i2Result) << "Integer from " << Show(c.text);
    EXPECT_EQ(ParseI4(c.text, &i4), c.i4Result) << "Long from " << Show(c.text);
    if (c.i2Result == OK)
      EXPECT_EQ(i2, c.i2) << "Integer from " << Show(c.text);
    else
      EXPECT_EQ(i2, 4321) << "failed Integer conversion wrote a value for " << Show(c.text);
    if (c.i4Result == OK)
      EXPECT_EQ(i4, c.i4) << "Long from " << Show(c.text);
    else
      EXPECT_EQ(i4, 4321) << "failed Long conversion wrote a value for " << Show(c.text);
  }
}

TEST(IntegerText, TheRuntimeTable) {
  CheckIntegers({
      {u" 12 ", OK, 12, OK, 12},
      {u"13.5", OK, 14, OK, 14},
      {u"1,234.5", OK, 1234, OK, 1234},
      {u"&H8000", OK, -32768, OK, 32768},
      {u"&O17", OK, 15, OK, 15},
      {u"1.5e1", OK, 15, OK, 15},
      {u"(5)", OK, -5, OK, -5},
      {u"5-", OK, -5, OK, -5},
      {u"32768", OVF, 0, OK, 32768},
      {u"12a", MM, 0, MM, 0},
      {u"", MM, 0, MM, 0},
      {u"--5", MM, 0, MM, 0},
      {u"(5", MM, 0, MM, 0},
  });
}

TEST(IntegerText, RoundsHalvesToEvenOnTheExactDecimalValue) {
  CheckIntegers({
      {u"0.5", OK, 0, OK, 0},
      {u"1.5", OK, 2, OK, 2},
      {u"2.5", OK, 2, OK, 2},
      {u"3.5", OK, 4, OK, 4},
      {u"-0.5", OK, 0, OK, 0},
      {u"-1.5", OK, -2, OK, -2},
      {u"-2.5", OK, -2, OK, -2},
      {u"0.49", OK, 0, OK, 0},
      {u"0.51", OK, 1, OK, 1},
      {u"0.06", OK, 0, OK, 0},
      {u".5", OK, 0, OK, 0},
      {u"5.", OK, 5, OK, 5},
      {u"25e-1", OK, 2, OK, 2},
      {u"35E-1", OK, 4, OK, 4},
      {u"0.25e1", OK, 2, OK, 2},
      {u"150e-2", OK, 2, OK, 2},
      // A double would read these as exact halves and round them the other way.
      {u"1.4999999999999999999", OK, 1, OK, 1},
      {u"2.5000000000000000001", OK, 3, OK, 3},
      {u"-2.5000000000000000001", OK, -3, OK, -3},
      {u"0.50000000000000000000000000000000000001", OK, 1, OK, 1},
      {u"0." + std::u16string(1000, u'0') + u"5", OK, 0, OK, 0},
      {u"12345e-4", OK, 1, OK, 1},
  });
}

TEST(IntegerText, RangeAfterRounding) {
  CheckIntegers({
      {u"32767", OK, 32767, OK, 32767},
      {u"32767.49", OK, 32767, OK, 32767},
      {u"32767.5", OVF, 0, OK, 32768},
      {u"-32768", OK, -32768, OK, -32768},
      {u"-32768.5", OK, -32768, OK, -32768},
      {u"-32768.51", OVF, 0, OK, -32769},
      {u"-32769", OVF, 0, OK, -32769},
      {u"1,234,567", OVF, 0, OK, 1234567},
      {u"2147483647", OVF, 0, OK, 2147483647},
      {u"2147483647.5", OVF, 0, OVF, 0},
      {u"2147483648", OVF, 0, OVF, 0},
      {u"-2147483648", OVF, 0, OK, -2147483647 - 1},
      {u"-2147483648.5", OVF, 0, OK, -2147483647 - 1},
      {u"-2147483649", OVF, 0, OVF, 0},
      {u"4294967296", OVF, 0, OVF, 0},
      {u"99999999999", OVF, 0, OVF, 0},
      {std::u16string(1000, u'9'), OVF, 0, OVF, 0},
      {u"0000000000000000000000012", OK, 12, OK, 12},
      {u"1e4", OK, 10000, OK, 10000},
      {u"1e5", OVF, 0, OK, 100000},
      {u"1e400", OVF, 0, OVF, 0},
      {u"1e-400", OK, 0, OK, 0},
      {u"-1e-400", OK, 0, OK, 0},
      {u"0e999999999", OK, 0, OK, 0},
      {u"1e99999999999999999999999999999999", OVF, 0, OVF, 0},
      {u"1e-99999999999999999999999999999999", OK, 0, OK, 0},
  });
}

TEST(IntegerText, RadixFormsAreBitPatternsOfTheTargetWidth) {
  CheckIntegers({
      {u"&HFFFF", OK, -1, OK, 65535},
      {u"&hffff", OK, -1, OK, 65535},
      {u"&H7FFF", OK, 32767, OK, 32767},
      {u"&H10000", OVF, 0, OK, 65536},
      {u"&HFFFFFFFF", OVF, 0, OK, -1},
      {u"&H80000000", OVF, 0, OK, -2147483647 - 1},
      {u"&H100000000", OVF, 0, OVF, 0},
      {u"&HFFFFFFFFFFFFFFFFFFFF", OVF, 0, OVF, 0},
      {u"&H00000000000000000000001", OK, 1, OK, 1},
      {u"&O177777", OK, -1, OK, 65535},
      {u"&o10", OK, 8, OK, 8},
      {u" &H10 ", OK, 16, OK, 16},
      {u"&O8", MM, 0, MM, 0},
      {u"&O19", MM, 0, MM, 0},
      {u"&H", MM, 0, MM, 0},
      {u"&HG", MM, 0, MM, 0},
      {u"&X1", MM, 0, MM, 0},
      {u"& H1", MM, 0, MM, 0},
      {u"&H 1", MM, 0, MM, 0},
      {u"-&H1", MM, 0, MM, 0},
      {u"&H1.5", MM, 0, MM, 0},
      {u"&", MM, 0, MM, 0},
  });
}

TEST(IntegerText, SignsParenthesesAndWhiteSpace) {
  CheckIntegers({
      {u"+5", OK, 5, OK, 5},
      {u"-5", OK, -5, OK, -5},
      {u"- 5", OK, -5, OK, -5},
      {u"5 -", OK, -5, OK, -5},
      {u"5+", OK, 5, OK, 5},
      {u"5- ", OK, -5, OK, -5},
      {u"( 5 )", OK, -5, OK, -5},
      {u"(1.5)", OK, -2, OK, -2},
      {u"\t\r\n 7 \u00A0", OK, 7, OK, 7},
      {u"-5-", MM, 0, MM, 0},
      {u"+5-", MM, 0, MM, 0},
      {u"-(5)", MM, 0, MM, 0},
      {u"(-5)", MM, 0, MM, 0},
      {u"(5-)", MM, 0, MM, 0},
      {u"(5)-", MM, 0, MM, 0},
      {u"()", MM, 0, MM, 0},
      {u"(5))", MM, 0, MM, 0},
      {u"5)", MM, 0, MM, 0},
      {u"\u3000" u"7", MM, 0, MM, 0},
      {u"\v7", MM, 0, MM, 0},
  });
}

TEST(IntegerText, SeparatorsFractionsAndExponents) {
  CheckIntegers({
      {u"1,,2", OK, 12, OK, 12},
      {u"1,", OK, 1, OK, 1},
      {u"12,34,5", OK, 12345, OK, 12345},
      {u",5", MM, 0, MM, 0},
      {u"-,5", MM, 0, MM, 0},
      {u".,5", MM, 0, MM, 0},
      {u"1.2,3", MM, 0, MM, 0},
      {u"1.2.3", MM, 0, MM, 0},
      {u".", MM, 0, MM, 0},
      {u"-.", MM, 0, MM, 0},
      {u"+", MM, 0, MM, 0},
      {u"-", MM, 0, MM, 0},
      {u"   ", MM, 0, MM, 0},
      {u"1E2", OK, 100, OK, 100},
      {u"1e+2", OK, 100, OK, 100},
      {u"5.e2", OK, 500, OK, 500},
      {u"1e", MM, 0, MM, 0},
      {u"1e+", MM, 0, MM, 0},
      {u"e5", MM, 0, MM, 0},
      {u".e5", MM, 0, MM, 0},
      {u"1e2.5", MM, 0, MM, 0},
      {u"1d2", MM, 0, MM, 0},
  });
}

TEST(IntegerText, LeftoversAndForeignCharactersAreMismatches) {
  const char16_t nulInside[] = {u'1', 0, u'2'};
  const char16_t nulAfter[] = {u'1', u'2', 0};
  const char16_t loneHigh[] = {0xD800, u'1', u'2'};
  const char16_t loneLow[] = {u'1', u'2', 0xDC00};
  CheckIntegers({
      {u"1 2", MM, 0, MM, 0},
      {u"12 a", MM, 0, MM, 0},
      {u"0x10", MM, 0, MM, 0},
      {u"１２", MM, 0, MM, 0},
      {u"12０", MM, 0, MM, 0},
      {u"五", MM, 0, MM, 0},
      {std::u16string(nulInside, 3), MM, 0, MM, 0},
      {std::u16string(nulAfter, 3), MM, 0, MM, 0},
      {std::u16string(1, u'\0'), MM, 0, MM, 0},
      {std::u16string(loneHigh, 3), MM, 0, MM, 0},
      {std::u16string(loneLow, 3), MM, 0, MM, 0},
  });
}

TEST(IntegerText, StandardEntryPointsStopAtTheTerminator) {
  SHORT i2 = 0;
  LONG i4 = 0;
  EXPECT_EQ(VarI2FromStr(u" 13.5 ", LOCALE_ZH_CN, 0, &i2), S_OK);
  EXPECT_EQ(i2, 14);
  EXPECT_EQ(VarI4FromStr(u"&HFFFF", LOCALE_ZH_CN, 0, &i4), S_OK);
  EXPECT_EQ(i4, 65535);
  EXPECT_EQ(VarI4FromStr(nullptr, LOCALE_ZH_CN, 0, &i4), MM);  // a null text is the empty text
  EXPECT_EQ(VarI4FromStr(u"1", LOCALE_ZH_CN, 0, nullptr), E_POINTER);
  EXPECT_EQ(ParseI2(u"1", nullptr), E_POINTER);
}

TEST(IntegerText, FailureTextsAreTheRuntimes) {
  EXPECT_EQ(DescribeError(OVF), u"溢出");
  EXPECT_EQ(DescribeError(MM), u"类型不匹配");
  EXPECT_EQ(DescribeError(CTL_E_INVALIDUSEOFNULL), u"无效使用 Null");
}

TEST(BooleanText, WordsAndNumbers) {
  struct Case {
    std::u16string text;
    HRESULT result;
    VARIANT_BOOL value;
  };
  const Case cases[] = {
      {u"True", OK, VARIANT_TRUE},
      {u"TRUE", OK, VARIANT_TRUE},
      {u"tRuE", OK, VARIANT_TRUE},
      {u" true ", OK, VARIANT_TRUE},
      {u"False", OK, VARIANT_FALSE},
      {u"FALSE", OK, VARIANT_FALSE},
      {u"#TRUE#", OK, VARIANT_TRUE},
      {u"#FALSE#", OK, VARIANT_FALSE},
      {u"#true#", MM, 0},
      {u"#False#", MM, 0},
      {u"yes", MM, 0},
      {u"on", MM, 0},
      {u"Truth", MM, 0},
      {u"1", OK, VARIANT_TRUE},
      {u"-1", OK, VARIANT_TRUE},
      {u"2", OK, VARIANT_TRUE},
      {u"0", OK, VARIANT_FALSE},
      {u"0.0", OK, VARIANT_FALSE},
      {u"-0", OK, VARIANT_FALSE},
      {u"0.4", OK, VARIANT_TRUE},  // no rounding: any non-zero value is True
      {u"1e-400", OK, VARIANT_TRUE},
      {u"(0)", OK, VARIANT_FALSE},
      {u"1,000", OK, VARIANT_TRUE},
      {u"&H0", OK, VARIANT_FALSE},
      {u"&H1", OK, VARIANT_TRUE},
      {u"&H100000000", OVF, 0},
      {u"", MM, 0},
      {u"2 a", MM, 0},
      {std::u16string(u"True\0", 5), MM, 0},
  };
  for (const auto& c : cases) {
    VARIANT_BOOL value = 7;
    EXPECT_EQ(ParseBool(c.text, &value), c.result) << Show(c.text);
    EXPECT_EQ(value, c.result == OK ? c.value : 7) << Show(c.text);
  }
  VARIANT_BOOL value = 0;
  EXPECT_EQ(VarBoolFromStr(u"false", LOCALE_ZH_CN, 0, &value), S_OK);
  EXPECT_EQ(value, VARIANT_FALSE);
}

TEST(DoubleText, ReadsTheNumberRulesWithoutRounding) {
  struct Case {
    std::u16string text;
    HRESULT result;
    double value;
  };
  const Case cases[] = {
      {u"1.5", OK, 1.5},
      {u" 1,234.5 ", OK, 1234.5},
      {u"(2.5)", OK, -2.5},
      {u"2.5-", OK, -2.5},
      {u"0.1", OK, 0.1},
      {u"1E-05", OK, 1e-5},
      {u"1.5E+20", OK, 1.5e20},
      {u"1.7976931348623157e308", OK, 1.7976931348623157e308},
      {u"4.9e-324", OK, 4.9e-324},
      {u"1" + std::u16string(900, u'0') + u"e-900", OK, 1.0},
      {u"&HFFFF", OK, 65535.0},
      {u"&HFFFFFFFF", OK, -1.0},
      {u"1.7976931348623159e308", OVF, 0},
      {u"1e400", OVF, 0},
      {u"1e-400", OK, 0.0},
      {u"12a", MM, 0},
      {u"", MM, 0},
  };
  for (const auto& c : cases) {
    double value = 7;
    EXPECT_EQ(ParseR8(c.text, &value), c.result) << Show(c.text);
    EXPECT_EQ(value, c.result == OK ? c.value : 7) << Show(c.text);
  }
}

TEST(DoubleText, WritesTheShortestTextThatReadsBack) {
  struct Case {
    double value;
    const char16_t* text;
  };
  const Case cases[] = {
      {1.5, u"1.5"},
      {100, u"100"},
      {0, u"0"},
      {-0.0, u"0"},
      {-2.5, u"-2.5"},
      {0.1, u"0.1"},
      {0.1 + 0.2, u"0.30000000000000004"},
      {0.0001, u"0.0001"},
      {0.00001, u"1E-05"},
      {123456789012345.0, u"123456789012345"},
      {1e15, u"1E+15"},
      {1.5e20, u"1.5E+20"},
      {1.7976931348623157e308, u"1.7976931348623157E+308"},
      {-1.25e-100, u"-1.25E-100"},
  };
  for (const auto& c : cases) {
    Bstr text;
    ASSERT_EQ(VarBstrFromR8(c.value, LOCALE_ZH_CN, 0, text.Put()), S_OK);
    EXPECT_EQ(text.View(), c.text) << c.value;
    double back = 0;
    ASSERT_EQ(ParseR8(text.View(), &back), S_OK) << ToUtf8(text.View());
    EXPECT_EQ(back, c.value == 0 ? 0.0 : c.value);
  }
  Bstr text;
  EXPECT_EQ(VarBstrFromR8(std::numeric_limits<double>::quiet_NaN(), 0, 0, text.Put()), OVF);
  EXPECT_EQ(VarBstrFromR8(std::numeric_limits<double>::infinity(), 0, 0, text.Put()), OVF);
}

TEST(NumberText, IntegersAndBooleans) {
  Bstr text;
  ASSERT_EQ(VarBstrFromI2(-32768, 0, 0, text.Put()), S_OK);
  EXPECT_EQ(text.View(), u"-32768");
  ASSERT_EQ(VarBstrFromI4(2147483647, 0, 0, text.Put()), S_OK);
  EXPECT_EQ(text.View(), u"2147483647");
  ASSERT_EQ(VarBstrFromBool(VARIANT_TRUE, 0, 0, text.Put()), S_OK);
  EXPECT_EQ(text.View(), u"True");
  ASSERT_EQ(VarBstrFromBool(VARIANT_FALSE, 0, 0, text.Put()), S_OK);
  EXPECT_EQ(text.View(), u"False");
  EXPECT_EQ(VarBstrFromI4(1, 0, 0, nullptr), E_POINTER);
}

// ---------------------------------------------------------------------------------------------
// Dates

constexpr double kSecond = 1.0 / 86400.0;

struct DateCase {
  std::u16string text;
  HRESULT result;
  double value;
};

void CheckDates(const std::vector<DateCase>& cases) {
  for (const auto& c : cases) {
    DATE value = 12345.0;
    EXPECT_EQ(ParseDate(c.text, &value), c.result) << Show(c.text);
    if (c.result == OK)
      EXPECT_NEAR(value, c.value, 1e-9) << Show(c.text);
    else
      EXPECT_EQ(value, 12345.0) << "failed date conversion wrote a value for " << Show(c.text);
  }
}

TEST(DateText, ReadsYearMonthDayHourMinute) {
  CheckDates({
      {u"2026/11/6 9:5", OK, 46332 + 32700 * kSecond},
      {u"2026/11/6 09:05", OK, 46332 + 32700 * kSecond},
      {u"2026/011/06 09:05", OK, 46332 + 32700 * kSecond},
      {u"2026/11/6 0:7", OK, 46332 + 420 * kSecond},
      {u"2026/11/6 9:05:30", OK, 46332 + 32730 * kSecond},
      {u"2026/11/6 23:59:59", OK, 46332 + 86399 * kSecond},
      {u"2026/11/6", OK, 46332},
      {u" 2026/11/6  9:5 ", OK, 46332 + 32700 * kSecond},
      {u"1899/12/30", OK, 0},
      {u"1899/12/30 6:0", OK, 0.25},
      {u"1899/12/31", OK, 1},
      {u"1900/1/1", OK, 2},
      {u"100/1/1", OK, -657434},
      {u"9999/12/31 23:59:59", OK, 2958465 + 86399 * kSecond},
  });
  DATE value = 0;
  ASSERT_EQ(VarDateFromStr(u"2026/11/6 9:5", LOCALE_ZH_CN, 0, &value), S_OK);
  EXPECT_NEAR(value, 46332.378472222, 1e-9);
}

TEST(DateText, BeforeTheEpochTheTimeCarriesTheDatesSign) {
  CheckDates({
      {u"1899/12/29 6:0", OK, -1.25},
      {u"1899/12/29", OK, -1},
      {u"1899/12/28 18:00", OK, -2.75},
      {u"1800/1/1 12:00", OK, -36522.5},
  });
}

TEST(DateText, LeapYearsOfTheGregorianCalendar) {
  CheckDates({
      {u"2000/2/29", OK, 36585},
      {u"2024/2/29", OK, 45351},
      {u"1900/2/28", OK, 60},
      {u"1900/3/1", OK, 61},
      {u"1600/2/29", OK, -109512},
      {u"1900/2/29", MM, 0},
      {u"2100/2/29", MM, 0},
      {u"2023/2/29", MM, 0},
      {u"2024/2/30", MM, 0},
  });
}

TEST(DateText, TwoDigitYearsReadThroughTheWindow1930To2029) {
  CheckDates({
      {u"0/1/1", OK, 36526},          // 2000
      {u"5/11/6 9:5", OK, 38662 + 32700 * kSecond},  // 2005
      {u"29/12/31", OK, 47483},       // 2029
      {u"30/1/1", OK, 10959},         // 1930
      {u"99/12/31", OK, 36525},       // 1999
      {u"0024/2/29", OK, 45351},      // 2024: the value counts, not the number of digits
      {u"100/1/1", OK, -657434},      // no window from 100 on
  });
}

TEST(DateText, InvalidFieldsAreMismatchesAndNeverReadInAnotherOrder) {
  CheckDates({
      {u"2026/11/32", MM, 0},
      {u"2026/11/31", MM, 0},
      {u"2026/4/31", MM, 0},
      {u"2026/13/1", MM, 0},
      {u"2026/13/12", MM, 0},  // not read as 12 January
      {u"2026/0/1", MM, 0},
      {u"2026/1/0", MM, 0},
      {u"2026/11/6 24:0", MM, 0},
      {u"2026/11/6 23:60", MM, 0},
      {u"2026/11/6 9:5:60", MM, 0},
      {u"10000/1/1", MM, 0},
      {u"99999999999999999999999/1/1", MM, 0},
      {u"2026/11/6 99999999999999999999:0", MM, 0},
      {u"-1/1/1", MM, 0},
      {u"2026/-1/1", MM, 0},
      {u"2026/11/-6", MM, 0},
      {u"2026/11/6 -1:5", MM, 0},
      {u"2026/11/6 9:-5", MM, 0},
      {u"+2026/11/6", MM, 0},
      {u"11/6/2026", MM, 0},
  });
}

TEST(DateText, OtherShapesAreMismatches) {
  const char16_t nulInside[] = {u'2', u'0', u'2', u'6', u'/', u'1', 0, u'/', u'6'};
  CheckDates({
      {u"", MM, 0},
      {u"   ", MM, 0},
      {u"2026", MM, 0},
      {u"2026/11", MM, 0},
      {u"2026//6", MM, 0},
      {u"2026/11/", MM, 0},
      {u"2026-11-6", MM, 0},
      {u"2026/11/6 9", MM, 0},
      {u"2026/11/6 9:", MM, 0},
      {u"2026/11/6 :5", MM, 0},
      {u"2026/11/6 9:5:", MM, 0},
      {u"2026/11/6 9:5:0:0", MM, 0},
      {u"2026/11/6 9:5 PM", MM, 0},
      {u"2026/11/6 9:5 x", MM, 0},
      {u"2026/11/69:5", MM, 0},
      {u"9:05", MM, 0},
      {u"２０２６/11/6", MM, 0},
      {std::u16string(nulInside, 9), MM, 0},
      {std::u16string(u"2026/11/6 9:5\0", 14), MM, 0},
  });
}

TEST(DateParts, SameRulesAsTheText) {
  DATE value = 0;
  ASSERT_EQ(DateFromParts(2026, 11, 6, 9, 5, 0, &value), S_OK);
  EXPECT_NEAR(value, 46332 + 32700 * kSecond, 1e-9);
  ASSERT_EQ(DateFromParts(29, 1, 1, 0, 0, 0, &value), S_OK);
  EXPECT_EQ(value, 47119);  // 2029
  ASSERT_EQ(DateFromParts(1899, 12, 29, 6, 0, 0, &value), S_OK);
  EXPECT_EQ(value, -1.25);
  value = 5;
  EXPECT_EQ(DateFromParts(-1, 1, 1, 0, 0, 0, &value), MM);
  EXPECT_EQ(DateFromParts(2026, 2, 29, 0, 0, 0, &value), MM);
  EXPECT_EQ(DateFromParts(2026, 1, 1, 0, 0, -1, &value), MM);
  EXPECT_EQ(DateFromParts(10000, 1, 1, 0, 0, 0, &value), MM);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(DateFromParts(2026, 1, 1, 0, 0, 0, nullptr), E_POINTER);
}

TEST(DateText, WrittenTextReadsBack) {
  struct Case {
    double value;
    const char16_t* text;
  };
  const Case cases[] = {
      {46332 + 32700 * kSecond, u"2026/11/6 9:05:00"},
      {46332, u"2026/11/6"},
      {0, u"1899/12/30"},
      {0.25, u"1899/12/30 6:00:00"},
      {-1.25, u"1899/12/29 6:00:00"},
      {-657434, u"100/1/1"},
      {2958465 + 86399 * kSecond, u"9999/12/31 23:59:59"},
      {45351 + 0.9999999999, u"2024/3/1"},  // rounded to the second
  };
  for (const auto& c : cases) {
    Bstr text;
    ASSERT_EQ(VarBstrFromDate(c.value, LOCALE_ZH_CN, 0, text.Put()), S_OK) << c.value;
    EXPECT_EQ(text.View(), c.text);
    DATE back = 0;
    ASSERT_EQ(ParseDate(text.View(), &back), S_OK) << ToUtf8(text.View());
    EXPECT_NEAR(back, c.value, kSecond / 2);
  }
  Bstr text;
  EXPECT_EQ(VarBstrFromDate(-657435, 0, 0, text.Put()), OVF);
  EXPECT_EQ(VarBstrFromDate(2958466, 0, 0, text.Put()), OVF);
  EXPECT_EQ(VarBstrFromDate(std::numeric_limits<double>::quiet_NaN(), 0, 0, text.Put()), OVF);
}

// ---------------------------------------------------------------------------------------------
// VariantChangeType

// An object that counts every call made on it.
struct CountingObject : IDispatch {
  int calls = 0;
  HRESULT QueryInterface(REFIID, void**) override { return ++calls, E_NOINTERFACE; }
  ULONG AddRef() override { return ++calls, 1; }
  ULONG Release() override { return ++calls, 1; }
  HRESULT GetTypeInfoCount(UINT*) override { return ++calls, E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return ++calls, E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return ++calls, E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return ++calls, E_NOTIMPL;
  }
};

// Converts and checks that a failure left the destination as it was.
HRESULT Change(Variant& out, const Variant& in, VARTYPE vt, USHORT flags = 0) {
  Variant before = Variant::Str(u"untouched");
  out = before;
  HRESULT hr = VariantChangeType(out.Ptr(), in.Ptr(), flags, vt);
  if (FAILED(hr)) {
    EXPECT_EQ(out.Type(), VT_BSTR);
    EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"untouched");
  }
  return hr;
}

TEST(ChangeType, EmptyIsZeroFalseAndTheEmptyText) {
  Variant out;
  Variant empty;
  ASSERT_EQ(Change(out, empty, VT_I2), S_OK);
  EXPECT_EQ(out.Type(), VT_I2);
  EXPECT_EQ(out.Raw().iVal, 0);
  ASSERT_EQ(Change(out, empty, VT_BOOL), S_OK);
  EXPECT_EQ(out.Raw().boolVal, VARIANT_FALSE);
  ASSERT_EQ(Change(out, empty, VT_BSTR), S_OK);
  EXPECT_EQ(out.Type(), VT_BSTR);
  EXPECT_EQ(SysStringLen(out.Raw().bstrVal), 0u);
  ASSERT_EQ(Change(out, empty, VT_DATE), S_OK);
  EXPECT_EQ(out.Raw().date, 0.0);
}

TEST(ChangeType, NullObjectsAndErrorsFail) {
  Variant out;
  for (VARTYPE vt : {VT_I2, VT_I4, VT_UI1, VT_R8, VT_BOOL, VT_DATE, VT_BSTR})
    EXPECT_EQ(Change(out, Variant::Null(), vt), CTL_E_INVALIDUSEOFNULL) << vt;
  CountingObject object;
  VARIANT raw;
  VariantInit(&raw);
  raw.vt = VT_DISPATCH;
  raw.pdispVal = &object;
  for (VARTYPE vt : {VT_I2, VT_I4, VT_UI1, VT_R8, VT_BOOL, VT_DATE, VT_BSTR}) {
    EXPECT_EQ(VariantChangeType(out.Put(), &raw, 0, vt), MM) << vt;
    EXPECT_EQ(out.Type(), VT_EMPTY);
  }
  raw.vt = VT_UNKNOWN;
  EXPECT_EQ(VariantChangeType(out.Put(), &raw, 0, VT_I4), MM);
  EXPECT_EQ(object.calls, 0) << "a conversion called the object";
  EXPECT_EQ(Change(out, Variant::Error(DISP_E_PARAMNOTFOUND), VT_I4), MM);
  EXPECT_EQ(Change(out, Variant::Error(DISP_E_PARAMNOTFOUND), VT_BSTR), MM);
}

TEST(ChangeType, NumbersConvertByValue) {
  struct Case {
    Variant in;
    VARTYPE vt;
    HRESULT result;
    LONG value;
  };
  const Case cases[] = {
      {Variant::I4(70000), VT_I2, OVF, 0},
      {Variant::I4(-32768), VT_I2, OK, -32768},
      {Variant::I2(-1), VT_UI1, OVF, 0},
      {Variant::I2(255), VT_UI1, OK, 255},
      {Variant::UI1(200), VT_I2, OK, 200},
      {Variant::R8(2.5), VT_I2, OK, 2},
      {Variant::R8(3.5), VT_I4, OK, 4},
      {Variant::R8(-2.5), VT_I4, OK, -2},
      {Variant::R8(0.49999999999999994), VT_I4, OK, 0},
      {Variant::R8(32767.5), VT_I2, OVF, 0},
      {Variant::R8(-32768.5), VT_I2, OK, -32768},
      {Variant::R8(2147483647.5), VT_I4, OVF, 0},
      {Variant::R8(255.5), VT_UI1, OVF, 0},
      {Variant::R8(254.5), VT_UI1, OK, 254},
      {Variant::R8(std::numeric_limits<double>::quiet_NaN()), VT_I4, OVF, 0},
      {Variant::R8(std::numeric_limits<double>::infinity()), VT_I2, OVF, 0},
      {Variant::R8(-std::numeric_limits<double>::infinity()), VT_I4, OVF, 0},
      {Variant::Date(46332.5), VT_I4, OK, 46332},
      {Variant::Bool(true), VT_I2, OK, -1},
      {Variant::Bool(true), VT_I4, OK, -1},
      {Variant::Bool(false), VT_I4, OK, 0},
      {Variant::Bool(true), VT_UI1, OVF, 0},
      {Variant::Str(u" 12 "), VT_I2, OK, 12},
      {Variant::Str(u"&HFF"), VT_UI1, OK, 255},
      {Variant::Str(u"256"), VT_UI1, OVF, 0},
      {Variant::Str(u"&HFFFF"), VT_I2, OK, -1},
      {Variant::Str(u"(5)"), VT_I4, OK, -5},
      {Variant::Str(u"12a"), VT_I4, MM, 0},
      {Variant::Str(std::u16string(u"1\0" u"2", 3)), VT_I4, MM, 0},
      {Variant::Str(u""), VT_I4, MM, 0},
  };
  for (const auto& c : cases) {
    Variant out;
    HRESULT hr = Change(out, c.in, c.vt);
    SCOPED_TRACE(testing::Message() << "source type " << c.in.Type() << " to " << c.vt);
    ASSERT_EQ(hr, c.result);
    if (hr != OK) continue;
    ASSERT_EQ(out.Type(), c.vt);
    LONG got = c.vt == VT_I2 ? out.Raw().iVal : c.vt == VT_UI1 ? out.Raw().bVal : out.Raw().lVal;
    EXPECT_EQ(got, c.value);
  }
}

TEST(ChangeType, Booleans) {
  Variant out;
  ASSERT_EQ(Change(out, Variant::I4(2), VT_BOOL), S_OK);
  EXPECT_EQ(out.Raw().boolVal, VARIANT_TRUE);
  ASSERT_EQ(Change(out, Variant::R8(0.4), VT_BOOL), S_OK);
  EXPECT_EQ(out.Raw().boolVal, VARIANT_TRUE);
  ASSERT_EQ(Change(out, Variant::I2(0), VT_BOOL), S_OK);
  EXPECT_EQ(out.Raw().boolVal, VARIANT_FALSE);
  ASSERT_EQ(Change(out, Variant::Str(u"tRUE"), VT_BOOL), S_OK);
  EXPECT_EQ(out.Raw().boolVal, VARIANT_TRUE);
  ASSERT_EQ(Change(out, Variant::Str(u"0"), VT_BOOL), S_OK);
  EXPECT_EQ(out.Raw().boolVal, VARIANT_FALSE);
  EXPECT_EQ(Change(out, Variant::Str(u"yes"), VT_BOOL), MM);
  // Text from a Boolean: words with VARIANT_ALPHABOOL, the numbers otherwise.
  ASSERT_EQ(Change(out, Variant::Bool(true), VT_BSTR, VARIANT_ALPHABOOL), S_OK);
  EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"True");
  ASSERT_EQ(Change(out, Variant::Bool(false), VT_BSTR, VARIANT_ALPHABOOL), S_OK);
  EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"False");
  ASSERT_EQ(Change(out, Variant::Bool(true), VT_BSTR), S_OK);
  EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"-1");
}

TEST(ChangeType, TextsAndDates) {
  Variant out;
  ASSERT_EQ(Change(out, Variant::I2(-5), VT_BSTR), S_OK);
  EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"-5");
  ASSERT_EQ(Change(out, Variant::R8(1.5), VT_BSTR), S_OK);
  EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"1.5");
  ASSERT_EQ(Change(out, Variant::UI1(7), VT_BSTR), S_OK);
  EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"7");
  ASSERT_EQ(Change(out, Variant::Date(46332 + 32700 * kSecond), VT_BSTR), S_OK);
  EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"2026/11/6 9:05:00");
  ASSERT_EQ(Change(out, Variant::Str(u"2026/11/6 9:5"), VT_DATE), S_OK);
  EXPECT_EQ(out.Type(), VT_DATE);
  EXPECT_NEAR(out.Raw().date, 46332 + 32700 * kSecond, 1e-9);
  EXPECT_EQ(Change(out, Variant::Str(u"2026/11/32 9:5"), VT_DATE), MM);
  ASSERT_EQ(Change(out, Variant::R8(-1.25), VT_DATE), S_OK);
  EXPECT_EQ(out.Raw().date, -1.25);
  EXPECT_EQ(Change(out, Variant::R8(3e6), VT_DATE), OVF);
  EXPECT_EQ(Change(out, Variant::R8(std::numeric_limits<double>::quiet_NaN()), VT_DATE), OVF);
  ASSERT_EQ(Change(out, Variant::Str(u"1,234.5"), VT_R8), S_OK);
  EXPECT_EQ(out.Raw().dblVal, 1234.5);
  ASSERT_EQ(Change(out, Variant::Date(1.5), VT_R8), S_OK);
  EXPECT_EQ(out.Raw().dblVal, 1.5);
  ASSERT_EQ(Change(out, Variant::Str(u"文本"), VT_BSTR), S_OK);
  EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"文本");
}

TEST(ChangeType, ByReferenceSources) {
  Variant out;
  LONG target = 70000;
  ASSERT_EQ(Change(out, Variant::RefI4(&target), VT_I4), S_OK);
  EXPECT_EQ(out.Type(), VT_I4);
  EXPECT_EQ(out.Raw().lVal, 70000);
  EXPECT_EQ(Change(out, Variant::RefI4(&target), VT_I2), OVF);

  Bstr text(u"&H8000");
  BSTR raw = text.Get();
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &raw;
  ASSERT_EQ(VariantChangeType(out.Put(), &ref, 0, VT_I2), S_OK);
  EXPECT_EQ(out.Raw().iVal, -32768);
  ASSERT_EQ(VariantChangeType(out.Put(), &ref, 0, VT_BSTR), S_OK);
  EXPECT_NE(out.Raw().bstrVal, raw) << "a copy, not the referenced string";
  EXPECT_EQ(Bstr::Copy(out.Raw().bstrVal).View(), u"&H8000");

  Variant inner = Variant::Str(u"32767");
  ASSERT_EQ(Change(out, Variant::RefVariant(inner.Ptr()), VT_I2), S_OK);
  EXPECT_EQ(out.Raw().iVal, 32767);
  EXPECT_EQ(inner.Type(), VT_BSTR);

  VARIANT dangling;
  VariantInit(&dangling);
  dangling.vt = VT_BYREF | VT_I4;
  dangling.plVal = nullptr;
  EXPECT_EQ(VariantChangeType(out.Put(), &dangling, 0, VT_I4), E_INVALIDARG);
}

TEST(ChangeType, InPlaceConversionReplacesOrKeepsTheValue) {
  Variant value = Variant::Str(u"42");
  ASSERT_EQ(VariantChangeType(value.Ptr(), value.Ptr(), 0, VT_I4), S_OK);
  EXPECT_EQ(value.Type(), VT_I4);
  EXPECT_EQ(value.Raw().lVal, 42);
  ASSERT_EQ(VariantChangeType(value.Ptr(), value.Ptr(), 0, VT_BSTR), S_OK);
  EXPECT_EQ(Bstr::Copy(value.Raw().bstrVal).View(), u"42");

  Variant bad = Variant::Str(u"x");
  EXPECT_EQ(VariantChangeType(bad.Ptr(), bad.Ptr(), 0, VT_I4), MM);
  ASSERT_EQ(bad.Type(), VT_BSTR);
  EXPECT_EQ(Bstr::Copy(bad.Raw().bstrVal).View(), u"x");

  // The destination is the variant a by-reference source points to.
  Variant target = Variant::Str(u"7");
  Variant ref = Variant::RefVariant(target.Ptr());
  ASSERT_EQ(VariantChangeType(target.Ptr(), ref.Ptr(), 0, VT_I2), S_OK);
  EXPECT_EQ(target.Type(), VT_I2);
  EXPECT_EQ(target.Raw().iVal, 7);
}

TEST(ChangeType, MisuseIsRefused) {
  Variant out;
  Variant in = Variant::I4(1);
  EXPECT_EQ(VariantChangeType(nullptr, in.Ptr(), 0, VT_I2), E_INVALIDARG);
  EXPECT_EQ(VariantChangeType(out.Ptr(), nullptr, 0, VT_I2), E_INVALIDARG);
  EXPECT_EQ(VariantChangeType(out.Ptr(), in.Ptr(), 0, 0x0FFF), DISP_E_BADVARTYPE);
  VARIANT bogus;
  VariantInit(&bogus);
  bogus.vt = 0x0FFE;
  EXPECT_EQ(VariantChangeType(out.Ptr(), &bogus, 0, VT_I4), DISP_E_BADVARTYPE);
  EXPECT_EQ(out.Type(), VT_EMPTY);
}

}  // namespace
