// The terminal control FK303ID ("FK303IDLib.FK303ID"): a dispatch object that carries the
// driver's calls to attendance terminals over a serial port, by member number.
#pragma once

#include "platform/automation/abi.h"
#include "terminal/contract/fk303id_contract.h"

// The control's identifiers, member numbers and template size are its contract's
// (terminal/contract/fk303id_contract.h).
inline constexpr CLSID CLSID_FK303ID = fk303id::kClsid;
inline constexpr IID DIID__DFK303ID = fk303id::kDispatchInterface;
inline constexpr GUID LIBID_FK303IDLib = fk303id::kLibrary;

// The class factory of FK303ID (a new reference), for a module's DllGetClassObject.
HRESULT GetFK303IDClassObject(REFCLSID clsid, REFIID iid, void** object);
// Adds FK303ID to the process's in-process class table (idempotent).
HRESULT RegisterFK303IDInProcess();
// Live FK303ID objects plus server locks held on its factory (for DllCanUnloadNow).
long FK303IDActiveCount();
