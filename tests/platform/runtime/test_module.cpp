// A minimal in-process server module for the runtime's own tests: one class ("RuntimeTest.Counter",
// an IDispatch whose Invoke counts calls), per-thread state with a destructor, resources, and the
// four entry points.
#include <dlfcn.h>

#include <atomic>
#include <string>

#include "platform/automation/module_resources.h"
#include "platform/automation/object.h"
#include "platform/automation/registry.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "tests/platform/runtime/test_module.h"

#define RESOURCE(type, number) __attribute__((section(".vanto_rsrc." #type "." #number), used))

RESOURCE(TYPELIB, 1) static const char kTypeLib[] = "library RuntimeTest 1.0\n";
RESOURCE(VERSION, 1) static const char kVersion[] = "ProductName=RuntimeTest\n";

namespace {
std::atomic<long> locks{0};
std::atomic<TestModuleThreadExitHook> threadExitHook{nullptr};

// Per-thread state whose destructor runs module code at thread exit.
struct ThreadState {
  long calls = 0;
  ~ThreadState() {
    if (TestModuleThreadExitHook hook = threadExitHook.load()) hook(calls);
  }
};
thread_local ThreadState threadState;

class Counter final : public DispatchObject<IDispatch> {
 public:
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    if (member != 1) return DISP_E_MEMBERNOTFOUND;
    ++threadState.calls;
    if (result) {
      VariantInit(result);
      result->vt = VT_I4;
      result->lVal = static_cast<LONG>(threadState.calls);
    }
    return S_OK;
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch; }
};

class Factory final : public ComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ComPtr<IDispatch> counter = ComPtr<IDispatch>::Adopt(new Counter);
    return counter->QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ++locks : --locks;
    return S_OK;
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IClassFactory; }
};

std::string ModulePath() {
  Dl_info info{};
  ::dladdr(reinterpret_cast<void*>(&ModulePath), &info);
  return info.dli_fname ? info.dli_fname : "";
}

std::vector<RegistryEntry> Entries() {
  std::string clsid = ToUtf8(GuidToString(CLSID_RuntimeTestCounter));
  return {
      {"CLSID\\" + clsid, "", "RuntimeTest.Counter"},
      {"CLSID\\" + clsid + "\\InprocServer32", "", ModulePath()},
      {"CLSID\\" + clsid + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {"CLSID\\" + clsid + "\\ProgID", "", "RuntimeTest.Counter"},
      {"RuntimeTest.Counter\\CLSID", "", clsid},
  };
}
}  // namespace

extern "C" {
VANTO_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_RuntimeTestCounter) return CLASS_E_CLASSNOTAVAILABLE;
  ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Adopt(new Factory);
  return factory->QueryInterface(iid, object);
}
VANTO_EXPORT HRESULT DllCanUnloadNow() { return ModuleObjectCount() == 0 && locks == 0 ? S_OK : S_FALSE; }
VANTO_EXPORT HRESULT DllRegisterServer() { return RegisterServerEntries(Entries()); }
VANTO_EXPORT HRESULT DllUnregisterServer() { return UnregisterServerEntries(Entries()); }
VANTO_EXPORT void TestModuleSetThreadExitHook(TestModuleThreadExitHook hook) { threadExitHook = hook; }
}
