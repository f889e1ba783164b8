// Per-thread slots over fiber-local storage (see thread_slot.h). The system's callback gets only
// the stored value, so each thread's value is held with the slot's destroy function.
#include <windows.h>

#include "platform/automation/thread_slot.h"

namespace {

struct Held {
  void* value;
  void (*destroy)(void*);
};

void WINAPI DestroyHeld(void* stored) {
  auto* held = static_cast<Held*>(stored);
  if (held->value) held->destroy(held->value);
  delete held;
}

}  // namespace

struct ThreadSlotCore::State {
  DWORD index = FLS_OUT_OF_INDEXES;
  void (*destroy)(void*) = nullptr;
};

ThreadSlotCore::ThreadSlotCore(void (*destroy)(void*)) : state_(new State) {
  state_->destroy = destroy;
  state_->index = FlsAlloc(&DestroyHeld);
}

ThreadSlotCore::~ThreadSlotCore() {
  if (state_->index != FLS_OUT_OF_INDEXES) FlsFree(state_->index);
  delete state_;
}

void* ThreadSlotCore::Get() const {
  if (state_->index == FLS_OUT_OF_INDEXES) return nullptr;
  const auto* held = static_cast<const Held*>(FlsGetValue(state_->index));
  return held ? held->value : nullptr;
}

bool ThreadSlotCore::Store(void* value, void** before) {
  if (state_->index == FLS_OUT_OF_INDEXES) return false;
  auto* held = static_cast<Held*>(FlsGetValue(state_->index));
  if (!held) {
    if (!value) {
      *before = nullptr;
      return true;
    }
    held = new Held{nullptr, state_->destroy};
    if (!FlsSetValue(state_->index, held)) {
      delete held;
      return false;
    }
  }
  *before = held->value;
  held->value = value;
  return true;
}
