// A per-thread object owned by its thread: set on first use, destroyed when the thread ends (or
// at Reset), by the system's per-thread storage (fiber-local storage on Windows, a thread key
// elsewhere).
//
// Not a `thread_local` with a destructor: built with the MinGW toolchain, such a variable lives in
// emulated thread storage, whose block the runtime frees at thread exit BEFORE it runs the
// variable's destructor (both are thread-key destructors, run in the order the keys were made, and
// the storage's key is always made first). The destructor then reads freed memory: seen as a
// call through a stale pointer and a corrupted heap when two threads ended under Wine's 32-bit
// half. Fiber-local storage callbacks run when a thread ends, before any module's thread
// clean-up, so the object is destroyed while everything it uses is still there.
//
// One ThreadSlot per module (a static object). Its destructor, at the module's unload, frees the
// slot; on Windows that destroys the objects other threads still hold there.
#pragma once

#include <memory>

// Exported from the shared runtime library where there is one (the Windows modules carry their
// own copy). Not abi.h's macro: this header is also read beside the system's own headers.
#ifdef _WIN32
#define VANTO_THREAD_SLOT_API
#else
#define VANTO_THREAD_SLOT_API __attribute__((visibility("default")))
#endif

class VANTO_THREAD_SLOT_API ThreadSlotCore {
 public:
  explicit ThreadSlotCore(void (*destroy)(void*));
  ~ThreadSlotCore();
  ThreadSlotCore(const ThreadSlotCore&) = delete;
  ThreadSlotCore& operator=(const ThreadSlotCore&) = delete;

  void* Get() const;
  // Stores `value` for this thread and hands back the one before (the caller owns it); false,
  // storing nothing, when the system had no slot or no room.
  bool Store(void* value, void** before);

 private:
  struct State;
  State* state_;
};

template <class T>
class ThreadSlot {
 public:
  // This thread's object, or null.
  T* Get() const { return static_cast<T*>(core_.Get()); }
  // Replaces this thread's object, destroying the one before. False (and `value` destroyed) when
  // it could not be stored.
  bool Set(std::unique_ptr<T> value) {
    void* before = nullptr;
    if (!core_.Store(value.get(), &before)) return false;
    value.release();
    delete static_cast<T*>(before);
    return true;
  }
  void Reset() { Set(nullptr); }

 private:
  static void Destroy(void* value) { delete static_cast<T*>(value); }
  ThreadSlotCore core_{&Destroy};
};
