// Per-thread slots over a thread key (see thread_slot.h).
#include "platform/automation/thread_slot.h"

#include <pthread.h>

struct ThreadSlotCore::State {
  pthread_key_t key{};
  bool ok = false;
};

ThreadSlotCore::ThreadSlotCore(void (*destroy)(void*)) : state_(new State) {
  state_->ok = pthread_key_create(&state_->key, destroy) == 0;
}

ThreadSlotCore::~ThreadSlotCore() {
  if (state_->ok) pthread_key_delete(state_->key);
  delete state_;
}

void* ThreadSlotCore::Get() const { return state_->ok ? pthread_getspecific(state_->key) : nullptr; }

bool ThreadSlotCore::Store(void* value, void** before) {
  if (!state_->ok) return false;
  void* old = pthread_getspecific(state_->key);
  if (pthread_setspecific(state_->key, value) != 0) return false;
  *before = old;
  return true;
}
