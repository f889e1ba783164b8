#include "driver/frame.h"

#include <new>

#include "failure/failure.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/errors.h"

std::u16string FailureTextAsMessage(std::u16string_view failureText) { return std::u16string(failureText); }

HRESULT RunOperation(IUnknown* self, BSTR* strMsg, VARIANT_BOOL* result, MessageAtEntry entry,
                     const std::function<bool()>& steps,
                     const std::function<std::u16string(std::u16string_view)>& failureMessage) {
  if (!strMsg || !result) return E_POINTER;
  ComPtr<IUnknown> hold(self);
  if (entry == MessageAtEntry::kClear) AssignBstr(strMsg, u"");
  bool outcome = false;
  std::u16string failureText;
  bool failed = false;
  try {
    outcome = steps();
  } catch (const OperationFailure& failure) {
    failed = true;
    failureText = failure.Text();
  } catch (const std::bad_alloc&) {
    failed = true;
    failureText = kTextOutOfMemory;
  } catch (...) {
    failed = true;
    failureText = u"驱动程序内部错误";
  }
  if (failed) {
    outcome = false;
    try {
      AssignBstr(strMsg, failureMessage(failureText));
    } catch (...) {
      AssignBstr(strMsg, kTextOutOfMemory);
    }
  }
  ClearErrorInfo();  // Failures travel in the message; no error info is left for the host.
  hold.Reset();
  *result = outcome ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}
