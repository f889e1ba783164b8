// Reference counting and QueryInterface for objects that implement one interface chain.
#pragma once

#include <atomic>

#include "platform/automation/abi.h"

// Counts every live ComObject of the process (tests use it to find leaked objects).
VANTO_EXPORT std::atomic<long>& LiveObjectCount();

// Counts the live ComObjects whose code belongs to the calling module (the shared object or
// program this header is compiled into): hidden, so every module keeps its own count, which is
// what a module's DllCanUnloadNow asks about.
__attribute__((visibility("hidden"))) inline std::atomic<long>& ModuleObjectCount() {
  static std::atomic<long> count{0};
  return count;
}

// Implements IUnknown for `Interface` (and every interface it derives from, named by
// the derived class's `Implements`). New objects start with one reference, owned by their creator.
template <class Interface>
class ComObject : public Interface {
 public:
  ComObject() {
    ++LiveObjectCount();
    ++ModuleObjectCount();
  }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || Implements(iid)) {
      *object = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~ComObject() {
    --ModuleObjectCount();
    --LiveObjectCount();
  }
  // The interfaces this object answers besides IUnknown.
  virtual bool Implements(REFIID iid) const = 0;

 private:
  std::atomic<ULONG> refs_{1};
};

// The IDispatch members every dispatch object without a type description answers alike.
template <class Interface>
class DispatchObject : public ComObject<Interface> {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
};
