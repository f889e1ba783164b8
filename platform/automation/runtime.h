// The component runtime: creating objects by class identifier or class name.
// Classes come from the process's own table of class factories (registered in-process, as
// tests and statically linked hosts do), and then from the file-backed registry (registry.h),
// whose in-process servers are modules loaded on demand (module_loader.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/abi.h"
#include "platform/automation/owners.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_ALL = 0x17;
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr HRESULT RPC_E_CHANGED_MODE = MakeHResult(0x80010106);

// The four entry points of an in-process server module, as the runtime calls them.
using DllGetClassObjectFunction = HRESULT(VANTO_API_CALL*)(REFCLSID clsid, REFIID iid, void** object);
using DllCanUnloadNowFunction = HRESULT(VANTO_API_CALL*)();
using DllRegisterServerFunction = HRESULT(VANTO_API_CALL*)();
using DllUnregisterServerFunction = HRESULT(VANTO_API_CALL*)();

// Adds a class to the in-process table under its identifier and class name (ProgID).
// The table holds a reference on `factory` until the class is revoked.
VANTO_EXPORT HRESULT RegisterInProcessClass(REFCLSID clsid, std::u16string_view progId, IClassFactory* factory);
VANTO_EXPORT HRESULT RevokeInProcessClass(REFCLSID clsid);

extern "C" {
VANTO_SYSTEM_API HRESULT VANTO_API_CALL CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID iid, void** object);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);

// Per-thread apartment: the first call on a thread answers S_OK, later ones S_FALSE (each
// to be balanced by CoUninitialize); asking for another threading model than the thread's
// answers RPC_E_CHANGED_MODE.
VANTO_SYSTEM_API HRESULT VANTO_API_CALL CoInitialize(void* reserved);
VANTO_SYSTEM_API HRESULT VANTO_API_CALL CoInitializeEx(void* reserved, DWORD model);
VANTO_SYSTEM_API void VANTO_API_CALL CoUninitialize();
// Unloads every loaded module whose DllCanUnloadNow answers S_OK.
VANTO_SYSTEM_API void VANTO_API_CALL CoFreeUnusedLibraries();
}

// Whether the calling thread's apartment is initialised.
VANTO_EXPORT bool IsApartmentInitialized();
// Has `release` called once when the calling thread's apartment is about to end (in its last
// CoUninitialize, before the apartment goes), so that what the thread keeps of the apartment's
// objects goes while they can still be released; a later call on the same thread replaces
// `release`. Answers whether the notice is taken. On Windows a thread's end runs thread-local
// destructors inside the system's module notifications (loader lock held, modules possibly
// already unloaded), where calling into another module can hang or crash; on Linux those
// destructors run as ordinary code, and nothing is registered (answers false).
VANTO_EXPORT bool ReleaseBeforeApartmentEnds(void (*release)());
// Paths of the modules the runtime has loaded and not yet unloaded.
VANTO_EXPORT std::vector<std::string> LoadedModules();

// Creates an object by class name and asks it for `iid`.
VANTO_EXPORT HRESULT CreateObjectByProgId(std::u16string_view progId, REFIID iid, void** object);

// Text form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} of a GUID, and back.
VANTO_EXPORT std::u16string GuidToString(REFGUID guid);
VANTO_EXPORT bool GuidFromString(std::u16string_view text, GUID* guid);
