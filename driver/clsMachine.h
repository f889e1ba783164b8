// clsMachine: the terminal driver the host creates; implements IMachine over the thread's
// terminal link. The object has no state of its own.
#pragma once

#include "platform/automation/owners.h"
#include "platform/corvel/corvel.h"

// A new clsMachine (one reference, owned by the caller). It answers IUnknown, IDispatch,
// IMachine and _clsMachine.
ComPtr<IMachine> CreateClsMachine();
