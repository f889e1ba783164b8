// Late-bound access to clsMachine through its dispatch interface _clsMachine: member numbers of
// its six method names, and IDispatch::Invoke by member number.
#pragma once

#include "platform/corvel/corvel.h"

HRESULT InvokeClsMachine(IMachine& machine, DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* exception, UINT* argError);

// Member numbers 1..6 of IMachine_funcRegister ... IMachine_delCardData (names match ignoring case).
HRESULT GetClsMachineIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids);
