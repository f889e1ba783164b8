#include "driver/clsMachine.h"

#include "driver/dispatch.h"
#include "driver/identifiers.h"
#include "driver/operations.h"
#include "platform/automation/boundary.h"
#include "platform/automation/object.h"

namespace {
class ClsMachine final : public DispatchObject<IMachine> {
 public:
#define VANTO_IMACHINE_METHOD(number, name)                                                   \
  HRESULT STDMETHODCALLTYPE name(VANTO_IMACHINE_DECLARE(name), VARIANT_BOOL* result) override { \
    return operations::name(this, VANTO_IMACHINE_PASS(name), result);                          \
  }
  VANTO_IMACHINE_OPERATIONS(VANTO_IMACHINE_METHOD)
#undef VANTO_IMACHINE_METHOD

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return GuardBoundary(kProgIdClsMachine, [&] { return GetClsMachineIDsOfNames(names, count, ids); });
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
    return GuardInvoke(exception, kProgIdClsMachine, [&] {
      return InvokeClsMachine(*this, member, iid, lcid, flags, params, result, exception, argError);
    });
  }

 protected:
  bool Implements(REFIID iid) const override {
    return iid == IID_IDispatch || iid == IID_IMachine || iid == IID__clsMachine;
  }
};
}  // namespace

ComPtr<IMachine> CreateClsMachine() { return ComPtr<IMachine>::Adopt(new ClsMachine()); }
