#include "tests/component/terminal_double.h"

#include "driver/identifiers.h"
#include "platform/automation/conversions.h"
#include "platform/automation/object.h"
#include "platform/automation/owners.h"
#include "platform/automation/runtime.h"

namespace {
constexpr CLSID kClsid{0x0B7E2D41, 0x5A3C, 0x4F19, {0x8D, 0x22, 0x61, 0x4E, 0x0C, 0x9A, 0x7B, 0x35}};

std::mutex creatorsLock;
std::set<std::thread::id> creators;

class Control final : public DispatchObject<IDispatch> {
 public:
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    auto arg = [&](UINT i) -> VARIANTARG& { return params->rgvarg[params->cArgs - 1 - i]; };
    auto ref = [&](UINT i) -> LONG& { return *arg(i).plVal; };
    auto longOf = [&](UINT i) {
      Variant value;
      VariantChangeType(value.Put(), &arg(i), 0, VT_I4);
      return value.Raw().lVal;
    };
    auto answer = [&](bool value) {
      if (result) *result = Variant::Bool(value).Detach();
      return S_OK;
    };
    if (member == 1 && (flags & DISPATCH_PROPERTYPUT)) {
      port_ = static_cast<SHORT>(longOf(0));
      return S_OK;
    }
    switch (member) {
      case 10: return answer(longOf(0) == port_);  // ProbeMachine
      case 7:                                       // BeginCardRead
        pending_ = 1;
        return answer(true);
      case 25:  // NextCardRecord
        if (pending_ == 0) return answer(false);
        --pending_;
        ref(2) = 1000 + port_;
        ref(5) = 2026, ref(6) = 12, ref(7) = 8, ref(8) = 9, ref(9) = 30;
        return answer(true);
      case 19: return answer(false);  // ReadEnrollment: nothing enrolled
      case 4: return answer(true);    // PrepareEnrollment
      case 20: return answer(true);   // WriteEnrollment
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch; }

 private:
  SHORT port_ = 0;
  int pending_ = 0;
};

class Factory final : public ComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** object) override {
    TerminalDouble::NoteCreator();
    ComPtr<IDispatch> control = ComPtr<IDispatch>::Adopt(new Control);
    return control->QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IClassFactory; }
};
}  // namespace

TerminalDouble::TerminalDouble() {
  auto factory = ComPtr<IClassFactory>::Adopt(new Factory);
  RegisterInProcessClass(kClsid, kProgIdTerminalControl, factory.Get());
}

TerminalDouble::~TerminalDouble() { RevokeInProcessClass(kClsid); }

std::atomic<int>& TerminalDouble::Created() {
  static std::atomic<int> created{0};
  return created;
}

std::set<std::thread::id> TerminalDouble::CreatorThreads() {
  std::lock_guard guard(creatorsLock);
  return creators;
}

void TerminalDouble::NoteCreator() {
  ++Created();
  std::lock_guard guard(creatorsLock);
  creators.insert(std::this_thread::get_id());
}
