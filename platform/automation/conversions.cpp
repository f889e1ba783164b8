// Conversions of the classic automation runtime: text and variants to Integer, Long, Byte,
// Double, Boolean and Date, and numbers, Booleans and dates back to text.
//
// Text to number is read in two steps: a scan that checks the syntax and notes where the digits
// are, then an evaluation on the exact decimal value (no double in between), so that rounding
// halves to even and the range check never depend on binary rounding. Nothing is allocated on
// the way, whatever the text.
#include "platform/automation/conversions.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

using std::int64_t;
using std::uint64_t;

// ---------------------------------------------------------------------------------------------
// Text to number

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == 0x00A0; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int RadixDigit(char16_t c, int base) {
  int value;
  if (c >= u'0' && c <= u'9')
    value = c - u'0';
  else if (c >= u'a' && c <= u'f')
    value = c - u'a' + 10;
  else if (c >= u'A' && c <= u'F')
    value = c - u'A' + 10;
  else
    return -1;
  return value < base ? value : -1;
}

// Exponents and point positions are kept far inside int64 whatever the text holds.
constexpr int64_t kExponentCap = 1'000'000'000'000'000;

// What the scan found. For a decimal number the value is 0.S × 10^point, where S is the
// significant digit sequence (the digits of the mantissa without leading zeros).
struct Number {
  bool negative = false;
  bool radix = false;
  // Radix form: the unsigned bit pattern; `wide` when it does not fit in 64 bits.
  uint64_t bits = 0;
  bool wide = false;
  // Decimal form: the mantissa text [begin, end) (digits, ',' and '.'), the index of the
  // first significant digit, the number of significant digits and the point position.
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t first = 0;
  int64_t significant = 0;
  int64_t point = 0;
  bool zero() const { return radix ? bits == 0 && !wide : significant == 0; }
};

// Reads `text` by the runtime's number rules. Only the syntax is checked here.
HRESULT ScanNumber(std::u16string_view text, Number* number) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n && IsBlank(text[i])) ++i;
  if (i == n) return DISP_E_TYPEMISMATCH;

  if (text[i] == u'&') {
    // &H / &O: an unsigned bit pattern, no sign, no fraction.
    ++i;
    if (i == n) return DISP_E_TYPEMISMATCH;
    int base;
    if (text[i] == u'H' || text[i] == u'h')
      base = 16;
    else if (text[i] == u'O' || text[i] == u'o')
      base = 8;
    else
      return DISP_E_TYPEMISMATCH;
    ++i;
    std::size_t digits = 0;
    for (; i < n; ++i, ++digits) {
      int d = RadixDigit(text[i], base);
      if (d < 0) break;
      if (number->bits > (std::numeric_limits<uint64_t>::max() >> (base == 16 ? 4 : 3))) number->wide = true;
      number->bits = (number->bits << (base == 16 ? 4 : 3)) | static_cast<unsigned>(d);
    }
    if (digits == 0) return DISP_E_TYPEMISMATCH;
    while (i < n && IsBlank(text[i])) ++i;
    if (i != n) return DISP_E_TYPEMISMATCH;
    number->radix = true;
    return S_OK;
  }

  bool sign = false;
  if (text[i] == u'+' || text[i] == u'-') {
    sign = true;
    number->negative = text[i] == u'-';
    ++i;
    while (i < n && IsBlank(text[i])) ++i;
  }
  // A sign together with parentheses is ambiguous ("-(5)", "(-5)", "(5-)"): a mismatch.
  bool paren = false;
  if (i < n && text[i] == u'(') {
    if (sign) return DISP_E_TYPEMISMATCH;
    paren = true;
    number->negative = true;
    ++i;
    while (i < n && IsBlank(text[i])) ++i;
  }

  number->begin = i;
  int64_t digits = 0;        // all mantissa digits
  int64_t integerDigits = 0;  // digits before the point
  int64_t leadingZeros = 0;
  bool significant = false;
  for (; i < n; ++i) {
    char16_t c = text[i];
    if (IsDigit(c)) {
      if (!significant && c != u'0') {
        significant = true;
        number->first = i;
      }
      if (!significant) ++leadingZeros;
      ++digits;
    } else if (c == u',' && digits > 0) {
      // Thousands separators anywhere after the first digit, without a grouping check.
    } else {
      break;
    }
  }
  integerDigits = digits;
  if (i < n && text[i] == u'.') {
    ++i;
    for (; i < n && IsDigit(text[i]); ++i) {
      if (!significant && text[i] != u'0') {
        significant = true;
        number->first = i;
      }
      if (!significant) ++leadingZeros;
      ++digits;
    }
  }
  number->end = i;
  if (digits == 0) return DISP_E_TYPEMISMATCH;

  int64_t exponent = 0;
  if (i < n && (text[i] == u'e' || text[i] == u'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
      negativeExponent = text[i] == u'-';
      ++i;
    }
    std::size_t start = i;
    for (; i < n && IsDigit(text[i]); ++i)
      if (exponent < kExponentCap) exponent = exponent * 10 + (text[i] - u'0');
    if (i == start) return DISP_E_TYPEMISMATCH;
    if (negativeExponent) exponent = -exponent;
  }

  while (i < n && IsBlank(text[i])) ++i;
  if (!sign && !paren && i < n && (text[i] == u'+' || text[i] == u'-')) {
    number->negative = text[i] == u'-';
    ++i;
    while (i < n && IsBlank(text[i])) ++i;
  }
  if (paren) {
    if (i == n || text[i] != u')') return DISP_E_TYPEMISMATCH;
    ++i;
    while (i < n && IsBlank(text[i])) ++i;
  }
  if (i != n) return DISP_E_TYPEMISMATCH;

  number->significant = digits - leadingZeros;
  number->point = integerDigits - leadingZeros + exponent;
  return S_OK;
}

