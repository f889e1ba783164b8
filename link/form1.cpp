#include "link/form1.h"

#include "failure/failure.h"
#include "platform/automation/errors.h"
#include "platform/automation/runtime.h"
#include "terminal/contract/fk303id_contract.h"

Form1 Form1::Load() {
  ComPtr<IDispatch> control;
  HRESULT hr = CreateObjectByProgId(fk303id::kProgId, IID_IDispatch, reinterpret_cast<void**>(control.Put()));
  if (FAILED(hr) || !control) Fail(kTextCannotCreateObject);
  return Form1(std::move(control));
}
