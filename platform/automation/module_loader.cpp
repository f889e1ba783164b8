// Loading in-process server modules named by the registry, and unloading them when they say
// they can go.
#include "platform/automation/module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/automation/errorinfo.h"
#include "platform/automation/registry.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"

namespace {
struct LoadedModule {
  std::string path;
  void* handle;
  DllGetClassObjectFunction getClassObject;
  DllCanUnloadNowFunction canUnloadNow;  // May be null: such a module stays loaded.
};

struct ModuleTable {
  // Recursive: a module's DllGetClassObject or library entry may itself create objects.
  std::recursive_mutex lock;
  std::vector<LoadedModule> modules;
};

// Never destroyed: modules stay mapped until the process ends, whatever order statics go in.
ModuleTable& Modules() {
  static ModuleTable* table = new ModuleTable;
  return *table;
}

constexpr char16_t kSource[] = u"VANTO 组件运行库";

std::string ClassKey(REFCLSID clsid) { return "CLSID\\" + ToUtf8(GuidToString(clsid)); }

HRESULT LoadModule(const std::string& path, LoadedModule** loaded) {
  auto& table = Modules();
  for (auto& module : table.modules) {
    if (module.path == path) {
      *loaded = &module;
      return S_OK;
    }
  }
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    std::string reason = why ? why : "未知原因";
    if (::access(path.c_str(), F_OK) != 0)
      return RaiseError(CO_E_DLLNOTFOUND, ToUtf16("找不到组件模块 " + path + "：" + reason), kSource);
    return RaiseError(CO_E_ERRORINDLL, ToUtf16("无法加载组件模块 " + path + "：" + reason), kSource);
  }
  // The same file under another name is the same module.
  for (auto& module : table.modules) {
    if (module.handle == handle) {
      ::dlclose(handle);
      *loaded = &module;
      return S_OK;
    }
  }
  auto getClassObject = reinterpret_cast<DllGetClassObjectFunction>(::dlsym(handle, "DllGetClassObject"));
  if (!getClassObject) {
    ::dlclose(handle);
    return RaiseError(CO_E_ERRORINDLL, ToUtf16("组件模块 " + path + " 没有入口 DllGetClassObject"), kSource);
  }
  auto canUnloadNow = reinterpret_cast<DllCanUnloadNowFunction>(::dlsym(handle, "DllCanUnloadNow"));
  table.modules.push_back({path, handle, getClassObject, canUnloadNow});
  *loaded = &table.modules.back();
  return S_OK;
}
}  // namespace

HRESULT GetRegisteredClassObject(REFCLSID clsid, REFIID iid, void** object) {
  *object = nullptr;
  RegistryHive hive;
  HRESULT hr = LoadRegistry(&hive);
  if (FAILED(hr)) return hr;
  std::string key = ClassKey(clsid);
  const std::string* server = hive.Find(key + "\\InprocServer32");
  if (!server || server->empty()) return REGDB_E_CLASSNOTREG;

  std::lock_guard guard(Modules().lock);
  LoadedModule* module = nullptr;
  hr = LoadModule(*server, &module);
  if (FAILED(hr)) return hr;
  DllGetClassObjectFunction getClassObject = module->getClassObject;  // The table may grow meanwhile.
  hr = getClassObject(clsid, iid, object);
  if (FAILED(hr)) *object = nullptr;
  return hr;
}

HRESULT CLSIDFromRegisteredProgID(std::u16string_view progId, CLSID* clsid) {
  RegistryHive hive;
  HRESULT hr = LoadRegistry(&hive);
  if (FAILED(hr)) return hr;
  std::string name = ToUtf8(progId);
  if (name.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
  const std::string* text = hive.Find(name + "\\CLSID");
  if (!text || !GuidFromString(ToUtf16(*text), clsid)) return CO_E_CLASSSTRING;
  return S_OK;
}

extern "C" void CoFreeUnusedLibraries() {
  auto& table = Modules();
  std::lock_guard guard(table.lock);
  for (std::size_t i = 0; i < table.modules.size();) {
    LoadedModule module = table.modules[i];
    if (module.canUnloadNow && module.canUnloadNow() == S_OK) {
      table.modules.erase(table.modules.begin() + static_cast<std::ptrdiff_t>(i));
      ::dlclose(module.handle);
    } else {
      ++i;
    }
  }
}

std::vector<std::string> LoadedModules() {
  auto& table = Modules();
  std::lock_guard guard(table.lock);
  std::vector<std::string> paths;
  for (const auto& module : table.modules) paths.push_back(module.path);
  return paths;
}
