// Bytes as a variant: the one-dimensional VT_ARRAY|VT_UI1 byte array that binary columns and
// AppendChunk exchange.
#pragma once

#include <span>
#include <vector>

#include "platform/automation/abi.h"
#include "platform/automation/owners.h"

// A VT_ARRAY|VT_UI1 variant holding a copy of `bytes` (VT_EMPTY when memory runs out).
Variant MakeByteArray(std::span<const BYTE> bytes);
// The bytes of a one-dimensional VT_ARRAY|VT_UI1 variant (also through VT_BYREF);
// DISP_E_TYPEMISMATCH for anything else. `bytes` is untouched on failure.
HRESULT ReadByteArray(const VARIANT& value, std::vector<BYTE>* bytes);
