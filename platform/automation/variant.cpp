// VARIANT life cycle: initialise, clear (freeing what the variant owns), deep copy.
#include "platform/automation/abi.h"

#include <cstring>

namespace {
HRESULT CopyOwned(VARIANT* destination, const VARIANT* source) {
  VARIANT copy;
  std::memcpy(&copy, source, sizeof copy);
  VARTYPE vt = source->vt;
  if (vt & VT_BYREF) {
    // A reference is copied as a reference; the referenced value stays with its owner.
  } else if (vt & VT_ARRAY) {
    HRESULT hr = SafeArrayCopy(source->parray, &copy.parray);
    if (FAILED(hr)) return hr;
  } else if (vt == VT_BSTR) {
    if (source->bstrVal) {
      copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(source->bstrVal),
                                           SysStringByteLen(source->bstrVal));
      if (!copy.bstrVal) return E_OUTOFMEMORY;
    }
  } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
    if (source->punkVal) source->punkVal->AddRef();
  } else if ((vt & VT_TYPEMASK) > VT_UINT && vt != VT_DECIMAL) {
    return DISP_E_BADVARTYPE;
  }
  std::memcpy(destination, &copy, sizeof copy);
  return S_OK;
}
}  // namespace

extern "C" {
void VariantInit(VARIANT* value) {
  if (!value) return;
  std::memset(value, 0, sizeof *value);
  value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* value) {
  if (!value) return E_INVALIDARG;
  VARTYPE vt = value->vt;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      HRESULT hr = SafeArrayDestroy(value->parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(value->bstrVal);
    } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
      if (value->punkVal) value->punkVal->Release();
    }
  }
  VariantInit(value);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* destination, const VARIANT* source) {
  if (!destination || !source) return E_INVALIDARG;
  if (destination == source) return S_OK;
  VARIANT copy;
  HRESULT hr = CopyOwned(&copy, source);
  if (FAILED(hr)) return hr;
  VariantClear(destination);
  std::memcpy(destination, &copy, sizeof copy);
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* destination, const VARIANT* source) {
  if (!destination || !source) return E_INVALIDARG;
  if (!(source->vt & VT_BYREF)) return VariantCopy(destination, source);
  if (!source->byref) return E_INVALIDARG;
  VARTYPE vt = static_cast<VARTYPE>(source->vt & ~VT_BYREF);
  VARIANT plain;
  VariantInit(&plain);
  plain.vt = vt;
  if (vt == VT_VARIANT) return VariantCopyInd(destination, source->pvarVal);
  if (vt & VT_ARRAY) {
    plain.parray = *source->pparray;
  } else {
    switch (vt) {
      case VT_UI1: plain.bVal = *source->pbVal; break;
      case VT_I2: plain.iVal = *source->piVal; break;
      case VT_I4:
      case VT_ERROR: plain.lVal = *source->plVal; break;
      case VT_R8: plain.dblVal = *source->pdblVal; break;
      case VT_DATE: plain.date = *source->pdate; break;
      case VT_BOOL: plain.boolVal = *source->pboolVal; break;
      case VT_BSTR: plain.bstrVal = *source->pbstrVal; break;
      case VT_DISPATCH: plain.pdispVal = *source->ppdispVal; break;
      case VT_UNKNOWN: plain.punkVal = *source->ppunkVal; break;
      default: return DISP_E_BADVARTYPE;
    }
  }
  return VariantCopy(destination, &plain);
}
}
