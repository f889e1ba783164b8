// The FK303ID module: serves the terminal control "FK303IDLib.FK303ID" (terminal/control) to
// hosts that find it through the registry, as the driver's terminal link does, and registers the
// interface description it carries (TYPELIB 1), so that hosts binding early and object browsers
// find the control's members.
#include <string>
#include <vector>

#include "component/module_support.h"
#include "terminal/control/fk303id.h"

namespace {
std::vector<RegistryEntry> Entries() {
  const std::string path = ModuleFilePath();
  std::vector<RegistryEntry> entries =
      ClassEntries({CLSID_FK303ID, fk303id::kProgIdText, "Apartment", &LIBID_FK303IDLib}, path);
  auto typeLib = TypeLibEntries({LIBID_FK303IDLib, "1.0", "FK303IDLib", {{DIID__DFK303ID, "_DFK303ID"}}}, path);
  entries.insert(entries.end(), typeLib.begin(), typeLib.end());
  return entries;
}
}  // namespace

extern "C" {
VANTO_EXPORT HRESULT VANTO_API_CALL DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  return GuardBoundary(fk303id::kProgId, [&] {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_FK303ID) return CLASS_E_CLASSNOTAVAILABLE;
    return GetFK303IDClassObject(clsid, iid, object);
  });
}
// The control's objects and factories are this module's code (counted by the module); the
// control keeps the server locks taken on its factory, which count too.
VANTO_EXPORT HRESULT VANTO_API_CALL DllCanUnloadNow() {
  return GuardBoundary(fk303id::kProgId, [] { return ModuleCanUnloadNow(FK303IDActiveCount()); });
}
VANTO_EXPORT HRESULT VANTO_API_CALL DllRegisterServer() {
  return GuardBoundary(fk303id::kProgId, [] { return RegisterModule(Entries()); });
}
VANTO_EXPORT HRESULT VANTO_API_CALL DllUnregisterServer() {
  return GuardBoundary(fk303id::kProgId, [] { return UnregisterModule(Entries()); });
}
}
