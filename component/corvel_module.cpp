// The Corvel module: serves the host interface library's record classes (MachineInfo,
// CardRecord) from libvanto_corvel, so that a host creates them through registrations alone.
// The objects' code lives in libvanto_corvel, which counts its live objects and server locks; the
// module answers DllCanUnloadNow by the same rule as the others, with those counts.
#include <string>
#include <vector>

#include "component/module_support.h"
#include "platform/corvel/corvel.h"

namespace {
constexpr char16_t kSource[] = u"Corvel";

std::vector<RegistryEntry> Entries() {
  std::string path = ModuleFilePath();
  std::vector<RegistryEntry> entries = ClassEntries({CLSID_MachineInfo, "Corvel.MachineInfo", "Apartment", &LIBID_Corvel}, path);
  auto card = ClassEntries({CLSID_CardRecord, "Corvel.CardRecord", "Apartment", &LIBID_Corvel}, path);
  entries.insert(entries.end(), card.begin(), card.end());
  auto typeLib = TypeLibEntries({LIBID_Corvel, "1.1", "Corvel",
                                 {{IID_IMachine, "IMachine"}, {IID_IMachineInfo, "IMachineInfo"},
                                  {IID_ICardRecord, "ICardRecord"}}},
                                path);
  entries.insert(entries.end(), typeLib.begin(), typeLib.end());
  return entries;
}
}  // namespace

extern "C" {
VANTO_EXPORT HRESULT VANTO_API_CALL DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  return GuardBoundary(kSource, [&] {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_MachineInfo && clsid != CLSID_CardRecord) return CLASS_E_CLASSNOTAVAILABLE;
    return GetCorvelClassObject(clsid, iid, object);
  });
}
// The records and their factories live in libvanto_corvel, which counts them (and its server
// locks) for this module.
VANTO_EXPORT HRESULT VANTO_API_CALL DllCanUnloadNow() {
  return GuardBoundary(kSource, [] { return ModuleCanUnloadNow(CorvelActiveCount()); });
}
VANTO_EXPORT HRESULT VANTO_API_CALL DllRegisterServer() {
  return GuardBoundary(kSource, [] { return RegisterModule(Entries()); });
}
VANTO_EXPORT HRESULT VANTO_API_CALL DllUnregisterServer() {
  return GuardBoundary(kSource, [] { return UnregisterModule(Entries()); });
}
}
