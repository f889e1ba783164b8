// A module that loads but serves nothing: it lacks DllGetClassObject.
#include "platform/automation/abi.h"

extern "C" VANTO_EXPORT HRESULT DllCanUnloadNow() { return S_OK; }