// The decimal value rounded halves to even, as a magnitude; false when it exceeds `limit`
// (at most 10 decimal digits).
bool RoundDecimal(std::u16string_view text, const Number& number, uint64_t limit, uint64_t* magnitude) {
  if (number.significant == 0 || number.point < 0) {
    *magnitude = 0;  // below 0.1 in magnitude
    return true;
  }
  if (number.point > 10) return false;
  uint64_t integer = 0;
  int64_t taken = 0;
  int firstFraction = -1;  // the first digit after the point, -1 when there is none
  bool restNonZero = false;
  for (std::size_t i = number.first; i < number.end; ++i) {
    char16_t c = text[i];
    if (!IsDigit(c)) continue;
    if (taken < number.point) {
      integer = integer * 10 + (c - u'0');
      ++taken;
    } else if (firstFraction < 0) {
      firstFraction = c - u'0';
    } else if (c != u'0') {
      restNonZero = true;
      break;
    }
  }
  for (; taken < number.point; ++taken) integer *= 10;
  if (firstFraction > 5 || (firstFraction == 5 && (restNonZero || (integer & 1)))) ++integer;
  if (integer > limit) return false;
  *magnitude = integer;
  return true;
}

// An integer of the range [minimum, maximum]; `bits` is the width of the radix forms.
HRESULT ParseInteger(std::u16string_view text, int64_t minimum, int64_t maximum, int bits, int64_t* out) {
  Number number;
  HRESULT hr = ScanNumber(text, &number);
  if (FAILED(hr)) return hr;
  int64_t value;
  if (number.radix) {
    uint64_t mask = bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    if (number.wide || number.bits > mask) return DISP_E_OVERFLOW;
    value = static_cast<int64_t>(number.bits);
    if (minimum < 0 && bits < 64 && (number.bits >> (bits - 1)) != 0) value -= static_cast<int64_t>(uint64_t{1} << bits);
  } else {
    uint64_t limit = static_cast<uint64_t>(number.negative ? -minimum : maximum);
    if (number.negative && minimum == 0) limit = 0;  // only values that round to 0 fit
    uint64_t magnitude;
    if (!RoundDecimal(text, number, limit, &magnitude)) return DISP_E_OVERFLOW;
    value = number.negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  }
  if (value < minimum || value > maximum) return DISP_E_OVERFLOW;
  *out = value;
  return S_OK;
}

// Radix forms of Double and Boolean text are read as a Long bit pattern.
constexpr uint64_t kLongPattern = 0xFFFFFFFFu;

