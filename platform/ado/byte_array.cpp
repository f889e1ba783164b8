// Byte arrays in and out of variants.
#include "platform/ado/byte_array.h"

#include <cstring>

Variant MakeByteArray(std::span<const BYTE> bytes) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (!array) return Variant();
  if (!bytes.empty()) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
      SafeArrayDestroy(array);
      return Variant();
    }
    std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
  }
  return Variant::Array(VT_UI1, array);
}

HRESULT ReadByteArray(const VARIANT& value, std::vector<BYTE>* bytes) {
  if (!bytes) return E_POINTER;
  SAFEARRAY* array = nullptr;
  if (value.vt == (VT_ARRAY | VT_UI1)) {
    array = value.parray;
  } else if (value.vt == (VT_BYREF | VT_ARRAY | VT_UI1) && value.pparray) {
    array = *value.pparray;
  } else if (value.vt == (VT_BYREF | VT_VARIANT) && value.pvarVal) {
    return ReadByteArray(*value.pvarVal, bytes);
  } else {
    return DISP_E_TYPEMISMATCH;
  }
  if (!array || SafeArrayGetDim(array) != 1) return DISP_E_TYPEMISMATCH;
  const ULONG count = array->rgsabound[0].cElements;
  std::vector<BYTE> copy(count);
  if (count != 0) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return DISP_E_TYPEMISMATCH;
    std::memcpy(copy.data(), data, count);
    SafeArrayUnaccessData(array);
  }
  *bytes = std::move(copy);
  return S_OK;
}
