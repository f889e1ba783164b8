#include "link/form1.h"

#include "driver/identifiers.h"
#include "hostdata/failure.h"
#include "platform/automation/errors.h"
#include "platform/automation/runtime.h"

Form1 Form1::Load() {
  ComPtr<IDispatch> control;
  HRESULT hr = CreateObjectByProgId(kProgIdTerminalControl, IID_IDispatch, reinterpret_cast<void**>(control.Put()));
  if (FAILED(hr) || !control) Fail(kTextCannotCreateObject);
  return Form1(std::move(control));
}
