// Conversions of the classic automation runtime (text and variants to Integer, Long, Double,
// Boolean, Date and back), under the standard API names, as a Chinese (PRC) installation runs
// them: '.' decimal point, ',' thousands separator. Failures answer DISP_E_TYPEMISMATCH
// ("类型不匹配"), DISP_E_OVERFLOW ("溢出"), or CTL_E_INVALIDUSEOFNULL ("无效使用 Null").
#pragma once

#include <string_view>

#include "platform/automation/abi.h"

constexpr USHORT VARIANT_NOVALUEPROP = 0x1;
constexpr USHORT VARIANT_ALPHABOOL = 0x2;

extern "C" {
// NUL-terminated text, as the standard API takes it.
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarI2FromStr(LPCOLESTR text, LCID lcid, ULONG flags, SHORT* out);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarI4FromStr(LPCOLESTR text, LCID lcid, ULONG flags, LONG* out);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarR8FromStr(LPCOLESTR text, LCID lcid, ULONG flags, DOUBLE* out);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarBoolFromStr(LPCOLESTR text, LCID lcid, ULONG flags, VARIANT_BOOL* out);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarDateFromStr(LPCOLESTR text, LCID lcid, ULONG flags, DATE* out);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarBstrFromI2(SHORT value, LCID lcid, ULONG flags, BSTR* out);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarBstrFromI4(LONG value, LCID lcid, ULONG flags, BSTR* out);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarBstrFromR8(DOUBLE value, LCID lcid, ULONG flags, BSTR* out);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarBstrFromBool(VARIANT_BOOL value, LCID lcid, ULONG flags, BSTR* out);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VarBstrFromDate(DATE value, LCID lcid, ULONG flags, BSTR* out);
// Converts `source` (by value or by reference) to `vt` into `destination` (which may be `source`).
VANTO_SYSTEM_API HRESULT VANTO_API_CALL VariantChangeType(VARIANT* destination, const VARIANT* source, USHORT flags, VARTYPE vt);
}

// Length-aware forms: a BSTR may hold embedded NULs, which make its text a type mismatch
// (never a silent cut at the NUL).
VANTO_EXPORT HRESULT ParseI2(std::u16string_view text, SHORT* out);
VANTO_EXPORT HRESULT ParseI4(std::u16string_view text, LONG* out);
VANTO_EXPORT HRESULT ParseR8(std::u16string_view text, DOUBLE* out);
VANTO_EXPORT HRESULT ParseBool(std::u16string_view text, VARIANT_BOOL* out);
VANTO_EXPORT HRESULT ParseDate(std::u16string_view text, DATE* out);

// A date from calendar fields (year 100..9999 after the two-digit-year window), or
// DISP_E_TYPEMISMATCH for a field out of range.
VANTO_EXPORT HRESULT DateFromParts(int year, int month, int day, int hour, int minute, int second, DATE* out);
