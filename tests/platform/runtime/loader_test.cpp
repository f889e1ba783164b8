// Creating objects through the registry: loading the module a class names, the failures of a
// missing or broken module, unloading unused modules, class names, and per-thread apartments.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/stage_signal.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/module_resources.h"
#include "platform/automation/object.h"
#include "platform/automation/registry.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "tests/platform/runtime/temp_registry.h"
#include "tests/platform/runtime/test_module.h"

namespace {
const std::string kModule = TEST_MODULE_PATH;
const std::string kBrokenModule = BROKEN_MODULE_PATH;

std::string Description(HRESULT hr) { return ToUtf8(TakeErrorDescription(hr)); }

bool IsLoaded(const std::string& path) {
  for (const auto& loaded : LoadedModules())
    if (loaded == path) return true;
  return false;
}

// Registers the test module by calling its own DllRegisterServer.
void RegisterTestModule() {
  void* handle = ::dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  auto registerServer = reinterpret_cast<DllRegisterServerFunction>(::dlsym(handle, "DllRegisterServer"));
  ASSERT_NE(registerServer, nullptr);
  ASSERT_EQ(registerServer(), S_OK);
  ::dlclose(handle);
}

void RegisterClassAt(REFCLSID clsid, const std::string& path) {
  std::string key = "CLSID\\" + ToUtf8(GuidToString(clsid));
  ASSERT_EQ(RegisterServerEntries({{key, "", "x"}, {key + "\\InprocServer32", "", path}}), S_OK);
}

LONG CallCounter(IDispatch* counter) {
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(counter->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
  return result.lVal;
}

class Loader : public ::testing::Test {
 protected:
  void TearDown() override {
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(kModule));
  }
  TempRegistry registry_;
};

TEST_F(Loader, CreatesARegisteredClassByClassNameAndUnloadsItsModuleWhenUnused) {
  RegisterTestModule();
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(u"runtimetest.COUNTER", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_RuntimeTestCounter);

  ComPtr<IDispatch> counter;
  ASSERT_EQ(CreateObjectByProgId(u"RuntimeTest.Counter", IID_IDispatch, reinterpret_cast<void**>(counter.Put())), S_OK);
  EXPECT_EQ(CallCounter(counter.Get()), 1);
  EXPECT_TRUE(IsLoaded(kModule));
  CoFreeUnusedLibraries();
  EXPECT_TRUE(IsLoaded(kModule)) << "unloaded while an object is alive";

  // A second object comes from the module already loaded.
  ComPtr<IDispatch> second;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             reinterpret_cast<void**>(second.Put())),
            S_OK);
  EXPECT_EQ(LoadedModules().size(), 1u);
  counter.Reset();
  second.Reset();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(IsLoaded(kModule));
}

TEST_F(Loader, AFactoryLockKeepsTheModuleLoaded) {
  RegisterTestModule();
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_RuntimeTestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.Put())),
            S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.Reset();
  CoFreeUnusedLibraries();
  EXPECT_TRUE(IsLoaded(kModule));
  ASSERT_EQ(CoGetClassObject(CLSID_RuntimeTestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.Put())),
            S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
}

TEST_F(Loader, UnregisteredClassesAndNamesAreReportedAsSuch) {
  ComPtr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(CLSID_RuntimeTestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(object.Put())),
            REGDB_E_CLASSNOTREG);
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"RuntimeTest.Counter", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(u"Evil\\CLSID", &clsid), CO_E_CLASSSTRING);

  // Registered and then unregistered.
  RegisterTestModule();
  void* handle = ::dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto unregisterServer = reinterpret_cast<DllUnregisterServerFunction>(::dlsym(handle, "DllUnregisterServer"));
  ASSERT_EQ(unregisterServer(), S_OK);
  ::dlclose(handle);
  EXPECT_EQ(CoCreateInstance(CLSID_RuntimeTestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(object.Put())),
            REGDB_E_CLASSNOTREG);
  RegistryHive hive;
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  EXPECT_EQ(hive, RegistryHive()) << hive.Serialize();
}

TEST_F(Loader, BadModulesFailWithADescriptionNamingTheFile) {
  std::string missing = (registry_.Directory() / "missing.so").string();
  std::string notElf = (registry_.Directory() / "text.so").string();
  std::ofstream(notElf) << "not a module";
  struct Case {
    std::string path;
    HRESULT code;
  } cases[] = {
      {missing, CO_E_DLLNOTFOUND},
      {notElf, CO_E_ERRORINDLL},
      {kBrokenModule, CO_E_ERRORINDLL},  // Loads, but has no DllGetClassObject.
  };
  for (const auto& c : cases) {
    RegisterClassAt(CLSID_RuntimeTestCounter, c.path);
    ComPtr<IUnknown> object;
    HRESULT hr = CoCreateInstance(CLSID_RuntimeTestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(object.Put()));
    EXPECT_EQ(hr, c.code) << c.path;
    EXPECT_NE(Description(hr).find(c.path), std::string::npos) << c.path;
    EXPECT_FALSE(object);
  }
  EXPECT_TRUE(LoadedModules().empty());
}

