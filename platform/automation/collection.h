// The runtime's Collection: an ordered list of variants (object references, as the driver uses it).
#pragma once

#include "platform/automation/abi.h"
#include "platform/automation/owners.h"

inline constexpr IID IID__Collection{0xA4C46780, 0x499F, 0x101B, {0xBB, 0x78, 0x00, 0xAA, 0x00, 0x38, 0x3C, 0xBB}};

// Dispatch members: Item 0 (default), Add 1, Count 2, Remove 3, _NewEnum -4.
struct _Collection : IDispatch {
  // 1-based position; an index outside 1..Count answers DISP_E_BADINDEX ("下标越界").
  virtual HRESULT STDMETHODCALLTYPE Item(VARIANT* index, VARIANT* result) = 0;
  // Only `item` given (the others missing, VT_ERROR DISP_E_PARAMNOTFOUND): appends at the end.
  // `before`/`after` given as a 1-based position insert there; keys are not supported.
  virtual HRESULT STDMETHODCALLTYPE Add(VARIANT* item, VARIANT* key, VARIANT* before, VARIANT* after) = 0;
  virtual HRESULT STDMETHODCALLTYPE Count(LONG* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove(VARIANT* index) = 0;
  virtual HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** enumerator) = 0;
};

// A new, empty Collection (one reference, owned by the caller).
VANTO_EXPORT ComPtr<_Collection> CreateCollection();

// The "missing" marker for an optional argument.
inline Variant MissingArgument() { return Variant::Error(DISP_E_PARAMNOTFOUND); }

// Appends `item` at the end of `list`, as Add with only the item does.
VANTO_EXPORT HRESULT AppendToCollection(_Collection* list, IDispatch* item);
