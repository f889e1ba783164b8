// The VANTO module: its library entry and its four entry points. It serves one class,
// clsMachine, and registers it with its interface description.
//
// Per-process data is set up when the module is loaded and torn down when it is unloaded.
// Per-thread data (the thread's terminal link) is created on a thread's first terminal operation
// and destroyed when the thread ends; the C library keeps the module mapped until every thread's
// destructors of it have run, so unloading while threads still hold links is safe.
#include <mutex>
#include <string>

#include "component/module_support.h"
#include "component/vanto_module.h"
#include "driver/clsMachine.h"
#include "driver/identifiers.h"
#include "platform/corvel/corvel.h"

namespace {
constexpr char16_t kSource[] = u"VANTO.clsMachine";

// Per-process data of the module.
struct ProcessData {
  std::string path;  // The module's own file, as it registers itself.
};
ProcessData* process = nullptr;

__attribute__((constructor)) void LibraryLoaded() { process = new ProcessData{ModuleFilePath()}; }
__attribute__((destructor)) void LibraryUnloaded() {
  delete process;
  process = nullptr;
}

const std::string& ModulePath() {
  // Entry points may in principle run before the constructor on some loaders; fall back.
  static const std::string fallback = ModuleFilePath();
  return process ? process->path : fallback;
}

HRESULT CreateMachine(REFIID iid, void** object) {
  ComPtr<IMachine> machine = CreateClsMachine();
  if (!machine) return E_OUTOFMEMORY;
  return machine->QueryInterface(iid, object);
}
}  // namespace

std::vector<RegistryEntry> VantoRegistryEntries(const std::string& modulePath) {
  std::vector<RegistryEntry> entries =
      ClassEntries({CLSID_clsMachine, "VANTO.clsMachine", "Apartment", &LIBID_VANTO}, modulePath);
  auto typeLib = TypeLibEntries({LIBID_VANTO, "1.0", "VANTO", {{IID__clsMachine, "_clsMachine"}}}, modulePath);
  entries.insert(entries.end(), typeLib.begin(), typeLib.end());
  return entries;
}

extern "C" {
VANTO_EXPORT HRESULT VANTO_API_CALL DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  return GuardBoundary(kSource, [&] {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_clsMachine) return CLASS_E_CLASSNOTAVAILABLE;
    return HandOutFactory(&CreateMachine, kSource, iid, object);
  });
}

VANTO_EXPORT HRESULT VANTO_API_CALL DllCanUnloadNow() {
  return GuardBoundary(kSource, [] { return ModuleCanUnloadNow(); });
}

VANTO_EXPORT HRESULT VANTO_API_CALL DllRegisterServer() {
  return GuardBoundary(kSource, [] { return RegisterModule(VantoRegistryEntries(ModulePath())); });
}

VANTO_EXPORT HRESULT VANTO_API_CALL DllUnregisterServer() {
  return GuardBoundary(kSource, [] { return UnregisterModule(VantoRegistryEntries(ModulePath())); });
}
}
