// The component runtime on Windows: classes are the system's (ole32); the in-process table of
// the Linux runtime maps onto the system's table of registered class objects.
#include <map>
#include <mutex>

#include "platform/automation/runtime.h"
#include "platform/automation/win/system_win.h"

extern "C" {
// ole32, declared with our types (see abi.h).
__declspec(dllimport) HRESULT __stdcall CoRegisterClassObject(REFCLSID clsid, IUnknown* unknown, DWORD context,
                                                              DWORD flags, DWORD* cookie);
__declspec(dllimport) HRESULT __stdcall CoRevokeClassObject(DWORD cookie);
__declspec(dllimport) HRESULT __stdcall CoGetApartmentType(int* type, int* qualifier);
}

namespace {
constexpr DWORD kRegisterMultipleUse = 1;  // REGCLS_MULTIPLEUSE

struct Cookies {
  std::mutex lock;
  std::map<std::u16string, DWORD> byClass;
};
Cookies& Table() {
  static Cookies table;
  return table;
}
}  // namespace

HRESULT RegisterInProcessClass(REFCLSID clsid, std::u16string_view, IClassFactory* factory) {
  if (!factory) return E_POINTER;
  RevokeInProcessClass(clsid);
  DWORD cookie = 0;
  HRESULT hr = CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, kRegisterMultipleUse, &cookie);
  if (FAILED(hr)) return hr;
  std::lock_guard guard(Table().lock);
  Table().byClass[GuidToString(clsid)] = cookie;
  return S_OK;
}

HRESULT RevokeInProcessClass(REFCLSID clsid) {
  DWORD cookie = 0;
  {
    std::lock_guard guard(Table().lock);
    auto found = Table().byClass.find(GuidToString(clsid));
    if (found == Table().byClass.end()) return REGDB_E_CLASSNOTREG;
    cookie = found->second;
    Table().byClass.erase(found);
  }
  return CoRevokeClassObject(cookie);
}

bool IsApartmentInitialized() {
  int type = 0, qualifier = 0;
  return CoGetApartmentType(&type, &qualifier) == S_OK;
}

std::vector<std::string> LoadedModules() { return {}; }

bool ReleaseBeforeApartmentEnds(void (*release)()) { return vanto::win::NoticeApartmentEnd(release); }