TEST_F(Loader, AClassTheModuleDoesNotServeIsNotAvailable) {
  constexpr CLSID other{0x6A0F3E52, 0x2C7B, 0x4D8E, {0x91, 0x0A, 0x3B, 0x5C, 0x7D, 0x2E, 0x4F, 0x60}};
  RegisterClassAt(other, kModule);
  ComPtr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(other, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(object.Put())),
            CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(Loader, ADamagedRegistryIsReportedNotTakenAsUnregistered) {
  registry_.Write("garbage\n");
  ComPtr<IUnknown> object;
  HRESULT hr = CoCreateInstance(CLSID_RuntimeTestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void**>(object.Put()));
  EXPECT_EQ(hr, REGDB_E_READREGDB);
  EXPECT_NE(Description(hr).find(registry_.Path()), std::string::npos);
}

TEST_F(Loader, ClassesInTheProcessTableComeFirst) {
  RegisterTestModule();
  class Local final : public ComObject<IClassFactory> {
   public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** object) override {
      *object = nullptr;
      return E_ABORT;  // Marks that this factory answered.
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

   protected:
    bool Implements(REFIID iid) const override { return iid == IID_IClassFactory; }
  };
  auto local = ComPtr<IClassFactory>::Adopt(new Local);
  ASSERT_EQ(RegisterInProcessClass(CLSID_RuntimeTestCounter, u"Local.Counter", local.Get()), S_OK);
  ComPtr<IUnknown> object;
  EXPECT_EQ(CreateObjectByProgId(u"Local.Counter", IID_IUnknown, reinterpret_cast<void**>(object.Put())), E_ABORT);
  EXPECT_EQ(CreateObjectByProgId(u"RuntimeTest.Counter", IID_IUnknown, reinterpret_cast<void**>(object.Put())),
            E_ABORT);
  EXPECT_FALSE(IsLoaded(kModule));
  ASSERT_EQ(RevokeInProcessClass(CLSID_RuntimeTestCounter), S_OK);
}

// A thread keeps per-thread state of the module past the module's unloading: the state's
// destructor runs at thread exit without a crash, and the module can be loaded again afterwards.
// Runs in a fresh process, so that no other thread (the main thread above all) holds state of the
// module that would keep it loaded anyway.
void UnloadWhileAThreadHoldsState(const std::filesystem::path& scratch) {
  static std::atomic<long> exitedWithCalls{-1};
  auto check = [](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "failed: %s\n", what);
      std::_Exit(1);
    }
  };
  {
    // Let the runtime load the module, then reach its extra export without keeping a reference.
    ComPtr<IClassFactory> factory;
    check(SUCCEEDED(CoGetClassObject(CLSID_RuntimeTestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory.Put()))),
          "module loaded");
    void* handle = ::dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    check(handle != nullptr, "module handle");
    auto setHook = reinterpret_cast<TestModuleSetThreadExitHookFunction>(::dlsym(handle, "TestModuleSetThreadExitHook"));
    check(setHook != nullptr, "hook export");
    setHook([](long calls) { exitedWithCalls = calls; });
    ::dlclose(handle);
  }
  StageSignal stages;
  auto waitFor = [&](int wanted) { return stages.WaitFor(wanted); };
  auto advance = [&](int to) { stages.Advance(to); };
  std::thread worker([&] {
    {
      ComPtr<IDispatch> counter;
      if (SUCCEEDED(CreateObjectByProgId(u"RuntimeTest.Counter", IID_IDispatch,
                                         reinterpret_cast<void**>(counter.Put())))) {
        CallCounter(counter.Get());
        CallCounter(counter.Get());
      }
    }  // Object gone; the thread's state in the module stays.
    advance(1);
    waitFor(2);
  });
  check(waitFor(1), "worker started");
  CoFreeUnusedLibraries();  // The module says it can go: no object, no lock.
  check(!IsLoaded(kModule), "module unloaded");
  advance(2);
  worker.join();
  check(exitedWithCalls == 2, "thread state destroyed at thread exit");

  std::thread([&] {
    ComPtr<IDispatch> again;
    check(SUCCEEDED(CreateObjectByProgId(u"RuntimeTest.Counter", IID_IDispatch,
                                         reinterpret_cast<void**>(again.Put()))),
          "created again");
    check(CallCounter(again.Get()) == 1, "fresh thread state");
  }).join();
  check(exitedWithCalls == 1, "second thread state destroyed");
  CoFreeUnusedLibraries();
  std::filesystem::remove_all(scratch);  // This process ends here; its registry goes with it.
  std::exit(0);
}

TEST_F(Loader, PerThreadStateOutlivesUnloadingTheModule) {
  RegisterTestModule();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(UnloadWhileAThreadHoldsState(registry_.Directory()), ::testing::ExitedWithCode(0), "");
}

TEST(Apartment, InitialisesPerThreadAndCountsNesting) {
  std::thread([] {
    EXPECT_FALSE(IsApartmentInitialized());
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    std::thread([] { EXPECT_FALSE(IsApartmentInitialized()); }).join();
    CoUninitialize();
    EXPECT_TRUE(IsApartmentInitialized());
    CoUninitialize();
    EXPECT_FALSE(IsApartmentInitialized());
    CoUninitialize();  // Unbalanced: no effect.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  }).join();
}
}  // namespace
