// Late-bound access to clsMachine: IDispatch::Invoke by member number.
#pragma once

#include "platform/corvel/corvel.h"

HRESULT InvokeClsMachine(IMachine& machine, DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* exception, UINT* argError);