HRESULT NumberToDouble(std::u16string_view text, const Number& number, double* out) {
  if (number.radix) {
    if (number.wide || number.bits > kLongPattern) return DISP_E_OVERFLOW;
    *out = static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(number.bits)));
    return S_OK;
  }
  if (number.significant == 0 || number.point < -400) {
    *out = 0.0;
    return S_OK;
  }
  if (number.point > 310) return DISP_E_OVERFLOW;
  // More digits than a double can need: keep 800 and a sticky digit for what was dropped.
  constexpr int kKept = 800;
  char buffer[kKept + 32];
  int length = 0;
  bool dropped = false;
  for (std::size_t i = number.first; i < number.end; ++i) {
    char16_t c = text[i];
    if (!IsDigit(c)) continue;
    if (length < kKept)
      buffer[length++] = static_cast<char>(c);
    else if (c != u'0')
      dropped = true;
  }
  if (dropped) buffer[length++] = '1';
  int64_t exponent = number.point - length;
  buffer[length++] = 'e';
  auto result = std::to_chars(buffer + length, buffer + sizeof buffer - 1, exponent);
  *result.ptr = '\0';
  double value = std::strtod(buffer, nullptr);
  if (!std::isfinite(value)) return DISP_E_OVERFLOW;
  *out = number.negative ? -value : value;
  return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Dates

constexpr bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

constexpr int DaysInMonth(int64_t year, int64_t month) {
  constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Days from 1970-01-01 in the proleptic Gregorian calendar.
constexpr int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year, month, day;
};

constexpr Civil CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  return {yoe + era * 400 + (month <= 2), month, day};
}

constexpr int64_t kEpoch = DaysFromCivil(1899, 12, 30);
constexpr int64_t kFirstDay = DaysFromCivil(100, 1, 1) - kEpoch;    // -657434
constexpr int64_t kLastDay = DaysFromCivil(9999, 12, 31) - kEpoch;  // 2958465
static_assert(kFirstDay == -657434 && kLastDay == 2958465);

// Two-digit years read through the window 1930-2029: 0-29 are 2000-2029, 30-99 are 1930-1999.
int64_t WindowYear(int64_t year) { return year < 30 ? 2000 + year : 1900 + year; }

HRESULT DateFromFields(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second,
                       DATE* out) {
  if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59)
    return DISP_E_TYPEMISMATCH;
  if (year < 100) year = WindowYear(year);
  if (year > 9999 || day > DaysInMonth(year, month)) return DISP_E_TYPEMISMATCH;
  int64_t days = DaysFromCivil(year, month, day) - kEpoch;
  double fraction = static_cast<double>(hour * 3600 + minute * 60 + second) / 86400.0;
  // Before the epoch the time of day counts away from zero, as the date itself does.
  *out = days < 0 ? static_cast<double>(days) - fraction : static_cast<double>(days) + fraction;
  return S_OK;
}

struct DateParts {
  int64_t year, month, day, hour, minute, second;
};

// The calendar fields of a date value, to the nearest second; false outside years 100..9999.
bool PartsFromDate(DATE value, DateParts* parts) {
  if (!(value > static_cast<double>(kFirstDay) - 1.0 && value < static_cast<double>(kLastDay) + 1.0)) return false;
  double whole = std::trunc(value);
  int64_t days = static_cast<int64_t>(whole);
  int64_t seconds = std::llround(std::fabs(value - whole) * 86400.0);
  if (seconds >= 86400) {
    if (days + 1 > kLastDay) {
      seconds = 86399;
    } else {
      ++days;
      seconds = 0;
    }
  }
  if (days < kFirstDay) return false;
  Civil civil = CivilFromDays(days + kEpoch);
  *parts = {civil.year, civil.month, civil.day, seconds / 3600, seconds / 60 % 60, seconds % 60};
  return true;
}

bool DateInRange(double value) {
  return value > static_cast<double>(kFirstDay) - 1.0 && value < static_cast<double>(kLastDay) + 1.0;
}

// One field of a date text: decimal digits only, saturated far above any valid value.
bool ReadField(std::u16string_view text, std::size_t* i, int64_t* value) {
  std::size_t start = *i;
  int64_t v = 0;
  for (; *i < text.size() && IsDigit(text[*i]); ++*i)
    if (v < 1'000'000) v = v * 10 + (text[*i] - u'0');
  *value = v;
  return *i != start;
}

