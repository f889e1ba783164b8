#include "host/components.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <sstream>

#include "host/machine.h"
#include "host/message.h"
#include "driver/identifiers.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/module_resources.h"
#include "platform/automation/registry.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "platform/corvel/corvel.h"

#ifndef VANTO_BUILT_DRIVER_MODULE
#define VANTO_BUILT_DRIVER_MODULE ""
#endif
#ifndef VANTO_BUILT_CONTROL_MODULE
#define VANTO_BUILT_CONTROL_MODULE ""
#endif

namespace vanto::host {
namespace {

struct Module {
  const char16_t* prog_id;
  const char* file_name;
  const char* built_path;
};

const Module kModules[] = {
    {kProgIdClsMachine, "VANTO.so", VANTO_BUILT_DRIVER_MODULE},
    {kProgIdTerminalControl, "FK303ID.so", VANTO_BUILT_CONTROL_MODULE},
};

std::string Describe(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return ToUtf8(TakeErrorDescription(hr)) + " (" + code + ")";
}

// Whether the runtime can hand out the class's factory (which loads its module).
HRESULT Reachable(const char16_t* prog_id) {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(prog_id, &clsid);
  if (FAILED(hr)) return hr;
  ComPtr<IClassFactory> factory;
  return CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                          reinterpret_cast<void**>(factory.Put()));
}

// Lets the module record itself in the user's registry (its DllRegisterServer).
void Register(const Module& m) {
  std::string path = FindModule(m.file_name, m.built_path);
  if (path.empty())
    throw HostError(Message("cannot find the module {0} (looked in {1}, next to the vanto program and at '{2}')",
                           {m.file_name, (ProgramDirectory().parent_path() / "lib" / "vanto").string(), m.built_path}));
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw HostError(Message("cannot load the module {0}: {1}", {path, dlerror()}));
  auto entry = reinterpret_cast<DllRegisterServerFunction>(dlsym(handle, "DllRegisterServer"));
  HRESULT hr = entry ? entry() : E_NOINTERFACE;
  std::string failure = FAILED(hr) ? Describe(hr) : "";
  dlclose(handle);
  if (!entry) throw HostError(Message("the module {0} has no DllRegisterServer entry point", {path}));
  if (FAILED(hr)) throw HostError(Message("registering {0} in {1} failed: {2}", {path, RegistryLocation(), failure}));
}

// Checked on every use: the registry is a file that may have changed since.
void PrepareModules() {
  // A damaged registry is never overwritten: say how to recover instead of failing registration.
  RegistryHive hive;
  if (HRESULT hr = LoadRegistry(&hive); FAILED(hr)) {
    std::string location = RegistryLocation();
    throw HostError(Message("the component registry {0} cannot be read: {1}. To recover, move it aside "
                           "(mv {0} {0}.damaged) and run vanto again: the modules register themselves anew",
                           {location, Describe(hr)}));
  }
  for (const Module& m : kModules) {
    if (SUCCEEDED(Reachable(m.prog_id))) continue;
    Register(m);
    if (HRESULT hr = Reachable(m.prog_id); FAILED(hr))
      throw HostError(Message("cannot load {0} after registering it: {1}", {ToUtf8(m.prog_id), Describe(hr)}));
  }
}

}  // namespace

std::filesystem::path ProgramDirectory() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self.parent_path();
}

std::string FindModule(const std::string& file_name, const std::string& built_path) {
  std::error_code ec;
  // An installed vanto (PREFIX/bin) takes the modules installed with it (PREFIX/lib/vanto), from
  // whatever folder it runs in; a vanto in the build tree takes the modules built with it.
  std::filesystem::path dir = ProgramDirectory();
  if (!dir.empty()) {
    for (const std::filesystem::path& candidate : {dir.parent_path() / "lib" / "vanto" / file_name, dir / file_name})
      if (std::filesystem::exists(candidate, ec)) return candidate.string();
  }
  if (!built_path.empty() && std::filesystem::exists(built_path, ec)) return built_path;
  return {};
}

std::vector<ModuleFile> HostModules() {
  std::vector<ModuleFile> modules;
  for (const Module& m : kModules) modules.push_back({ToUtf8(m.prog_id), m.file_name, FindModule(m.file_name, m.built_path)});
  return modules;
}

void PrepareComponents() {
  // Each thread that talks to the driver has its own apartment.
  thread_local bool apartment = false;
  if (!apartment) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) throw HostError("cannot set up the component runtime: " + Describe(hr));
    apartment = true;
  }
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (HRESULT hr = RegisterCorvelClasses(); FAILED(hr))  // idempotent
    throw HostError("cannot register the host's record classes: " + Describe(hr));
  PrepareModules();
}

std::string ModuleVersionText(const std::string& path) {
  std::string data;
  if (HRESULT hr = ReadModuleResource(path, "VERSION", 1, &data); FAILED(hr)) {
    std::string why = ToUtf8(TakeErrorDescription(hr));
    return hr == HRESULT_RESOURCE_NOT_FOUND ? "no version resource" : "version unreadable: " + why;
  }
  std::istringstream lines(data);
  std::string line, product;
  while (std::getline(lines, line)) {
    if (line.rfind("FileVersion=", 0) == 0) return line.substr(12);
    if (line.rfind("PRODUCTVERSION ", 0) == 0) product = line.substr(15);
  }
  return product.empty() ? "no version text in its version resource" : product;
}

}  // namespace vanto::host
