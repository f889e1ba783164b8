#include "failure/failure.h"

#include "platform/automation/errorinfo.h"

void Fail(std::u16string_view text) { throw OperationFailure(std::u16string(text)); }

void CheckHostCall(HRESULT code) {
  if (FAILED(code)) Fail(TakeErrorDescription(code));
}

void CheckRuntimeCall(HRESULT code) {
  if (FAILED(code)) {
    ClearErrorInfo();  // The runtime's own text for the code; whatever error info it left goes.
    Fail(DescribeError(code));
  }
}

SHORT NextInteger(SHORT value) {
  if (value == 32767) Fail(kTextOverflow);
  return static_cast<SHORT>(value + 1);
}