bool Expect(std::u16string_view text, std::size_t* i, char16_t c) {
  if (*i < text.size() && text[*i] == c) {
    ++*i;
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Text from values

BSTR AllocAscii(const char* text, std::size_t length) {
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  return out;
}

HRESULT StoreAscii(const char* text, std::size_t length, BSTR* out) {
  BSTR fresh = AllocAscii(text, length);
  if (!fresh) return E_OUTOFMEMORY;
  *out = fresh;
  return S_OK;
}

// Shortest text that reads back as the same double: fixed notation for magnitudes from 1E-04
// up to below 1E+15, otherwise "d.dddE+XX" as the classic runtime writes large and small values.
std::size_t FormatDouble(double value, char* out) {
  if (value == 0.0) {
    out[0] = '0';
    return 1;
  }
  char scientific[64];
  auto result = std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific);
  const char* p = scientific;
  std::size_t length = 0;
  if (*p == '-') out[length++] = *p++;
  char digits[32];
  int count = 0;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits[count++] = *p;
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), result.ptr, exponent);
  if (exponent >= -4 && exponent < 15) {
    if (exponent < 0) {
      out[length++] = '0';
      out[length++] = '.';
      for (int k = -1; k > exponent; --k) out[length++] = '0';
      for (int k = 0; k < count; ++k) out[length++] = digits[k];
    } else {
      for (int k = 0; k <= exponent; ++k) out[length++] = k < count ? digits[k] : '0';
      if (count > exponent + 1) {
        out[length++] = '.';
        for (int k = exponent + 1; k < count; ++k) out[length++] = digits[k];
      }
    }
    return length;
  }
  out[length++] = digits[0];
  if (count > 1) {
    out[length++] = '.';
    for (int k = 1; k < count; ++k) out[length++] = digits[k];
  }
  out[length++] = 'E';
  out[length++] = exponent < 0 ? '-' : '+';
  int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) out[length++] = '0';
  auto tail = std::to_chars(out + length, out + length + 8, magnitude);
  return static_cast<std::size_t>(tail.ptr - out);
}

std::size_t FormatInteger(int64_t value, char* out) {
  return static_cast<std::size_t>(std::to_chars(out, out + 24, value).ptr - out);
}

// "yyyy/m/d", and " h:mm:ss" after it when the time of day is not midnight.
HRESULT FormatDate(DATE value, char* out, std::size_t* length) {
  DateParts p;
  if (!PartsFromDate(value, &p)) return DISP_E_OVERFLOW;
  char* q = out;
  q = std::to_chars(q, q + 8, p.year).ptr;
  *q++ = '/';
  q = std::to_chars(q, q + 8, p.month).ptr;
  *q++ = '/';
  q = std::to_chars(q, q + 8, p.day).ptr;
  if (p.hour || p.minute || p.second) {
    *q++ = ' ';
    q = std::to_chars(q, q + 8, p.hour).ptr;
    *q++ = ':';
    *q++ = static_cast<char>('0' + p.minute / 10);
    *q++ = static_cast<char>('0' + p.minute % 10);
    *q++ = ':';
    *q++ = static_cast<char>('0' + p.second / 10);
    *q++ = static_cast<char>('0' + p.second % 10);
  }
  *length = static_cast<std::size_t>(q - out);
  return S_OK;
}

std::u16string_view NulTerminated(LPCOLESTR text) {
  if (!text) return {};
  std::size_t length = 0;
  while (text[length]) ++length;
  return {text, length};
}

// ---------------------------------------------------------------------------------------------
// Variants

// A source value reduced to one of four kinds.
struct Value {
  enum Kind { kInteger, kReal, kText, kBool } kind = kInteger;
  VARTYPE type = VT_EMPTY;  // the source's own type (DATE, R4 and R8 are all kReal)
  int64_t integer = 0;
  double real = 0.0;
  std::u16string_view text;
};

HRESULT RealToInteger(double value, int64_t minimum, int64_t maximum, int64_t* out) {
  if (!std::isfinite(value)) return DISP_E_OVERFLOW;
  double floor = std::floor(value);
  double difference = value - floor;
  double rounded = floor;
  if (difference > 0.5 || (difference == 0.5 && std::fmod(floor, 2.0) != 0.0)) rounded = floor + 1.0;
  if (rounded < static_cast<double>(minimum) || rounded > static_cast<double>(maximum)) return DISP_E_OVERFLOW;
  *out = static_cast<int64_t>(rounded);
  return S_OK;
}

struct IntegerTarget {
  int64_t minimum, maximum;
  int bits;
};

