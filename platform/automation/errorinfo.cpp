// Per-thread error info: the error object a failing vtable call leaves for its caller.
#include "platform/automation/errorinfo.h"

#include "platform/automation/object.h"
#include "platform/automation/owners.h"

namespace {
#ifndef _WIN32
thread_local ComPtr<IErrorInfo> threadError;
#endif

class ErrorInfo final : public ComObject<IErrorInfo> {
 public:
  ErrorInfo(std::u16string_view description, std::u16string_view source)
      : description_(description), source_(source) {}

  HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
    if (!guid) return E_POINTER;
    *guid = GUID_NULL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) override { return Give(source_, source); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
    return Give(description_, description);
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* helpFile) override { return Give(Bstr(), helpFile); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override {
    if (!context) return E_POINTER;
    *context = 0;
    return S_OK;
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IErrorInfo; }

 private:
  static HRESULT Give(const Bstr& text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = Bstr(text).Detach();
    return S_OK;
  }
  Bstr description_;
  Bstr source_;
};
}  // namespace

#ifndef _WIN32  // Built for Windows, the system keeps the error info.
extern "C" {
HRESULT SetErrorInfo(ULONG, IErrorInfo* info) {
  threadError = ComPtr<IErrorInfo>(info);
  return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** info) {
  if (!info) return E_POINTER;
  *info = threadError.Detach();
  return *info ? S_OK : S_FALSE;
}
}
#endif

HRESULT RaiseError(HRESULT code, std::u16string_view description, std::u16string_view source) {
  ComPtr<IErrorInfo> info = ComPtr<IErrorInfo>::Adopt(new ErrorInfo(description, source));
  SetErrorInfo(0, info.Get());
  return code;
}

void ClearErrorInfo() { SetErrorInfo(0, nullptr); }

std::u16string TakeErrorDescription(HRESULT code) {
  IErrorInfo* raw = nullptr;
  std::u16string text;
  if (GetErrorInfo(0, &raw) == S_OK && raw) {
    ComPtr<IErrorInfo> info = ComPtr<IErrorInfo>::Adopt(raw);
    BSTR description = nullptr;
    if (SUCCEEDED(info->GetDescription(&description))) {
      Bstr owned = Bstr::Adopt(description);
      text = owned.View();
    }
  }
  if (text.empty()) text = DescribeError(code);
  return text;
}

HRESULT FillException(EXCEPINFO* exception, HRESULT code, std::u16string_view description,
                      std::u16string_view source) {
  if (!exception) return code;
  *exception = EXCEPINFO{};
  exception->scode = code;
  exception->bstrDescription = Bstr(description).Detach();
  exception->bstrSource = Bstr(source).Detach();
  return DISP_E_EXCEPTION;
}

std::u16string TakeExceptionDescription(EXCEPINFO& exception) {
  if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
  Bstr description = Bstr::Adopt(exception.bstrDescription);
  Bstr source = Bstr::Adopt(exception.bstrSource);
  Bstr help = Bstr::Adopt(exception.bstrHelpFile);
  exception.bstrDescription = exception.bstrSource = exception.bstrHelpFile = nullptr;
  if (!description.Empty()) return std::u16string(description.View());
  return DescribeError(exception.scode ? exception.scode : DISP_E_EXCEPTION);
}
