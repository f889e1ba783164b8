// The one class factory of the system's servers, and the one rule for unloading them.
//
// A server (a module, or a library whose classes a module serves) keeps one ServerLocks for the
// locks taken through its factories' LockServer: a lock adds one, an unlock takes one away, and
// an unlock with no lock held is refused (E_UNEXPECTED) without the count going below zero.
// A server can be unloaded (S_OK) exactly when no object whose code it holds is alive and no lock
// is held; otherwise S_FALSE.
//
// Header only on purpose: the factory is a ComObject, and ComObjects count in the binary that
// holds their code (ModuleObjectCount), so it must be compiled into each server.
#pragma once

#include <atomic>
#include <string_view>

#include "platform/automation/boundary.h"
#include "platform/automation/object.h"
#include "platform/automation/owners.h"

class ServerLocks {
 public:
  HRESULT Change(BOOL lock) noexcept {
    if (lock) {
      ++count_;
      return S_OK;
    }
    long held = count_.load();
    while (held > 0 && !count_.compare_exchange_weak(held, held - 1)) {
    }
    return held > 0 ? S_OK : E_UNEXPECTED;
  }
  long Held() const noexcept { return count_.load(); }

 private:
  std::atomic<long> count_{0};
};

inline HRESULT CanUnloadServer(long liveObjects, const ServerLocks& locks) noexcept {
  return liveObjects == 0 && locks.Held() == 0 ? S_OK : S_FALSE;
}

// Makes one new object and asks it for `iid`.
using CreateObjectFunction = HRESULT (*)(REFIID iid, void** object);

// The class factory of one class: CreateInstance (no aggregation; whatever `create` throws is
// stopped and described under `source`) and LockServer on the server's locks.
class ClassFactory final : public ComObject<IClassFactory> {
 public:
  ClassFactory(CreateObjectFunction create, ServerLocks& locks, std::u16string_view source)
      : create_(create), locks_(locks), source_(source) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return GuardBoundary(source_, [&] { return create_(iid, object); });
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override { return locks_.Change(lock); }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IClassFactory; }

 private:
  CreateObjectFunction create_;
  ServerLocks& locks_;
  std::u16string_view source_;  // A static text (the class name).
};

// A new factory for `create`, asked for `iid` (what DllGetClassObject hands out).
inline HRESULT HandOutFactory(CreateObjectFunction create, ServerLocks& locks, std::u16string_view source,
                              REFIID iid, void** object) noexcept {
  if (!object) return E_POINTER;
  *object = nullptr;
  return GuardBoundary(source, [&] {
    ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Adopt(new ClassFactory(create, locks, source));
    return factory->QueryInterface(iid, object);
  });
}