bool IntegerTargetOf(VARTYPE vt, IntegerTarget* target) {
  switch (vt) {
    case VT_I1: *target = {-128, 127, 8}; return true;
    case VT_UI1: *target = {0, 255, 8}; return true;
    case VT_I2: *target = {-32768, 32767, 16}; return true;
    case VT_UI2: *target = {0, 65535, 16}; return true;
    case VT_I4:
    case VT_INT: *target = {-2147483648LL, 2147483647LL, 32}; return true;
    case VT_UI4:
    case VT_UINT: *target = {0, 4294967295LL, 32}; return true;
    default: return false;
  }
}

void StoreInteger(VARIANT* out, VARTYPE vt, int64_t value) {
  out->vt = vt;
  switch (vt) {
    case VT_I1: out->bVal = static_cast<BYTE>(static_cast<std::int8_t>(value)); break;
    case VT_UI1: out->bVal = static_cast<BYTE>(value); break;
    case VT_I2: out->iVal = static_cast<SHORT>(value); break;
    case VT_UI2: out->iVal = static_cast<SHORT>(static_cast<USHORT>(value)); break;
    default: out->lVal = static_cast<LONG>(static_cast<ULONG>(value)); break;
  }
}

// The value of a plain or by-reference variant (whose target stays with its owner).
HRESULT Reduce(const VARIANT* source, Value* value) {
  VARTYPE vt = source->vt;
  const void* ref = nullptr;
  if (vt & VT_BYREF) {
    ref = source->byref;
    if (!ref) return E_INVALIDARG;
    vt = static_cast<VARTYPE>(vt & ~VT_BYREF);
  }
  if (vt & VT_ARRAY) return DISP_E_TYPEMISMATCH;
  auto get = [&](auto member) {
    using T = std::remove_cvref_t<decltype(source->*member)>;
    return ref ? *static_cast<const T*>(ref) : source->*member;
  };
  value->type = vt;
  switch (vt) {
    case VT_EMPTY: value->kind = Value::kInteger; value->integer = 0; return S_OK;
    case VT_NULL: return CTL_E_INVALIDUSEOFNULL;
    case VT_I1: value->integer = static_cast<std::int8_t>(get(&VARIANT::bVal)); return S_OK;
    case VT_UI1: value->integer = get(&VARIANT::bVal); return S_OK;
    case VT_I2: value->integer = get(&VARIANT::iVal); return S_OK;
    case VT_UI2: value->integer = static_cast<USHORT>(get(&VARIANT::iVal)); return S_OK;
    case VT_I4:
    case VT_INT: value->integer = get(&VARIANT::lVal); return S_OK;
    case VT_UI4:
    case VT_UINT: value->integer = static_cast<ULONG>(get(&VARIANT::lVal)); return S_OK;
    case VT_I8: value->integer = get(&VARIANT::llVal); return S_OK;
    case VT_BOOL:
      value->kind = Value::kBool;
      value->integer = get(&VARIANT::boolVal) ? -1 : 0;
      return S_OK;
    case VT_R4: value->kind = Value::kReal; value->real = get(&VARIANT::fltVal); return S_OK;
    case VT_R8: value->kind = Value::kReal; value->real = get(&VARIANT::dblVal); return S_OK;
    case VT_DATE: value->kind = Value::kReal; value->real = get(&VARIANT::date); return S_OK;
    case VT_CY:
      value->kind = Value::kReal;
      value->real = static_cast<double>(get(&VARIANT::llVal)) / 10000.0;
      return S_OK;
    case VT_BSTR: {
      BSTR text = get(&VARIANT::bstrVal);
      value->kind = Value::kText;
      value->text = text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
      return S_OK;
    }
    case VT_VARIANT:
      return DISP_E_BADVARTYPE;  // handled by the caller
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_ERROR:
    case VT_DECIMAL:
    case VT_UI8:
      return DISP_E_TYPEMISMATCH;
    default:
      return DISP_E_BADVARTYPE;
  }
}

HRESULT ToInteger(const Value& value, const IntegerTarget& target, int64_t* out) {
  switch (value.kind) {
    case Value::kText: return ParseInteger(value.text, target.minimum, target.maximum, target.bits, out);
    case Value::kReal: return RealToInteger(value.real, target.minimum, target.maximum, out);
    default:
      if (value.integer < target.minimum || value.integer > target.maximum) return DISP_E_OVERFLOW;
      *out = value.integer;
      return S_OK;
  }
}

