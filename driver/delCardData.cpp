// Deleting card data is not supported by these terminals: the answer is always False, and no
// terminal is contacted.
#include "driver/frame.h"
#include "driver/operations.h"

namespace operations {
HRESULT delCardData(IMachine* self, VARIANT_BOOL, BSTR strIp, SHORT, SHORT, VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  ComPtr<IMachine> hold(self);
  try {
    const std::u16string ip = PrivateCopy(strIp);
  } catch (...) {
    // Nothing is done with the copy; running out of memory for it changes no outcome.
  }
  hold.Reset();
  *result = VARIANT_FALSE;
  return S_OK;
}
}  // namespace operations
