// Writing cards is not supported by these terminals: the answer is always False.
#include "driver/frame.h"
#include "driver/operations.h"

namespace operations {
HRESULT funcWriteCard(IMachine* self, VARIANT_BOOL, BSTR strIp, SHORT, SHORT, _Collection* c, BSTR* strMsg,
                      VARIANT_BOOL* result) {
  if (!strMsg || !result) return E_POINTER;
  ComPtr<IMachine> hold(self);
  try {
    const std::u16string ip = PrivateCopy(strIp);
    ComPtr<_Collection> cards(c);  // Held for the call, never touched.
  } catch (...) {
    // Nothing is done with the copies; running out of memory for them changes no outcome.
  }
  hold.Reset();
  *result = VARIANT_FALSE;
  return S_OK;
}
}  // namespace operations
