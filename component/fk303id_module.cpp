// The FK303ID module: serves the terminal control "FK303IDLib.FK303ID" (terminal/control) to
// hosts that find it through the registry, as the driver's terminal link does.
#include <string>
#include <vector>

#include "component/module_support.h"
#include "terminal/control/fk303id.h"

namespace {
std::vector<RegistryEntry> Entries() {
  return ClassEntries({CLSID_FK303ID, "FK303IDLib.FK303ID", "Apartment", nullptr}, ModuleFilePath());
}
}  // namespace

extern "C" {
VANTO_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_FK303ID) return CLASS_E_CLASSNOTAVAILABLE;
  return GetFK303IDClassObject(clsid, iid, object);
}
// The control counts its objects and server locks itself; the module's own count covers every
// other object whose code lives here.
VANTO_EXPORT HRESULT DllCanUnloadNow() {
  return FK303IDActiveCount() == 0 && ModuleCanUnloadNow() == S_OK ? S_OK : S_FALSE;
}
VANTO_EXPORT HRESULT DllRegisterServer() { return RegisterModule(Entries()); }
VANTO_EXPORT HRESULT DllUnregisterServer() { return UnregisterModule(Entries()); }
}
