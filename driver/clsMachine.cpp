#include "driver/clsMachine.h"

#include "driver/dispatch.h"
#include "driver/identifiers.h"
#include "driver/operations.h"
#include "platform/automation/boundary.h"
#include "platform/automation/object.h"

namespace {
class ClsMachine final : public DispatchObject<IMachine> {
 public:
  HRESULT STDMETHODCALLTYPE funcRegister(_Collection** col, VARIANT_BOOL blnPort, SHORT iPortMin, SHORT iPortMax,
                                         BSTR strIPMin, BSTR strIPMax, SHORT iMin, SHORT iMax, BSTR* strMsg,
                                         VARIANT_BOOL* result) override {
    return operations::funcRegister(this, col, blnPort, iPortMin, iPortMax, strIPMin, strIPMax, iMin, iMax, strMsg,
                                    result);
  }
  HRESULT STDMETHODCALLTYPE funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                                            BSTR sPersonNum, RowSet** rsData, BSTR* strMsg,
                                            VARIANT_BOOL* result) override {
    return operations::funcBackFingure(this, blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg, result);
  }
  HRESULT STDMETHODCALLTYPE funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                                        BSTR sPersonNum, RowSet* rsData, BSTR* strMsg, VARIANT_BOOL* result) override {
    return operations::funcReWrite(this, blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg, result);
  }
  HRESULT STDMETHODCALLTYPE DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                                             _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result) override {
    return operations::DownloadCarddata(this, blnPort, strIp, iPort, imachineno, cdata, strMsg, result);
  }
  HRESULT STDMETHODCALLTYPE funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                                          _Collection* c, BSTR* strMsg, VARIANT_BOOL* result) override {
    return operations::funcWriteCard(this, blnPort, strIp, iPort, imachineno, c, strMsg, result);
  }
  HRESULT STDMETHODCALLTYPE delCardData(VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                                        VARIANT_BOOL* result) override {
    return operations::delCardData(this, blnPort, strIp, iPort, imachineno, result);
  }

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
