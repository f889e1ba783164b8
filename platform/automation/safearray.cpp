// One-dimensional SAFEARRAY vectors; the element type is kept in front of the descriptor.
#include "platform/automation/abi.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_VARIANT = 0x0800;

// The descriptor sits 16 bytes into the block; its element type is the 4 bytes before it.
constexpr std::size_t kHeader = 16;

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1:
    case VT_I1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_ERROR:
    case VT_INT:
    case VT_UINT: return 4;
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_I8:
    case VT_UI8:
    case VT_BSTR: return 8;
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

VARTYPE StoredType(SAFEARRAY* array) {
  std::uint32_t vt;
  std::memcpy(&vt, reinterpret_cast<char*>(array) - 4, 4);
  return static_cast<VARTYPE>(vt);
}
}  // namespace

extern "C" {
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
  ULONG size = ElementSize(vt);
  if (size == 0) return nullptr;
  std::size_t dataBytes = static_cast<std::size_t>(size) * elements;
  if (elements != 0 && dataBytes / elements != size) return nullptr;
  auto* block = static_cast<char*>(std::calloc(1, kHeader + sizeof(SAFEARRAY) + dataBytes + 1));
  if (!block) return nullptr;
  std::uint32_t storedVt = vt;
  std::memcpy(block + kHeader - 4, &storedVt, 4);
  auto* array = new (block + kHeader) SAFEARRAY{};
  array->cDims = 1;
  array->fFeatures = FADF_HAVEVARTYPE;
  if (vt == VT_BSTR) array->fFeatures |= FADF_BSTR;
  if (vt == VT_VARIANT) array->fFeatures |= FADF_VARIANT;
  array->cbElements = size;
  array->cLocks = 0;
  array->pvData = block + kHeader + sizeof(SAFEARRAY);
  array->rgsabound[0].cElements = elements;
  array->rgsabound[0].lLbound = lowerBound;
  return array;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
  if (!array) return S_OK;
  if (array->cLocks != 0) return DISP_E_ARRAYISLOCKED;
  ULONG count = array->rgsabound[0].cElements;
  if (array->fFeatures & FADF_BSTR) {
    auto* items = static_cast<BSTR*>(array->pvData);
    for (ULONG i = 0; i < count; ++i) SysFreeString(items[i]);
  } else if (array->fFeatures & FADF_VARIANT) {
    auto* items = static_cast<VARIANT*>(array->pvData);
    for (ULONG i = 0; i < count; ++i) VariantClear(&items[i]);
  }
  std::free(reinterpret_cast<char*>(array) - kHeader);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy) {
  if (!copy) return E_POINTER;
  *copy = nullptr;
  if (!source) return S_OK;
  if (source->cDims != 1) return E_INVALIDARG;
  VARTYPE vt = StoredType(source);
  ULONG count = source->rgsabound[0].cElements;
  SAFEARRAY* result = SafeArrayCreateVector(vt, source->rgsabound[0].lLbound, count);
  if (!result) return E_OUTOFMEMORY;
  if (vt == VT_BSTR) {
    auto* from = static_cast<BSTR*>(source->pvData);
    auto* to = static_cast<BSTR*>(result->pvData);
    for (ULONG i = 0; i < count; ++i) {
      if (!from[i]) continue;
      to[i] = SysAllocStringByteLen(reinterpret_cast<const char*>(from[i]), SysStringByteLen(from[i]));
      if (!to[i]) {
        SafeArrayDestroy(result);
        return E_OUTOFMEMORY;
      }
    }
  } else if (vt == VT_VARIANT) {
    auto* from = static_cast<VARIANT*>(source->pvData);
    auto* to = static_cast<VARIANT*>(result->pvData);
    for (ULONG i = 0; i < count; ++i) {
      HRESULT hr = VariantCopy(&to[i], &from[i]);
      if (FAILED(hr)) {
        SafeArrayDestroy(result);
        return hr;
      }
    }
  } else {
    std::memcpy(result->pvData, source->pvData, static_cast<std::size_t>(count) * source->cbElements);
  }
  *copy = result;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
  if (!array || !data) return E_INVALIDARG;
  ++array->cLocks;
  *data = array->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
  if (!array) return E_INVALIDARG;
  if (array->cLocks == 0) return E_UNEXPECTED;
  --array->cLocks;
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
  if (!array || !bound) return E_INVALIDARG;
  if (dimension != 1 || array->cDims != 1) return DISP_E_BADINDEX;
  *bound = array->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
  if (!array || !bound) return E_INVALIDARG;
  if (dimension != 1 || array->cDims != 1) return DISP_E_BADINDEX;
  *bound = static_cast<LONG>(static_cast<std::int64_t>(array->rgsabound[0].lLbound) +
                             array->rgsabound[0].cElements - 1);
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array) { return array ? array->cDims : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
  if (!array || !vt) return E_INVALIDARG;
  *vt = StoredType(array);
  return S_OK;
}
}
