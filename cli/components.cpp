#include "cli/components.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "cli/machine.h"
#include "driver/identifiers.h"
#include "platform/automation/errorinfo.h"
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

namespace vanto::cli {
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
    throw HostError(std::string("cannot find the module ") + m.file_name + " (looked at '" + m.built_path +
                    "' and next to the vanto program)");
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw HostError("cannot load " + path + ": " + dlerror());
  auto entry = reinterpret_cast<DllRegisterServerFunction>(dlsym(handle, "DllRegisterServer"));
  HRESULT hr = entry ? entry() : E_NOINTERFACE;
  std::string failure = FAILED(hr) ? Describe(hr) : "";
  dlclose(handle);
  if (!entry) throw HostError(path + " has no DllRegisterServer entry point");
  if (FAILED(hr)) throw HostError("registering " + path + " in " + RegistryLocation() + " failed: " + failure);
}

// Checked on every use: the registry is a file that may have changed since.
void PrepareModules() {
  for (const Module& m : kModules) {
    if (SUCCEEDED(Reachable(m.prog_id))) continue;
    Register(m);
    if (HRESULT hr = Reachable(m.prog_id); FAILED(hr))
      throw HostError("cannot load " + ToUtf8(m.prog_id) + " after registering it: " + Describe(hr));
  }
}

}  // namespace

std::string FindModule(const std::string& file_name, const std::string& built_path) {
  std::error_code ec;
  if (!built_path.empty() && std::filesystem::exists(built_path, ec)) return built_path;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    std::filesystem::path beside = self.parent_path() / file_name;
    if (std::filesystem::exists(beside, ec)) return beside.string();
  }
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

}  // namespace vanto::cli
