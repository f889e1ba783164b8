// The component runtime: creating objects by class identifier or class name.
// Classes come from the process's own table of class factories (registered in-process, as
// tests and statically linked hosts do); the file-backed registry extends this lookup.
#pragma once

#include <string>
#include <string_view>

#include "platform/automation/abi.h"
#include "platform/automation/owners.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_ALL = 0x17;

// Adds a class to the in-process table under its identifier and class name (ProgID).
// The table holds a reference on `factory` until the class is revoked.
VANTO_EXPORT HRESULT RegisterInProcessClass(REFCLSID clsid, std::u16string_view progId, IClassFactory* factory);
VANTO_EXPORT HRESULT RevokeInProcessClass(REFCLSID clsid);

extern "C" {
VANTO_EXPORT HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid);
VANTO_EXPORT HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID iid, void** object);
VANTO_EXPORT HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);
}

// Creates an object by class name and asks it for `iid`.
VANTO_EXPORT HRESULT CreateObjectByProgId(std::u16string_view progId, REFIID iid, void** object);

// Text form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} of a GUID, and back.
VANTO_EXPORT std::u16string GuidToString(REFGUID guid);
VANTO_EXPORT bool GuidFromString(std::u16string_view text, GUID* guid);
