// Per-thread apartment initialisation.
#include "platform/automation/runtime.h"

namespace {
thread_local int initCount = 0;
thread_local DWORD threadModel = COINIT_APARTMENTTHREADED;
}  // namespace

extern "C" {
HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(void*, DWORD model) {
  DWORD wanted = (model & COINIT_APARTMENTTHREADED) ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
  if (initCount > 0) {
    if (wanted != threadModel) return RPC_E_CHANGED_MODE;
    ++initCount;
    return S_FALSE;
  }
  threadModel = wanted;
  initCount = 1;
  return S_OK;
}

void CoUninitialize() {
  if (initCount > 0) --initCount;
}
}

bool IsApartmentInitialized() { return initCount > 0; }

// A thread's objects end with the thread here (its thread-local destructors run as ordinary code).
bool ReleaseBeforeApartmentEnds(void (*)()) { return false; }
