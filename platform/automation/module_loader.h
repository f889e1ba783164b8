// Inside the runtime: classes and class names found through the registry, and the modules
// loaded to serve them.
#pragma once

#include <string_view>

#include "platform/automation/abi.h"

// The class object of a class registered with an in-process server module: loads the module
// (once) and asks its DllGetClassObject. REGDB_E_CLASSNOTREG for a class the registry does not
// know; CO_E_DLLNOTFOUND / CO_E_ERRORINDLL (with an error description) for a module that is
// missing or cannot serve.
HRESULT GetRegisteredClassObject(REFCLSID clsid, REFIID iid, void** object);
// The class identifier registered under a class name; CO_E_CLASSSTRING when there is none.
HRESULT CLSIDFromRegisteredProgID(std::u16string_view progId, CLSID* clsid);
