// The three modules follow one rule: a server lock is taken and given back through any of their
// factories, an unlock without a lock is refused and never drives the count below zero, and
// DllCanUnloadNow answers S_OK exactly when no object of the module is alive and no lock is held.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/identifiers.h"
#include "platform/automation/owners.h"
#include "platform/corvel/corvel.h"
#include "terminal/contract/fk303id_contract.h"

namespace {

struct ModuleCase {
  std::string path;
  CLSID clsid;
};

std::vector<ModuleCase> Modules() {
  std::vector<ModuleCase> modules = {{VANTO_MODULE_PATH, CLSID_clsMachine}, {CORVEL_MODULE_PATH, CLSID_CardRecord}};
#ifdef FK303ID_MODULE_PATH
  modules.push_back({FK303ID_MODULE_PATH, fk303id::kClsid});
#endif
  return modules;
}

class LoadedModule {
 public:
  explicit LoadedModule(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  ~LoadedModule() {
    if (handle_) ::dlclose(handle_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  HRESULT CanUnloadNow() const {
    auto function = reinterpret_cast<HRESULT (*)()>(::dlsym(handle_, "DllCanUnloadNow"));
    return function ? function() : E_FAIL;
  }
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object) const {
    auto function = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(::dlsym(handle_, "DllGetClassObject"));
    return function ? function(clsid, iid, object) : E_FAIL;
  }

 private:
  void* handle_;
};

TEST(UnloadRule, EveryModuleLocksCountsAndAnswersAlike) {
  for (const ModuleCase& module : Modules()) {
    SCOPED_TRACE(module.path);
    LoadedModule loaded(module.path);
    ASSERT_TRUE(loaded.Loaded()) << ::dlerror();
    ASSERT_EQ(loaded.CanUnloadNow(), S_OK) << "nothing of the module is in use yet";

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(loaded.GetClassObject(module.clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())), S_OK);
    EXPECT_EQ(loaded.CanUnloadNow(), S_FALSE) << "the factory is alive";
    EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED) << "an unlock without a lock";
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(loaded.CanUnloadNow(), S_FALSE) << "a lock is held";

    ASSERT_EQ(loaded.GetClassObject(module.clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())), S_OK);
    ComPtr<IDispatch> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(object.Put())), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED) << "the refused unlock did not count";
    factory.Reset();
    EXPECT_EQ(loaded.CanUnloadNow(), S_FALSE) << "an object is alive";
    object.Reset();
    EXPECT_EQ(loaded.CanUnloadNow(), S_OK) << "no object, no lock";
  }
}

TEST(UnloadRule, EntryPointsRefuseBadArgumentsWithoutThrowing) {
  for (const ModuleCase& module : Modules()) {
    SCOPED_TRACE(module.path);
    LoadedModule loaded(module.path);
    ASSERT_TRUE(loaded.Loaded()) << ::dlerror();
    EXPECT_EQ(loaded.GetClassObject(module.clsid, IID_IClassFactory, nullptr), E_POINTER);
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(loaded.GetClassObject(IID_IDispatch, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
  }
}

}  // namespace
