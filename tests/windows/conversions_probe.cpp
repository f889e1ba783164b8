// The conversion cases of the classic runtime (text and variants to Integer, Long, Boolean, Date,
// and back to text), printed one per line: run on Linux against our runtime and under Wine against
// the system's, the outputs are compared line by line (scripts/windows-stage.sh).
#include <cstdio>
#include <string>

#include "platform/automation/conversions.h"
#include "platform/automation/owners.h"
#include "platform/automation/text.h"

namespace {

std::string Answer(HRESULT hr, const VARIANT& value) {
  char code[16];
  if (FAILED(hr)) {
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
    return code;
  }
  switch (value.vt) {
    case VT_I2: return std::to_string(value.iVal);
    case VT_I4: return std::to_string(value.lVal);
    case VT_BOOL: return value.boolVal ? "True" : "False";
    case VT_DATE: {
      char text[40];
      std::snprintf(text, sizeof text, "%.9f", value.date);
      return text;
    }
    case VT_BSTR: return "\"" + ToUtf8(std::u16string_view(value.bstrVal, SysStringLen(value.bstrVal))) + "\"";
    default: return "vt " + std::to_string(value.vt);
  }
}

const char* Name(VARTYPE vt) {
  switch (vt) {
    case VT_I2: return "Integer";
    case VT_I4: return "Long";
    case VT_BOOL: return "Boolean";
    case VT_DATE: return "Date";
    default: return "String";
  }
}

void Probe(const std::string& label, const Variant& input, VARTYPE vt) {
  Variant out;
  HRESULT hr = VariantChangeType(out.Put(), input.Ptr(), 0, vt);
  std::printf("%s %s -> %s\n", Name(vt), label.c_str(), Answer(hr, out.Raw()).c_str());
}

}  // namespace

int main() {
  const char16_t* texts[] = {u" 12 ", u"13.5", u"1,234.5", u"&H8000", u"&HFFFF", u"&O17", u"&O19", u"1.5e1", u"(5)",
                             u"5-", u"32768", u"32767.5", u"-32768.5", u"12a", u"", u"   ", u"--5", u"(5",
                             u"0.5", u"1.5", u"2.5", u"-0.5", u"-1.5", u"0.06", u".5", u"5.", u",5", u"1 2",
                             u"0x10", u"１２", u"\u00a012", u"2147483648", u"&H80000000", u"True", u"false",
                             u"#TRUE#", u"#true#", u"yes", u"0", u"-0.0", u"2026/11/6 9:05", u"1899/12/29 6:00",
                             u"26/1/2", u"2026/13/1", u"2026/11/6 24:00", u"99/12/31"};
  for (const char16_t* text : texts) {
    const std::string label = "\"" + ToUtf8(text) + "\"";
    for (VARTYPE vt : {VT_I2, VT_I4, VT_BOOL, VT_DATE}) Probe(label, Variant::Str(text), vt);
  }
  const struct {
    const char* label;
    Variant value;
  } values[] = {{"Empty", Variant()},           {"Null", Variant::Null()},          {"Double 2.5", Variant::R8(2.5)},
                {"Double -32768.5", Variant::R8(-32768.5)}, {"Double 32767.5", Variant::R8(32767.5)},
                {"Boolean True", Variant::Bool(true)},      {"Error", Variant::Error(DISP_E_PARAMNOTFOUND)},
                {"Long 70000", Variant::I4(70000)},         {"Date 46332.378472222", Variant::Date(46332.378472222)},
                {"Double 0.1", Variant::R8(0.1)},           {"Double 1e20", Variant::R8(1e20)}};
  for (const auto& v : values)
    for (VARTYPE vt : {VT_I2, VT_I4, VT_BOOL, VT_BSTR}) Probe(v.label, v.value, vt);
  return 0;
}