HRESULT ToDouble(const Value& value, double* out) {
  switch (value.kind) {
    case Value::kText: return ParseR8(value.text, out);
    case Value::kReal: *out = value.real; return S_OK;
    default: *out = static_cast<double>(value.integer); return S_OK;
  }
}

HRESULT ToText(const Value& value, USHORT flags, BSTR* out) {
  char buffer[64];
  std::size_t length = 0;
  if (value.type == VT_EMPTY) return StoreAscii("", 0, out);  // Empty is the empty text
  switch (value.kind) {
    case Value::kText: {
      BSTR copy = SysAllocStringLen(value.text.data(), static_cast<UINT>(value.text.size()));
      if (!copy) return E_OUTOFMEMORY;
      *out = copy;
      return S_OK;
    }
    case Value::kBool:
      // Booleans become words with VARIANT_ALPHABOOL, their numbers (-1) otherwise.
      if (flags & VARIANT_ALPHABOOL) {
        const char* word = value.integer ? "True" : "False";
        return StoreAscii(word, std::strlen(word), out);
      }
      length = FormatInteger(value.integer, buffer);
      break;
    case Value::kReal:
      if (value.type == VT_DATE) {
        HRESULT hr = FormatDate(value.real, buffer, &length);
        if (FAILED(hr)) return hr;
      } else {
        if (!std::isfinite(value.real)) return DISP_E_OVERFLOW;
        if (value.type == VT_R4) {
          // A float's own shortest text, not the digits of its widened double.
          char scientific[64];
          float f = static_cast<float>(value.real);
          auto r = std::to_chars(scientific, scientific + sizeof scientific, f, std::chars_format::scientific);
          *r.ptr = '\0';
          length = FormatDouble(std::strtod(scientific, nullptr), buffer);
        } else {
          length = FormatDouble(value.real, buffer);
        }
      }
      break;
    default: length = FormatInteger(value.integer, buffer); break;
  }
  return StoreAscii(buffer, length, out);
}

