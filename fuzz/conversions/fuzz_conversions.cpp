// Arbitrary UTF-16 text (unpaired surrogates, NULs and all) through every text conversion.
// Beyond "no crash, no undefined behaviour": what converts consistently in one form converts
// the same way in the others, and a date's text reads back as the same date.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/automation/conversions.h"
#include "platform/automation/owners.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text(size / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);

  SHORT i2 = 0;
  LONG i4 = 0;
  DOUBLE r8 = 0;
  VARIANT_BOOL b = 0;
  DATE date = 0;
  HRESULT hrI2 = ParseI2(text, &i2);
  HRESULT hrI4 = ParseI4(text, &i4);
  HRESULT hrR8 = ParseR8(text, &r8);
  HRESULT hrBool = ParseBool(text, &b);
  HRESULT hrDate = ParseDate(text, &date);

  // One syntax for all numbers: what reads as a Long reads as a Double, and a decimal Integer
  // is the same Long.
  bool radix = text.find(u'&') != std::u16string::npos;
  if (SUCCEEDED(hrI4) && FAILED(hrR8)) std::abort();
  if (SUCCEEDED(hrI2) && !radix && (FAILED(hrI4) || i4 != i2)) std::abort();
  if (SUCCEEDED(hrI4) && !radix && std::fabs(r8 - i4) > 0.5) std::abort();
  if (SUCCEEDED(hrR8) && FAILED(hrBool) && hrBool != DISP_E_TYPEMISMATCH) std::abort();

  if (SUCCEEDED(hrDate)) {
    Bstr written;
    if (FAILED(VarBstrFromDate(date, LOCALE_ZH_CN, 0, written.Put()))) std::abort();
    DATE back = 0;
    if (FAILED(ParseDate(written.View(), &back)) || std::fabs(back - date) > 1.0 / 86400) std::abort();
  }
  if (SUCCEEDED(hrR8)) {
    Bstr written;
    if (SUCCEEDED(VarBstrFromR8(r8, LOCALE_ZH_CN, 0, written.Put()))) {
      DOUBLE back = 0;
      if (FAILED(ParseR8(written.View(), &back)) || back != r8) std::abort();
    }
  }

  // The same text as a BSTR variant, converted in place to each target.
  for (VARTYPE vt : {VT_I2, VT_I4, VT_UI1, VT_R8, VT_BOOL, VT_DATE, VT_BSTR}) {
    Variant value = Variant::Str(text);
    HRESULT hr = VariantChangeType(value.Ptr(), value.Ptr(), 0, vt);
    if (FAILED(hr) && value.Type() != VT_BSTR) std::abort();
    if (SUCCEEDED(hr) && value.Type() != vt) std::abort();
  }
  return 0;
}
