#include "driver/dispatch.h"

// Late binding is not offered yet: every member answers DISP_E_MEMBERNOTFOUND.
HRESULT InvokeClsMachine(IMachine&, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return DISP_E_MEMBERNOTFOUND;
}