HRESULT Convert(const Value& value, USHORT flags, VARTYPE vt, VARIANT* out) {
  IntegerTarget target;
  if (IntegerTargetOf(vt, &target)) {
    int64_t result;
    HRESULT hr = ToInteger(value, target, &result);
    if (FAILED(hr)) return hr;
    StoreInteger(out, vt, result);
    return S_OK;
  }
  switch (vt) {
    case VT_R8:
    case VT_R4: {
      double result;
      HRESULT hr = ToDouble(value, &result);
      if (FAILED(hr)) return hr;
      if (vt == VT_R4) {
        if (std::isfinite(result) && std::fabs(result) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
        out->vt = VT_R4;
        out->fltVal = static_cast<float>(result);
      } else {
        out->vt = VT_R8;
        out->dblVal = result;
      }
      return S_OK;
    }
    case VT_BOOL: {
      bool truth;
      if (value.kind == Value::kText) {
        VARIANT_BOOL b;
        HRESULT hr = ParseBool(value.text, &b);
        if (FAILED(hr)) return hr;
        truth = b != VARIANT_FALSE;
      } else if (value.kind == Value::kReal) {
        truth = value.real != 0.0;
      } else {
        truth = value.integer != 0;
      }
      out->vt = VT_BOOL;
      out->boolVal = truth ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    case VT_DATE: {
      double result;
      if (value.kind == Value::kText) {
        HRESULT hr = ParseDate(value.text, &result);
        if (FAILED(hr)) return hr;
      } else {
        result = value.kind == Value::kReal ? value.real : static_cast<double>(value.integer);
        if (!DateInRange(result)) return DISP_E_OVERFLOW;
      }
      out->vt = VT_DATE;
      out->date = result;
      return S_OK;
    }
    case VT_BSTR: {
      BSTR text = nullptr;
      HRESULT hr = ToText(value, flags, &text);
      if (FAILED(hr)) return hr;
      out->vt = VT_BSTR;
      out->bstrVal = text;
      return S_OK;
    }
    case VT_CY: {
      double result;
      HRESULT hr = ToDouble(value, &result);
      if (FAILED(hr)) return hr;
      double scaled = result * 10000.0;
      int64_t cy;
      hr = RealToInteger(scaled, -922337203685477LL * 10000, 922337203685477LL * 10000, &cy);
      if (FAILED(hr)) return hr;
      out->vt = VT_CY;
      out->cyVal.int64 = cy;
      return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
  }
}

bool IsKnownType(VARTYPE vt) {
  VARTYPE base = static_cast<VARTYPE>(vt & VT_TYPEMASK);
  if (vt & ~(VT_TYPEMASK | VT_BYREF | VT_ARRAY)) return false;
  return base <= VT_UINT && base != 15;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Length-aware forms

HRESULT ParseI2(std::u16string_view text, SHORT* out) {
  if (!out) return E_POINTER;
  int64_t value;
  HRESULT hr = ParseInteger(text, -32768, 32767, 16, &value);
  if (FAILED(hr)) return hr;
  *out = static_cast<SHORT>(value);
  return S_OK;
}

HRESULT ParseI4(std::u16string_view text, LONG* out) {
  if (!out) return E_POINTER;
  int64_t value;
  HRESULT hr = ParseInteger(text, -2147483648LL, 2147483647LL, 32, &value);
  if (FAILED(hr)) return hr;
  *out = static_cast<LONG>(value);
  return S_OK;
}

HRESULT ParseR8(std::u16string_view text, DOUBLE* out) {
  if (!out) return E_POINTER;
  Number number;
  HRESULT hr = ScanNumber(text, &number);
  if (FAILED(hr)) return hr;
  return NumberToDouble(text, number, out);
}

HRESULT ParseBool(std::u16string_view text, VARIANT_BOOL* out) {
  if (!out) return E_POINTER;
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  std::u16string_view word = text.substr(begin, end - begin);
  auto equalsIgnoringCase = [&](std::u16string_view expected) {
    if (word.size() != expected.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
      char16_t c = word[i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != expected[i]) return false;
    }
    return true;
  };
  if (equalsIgnoringCase(u"true") || word == u"#TRUE#") {
    *out = VARIANT_TRUE;
    return S_OK;
  }
  if (equalsIgnoringCase(u"false") || word == u"#FALSE#") {
    *out = VARIANT_FALSE;
    return S_OK;
  }
  Number number;
  HRESULT hr = ScanNumber(text, &number);
  if (FAILED(hr)) return hr;
  if (number.radix && (number.wide || number.bits > kLongPattern)) return DISP_E_OVERFLOW;
  *out = number.zero() ? VARIANT_FALSE : VARIANT_TRUE;
  return S_OK;
}

// year/month/day, optionally followed by hour:minute or hour:minute:second. The fields are
// read in that order only: a text that is no valid date that way is a mismatch, never a date
// read with its fields swapped.
HRESULT ParseDate(std::u16string_view text, DATE* out) {
  if (!out) return E_POINTER;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && IsBlank(text[i])) ++i;
  int64_t year, month, day, hour = 0, minute = 0, second = 0;
  if (!ReadField(text, &i, &year) || !Expect(text, &i, u'/') || !ReadField(text, &i, &month) ||
      !Expect(text, &i, u'/') || !ReadField(text, &i, &day))
    return DISP_E_TYPEMISMATCH;
  std::size_t afterDate = i;
  while (i < n && IsBlank(text[i])) ++i;
  if (i < n && i > afterDate && IsDigit(text[i])) {
    if (!ReadField(text, &i, &hour) || !Expect(text, &i, u':') || !ReadField(text, &i, &minute))
      return DISP_E_TYPEMISMATCH;
    if (Expect(text, &i, u':') && !ReadField(text, &i, &second)) return DISP_E_TYPEMISMATCH;
    while (i < n && IsBlank(text[i])) ++i;
  }
  if (i != n) return DISP_E_TYPEMISMATCH;
  return DateFromFields(year, month, day, hour, minute, second, out);
}

HRESULT DateFromParts(int year, int month, int day, int hour, int minute, int second, DATE* out) {
  if (!out) return E_POINTER;
  return DateFromFields(year, month, day, hour, minute, second, out);
}

// ---------------------------------------------------------------------------------------------
// The standard API (built for Windows, the system's own answers these)

#ifndef _WIN32
extern "C" {

HRESULT VarI2FromStr(LPCOLESTR text, LCID, ULONG, SHORT* out) { return ParseI2(NulTerminated(text), out); }
HRESULT VarI4FromStr(LPCOLESTR text, LCID, ULONG, LONG* out) { return ParseI4(NulTerminated(text), out); }
HRESULT VarR8FromStr(LPCOLESTR text, LCID, ULONG, DOUBLE* out) { return ParseR8(NulTerminated(text), out); }
HRESULT VarBoolFromStr(LPCOLESTR text, LCID, ULONG, VARIANT_BOOL* out) {
  return ParseBool(NulTerminated(text), out);
}
HRESULT VarDateFromStr(LPCOLESTR text, LCID, ULONG, DATE* out) { return ParseDate(NulTerminated(text), out); }

HRESULT VarBstrFromI2(SHORT value, LCID, ULONG, BSTR* out) {
  if (!out) return E_POINTER;
  char buffer[24];
  return StoreAscii(buffer, FormatInteger(value, buffer), out);
}

HRESULT VarBstrFromI4(LONG value, LCID, ULONG, BSTR* out) {
  if (!out) return E_POINTER;
  char buffer[24];
  return StoreAscii(buffer, FormatInteger(value, buffer), out);
}

HRESULT VarBstrFromR8(DOUBLE value, LCID, ULONG, BSTR* out) {
  if (!out) return E_POINTER;
  if (!std::isfinite(value)) return DISP_E_OVERFLOW;
  char buffer[64];
  return StoreAscii(buffer, FormatDouble(value, buffer), out);
}

HRESULT VarBstrFromBool(VARIANT_BOOL value, LCID, ULONG, BSTR* out) {
  if (!out) return E_POINTER;
  return value ? StoreAscii("True", 4, out) : StoreAscii("False", 5, out);
}

HRESULT VarBstrFromDate(DATE value, LCID, ULONG, BSTR* out) {
  if (!out) return E_POINTER;
  char buffer[64];
  std::size_t length;
  HRESULT hr = FormatDate(value, buffer, &length);
  if (FAILED(hr)) return hr;
  return StoreAscii(buffer, length, out);
}

HRESULT VariantChangeType(VARIANT* destination, const VARIANT* source, USHORT flags, VARTYPE vt) {
  if (!destination || !source) return E_INVALIDARG;
  if (!IsKnownType(source->vt) || !IsKnownType(vt) || (vt & VT_BYREF)) return DISP_E_BADVARTYPE;

  // A by-reference variant stands for the variant it points to (one level, as the runtime does).
  const VARIANT* plain = source;
  if (source->vt == (VT_BYREF | VT_VARIANT)) {
    plain = source->pvarVal;
    if (!plain) return E_INVALIDARG;
    if (plain->vt == (VT_BYREF | VT_VARIANT) || !IsKnownType(plain->vt)) return DISP_E_BADVARTYPE;
  }
  VARTYPE from = static_cast<VARTYPE>(plain->vt & ~VT_BYREF);

  VARIANT result;
  VariantInit(&result);
  HRESULT hr = S_OK;
  if (vt == from || vt == VT_VARIANT || (vt == VT_EMPTY && from != VT_NULL)) {
    if (vt == VT_EMPTY) {
      // Empty from anything: nothing to copy.
    } else {
      // The same type (or no particular type): a copy of the plain value.
      hr = VariantCopyInd(&result, plain);
    }
  } else if ((vt == VT_DISPATCH || vt == VT_UNKNOWN) && (from == VT_DISPATCH || from == VT_UNKNOWN)) {
    IUnknown* object = (plain->vt & VT_BYREF) ? *plain->ppunkVal : plain->punkVal;
    if (!object) {
      result.vt = vt;
      result.punkVal = nullptr;
    } else {
      void* converted = nullptr;
      hr = object->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &converted);
      if (FAILED(hr)) {
        hr = DISP_E_TYPEMISMATCH;
      } else {
        result.vt = vt;
        result.punkVal = static_cast<IUnknown*>(converted);
      }
    }
  } else if (vt == VT_NULL) {
    hr = DISP_E_TYPEMISMATCH;
  } else {
    Value value;
    hr = Reduce(plain, &value);
    if (SUCCEEDED(hr)) hr = Convert(value, flags, vt, &result);
  }
  if (FAILED(hr)) return hr;

  // The result is complete and owns what it holds; only now is the destination replaced.
  hr = VariantClear(destination);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  std::memcpy(destination, &result, sizeof result);
  return S_OK;
}

}  // extern "C"
#endif  // _WIN32
