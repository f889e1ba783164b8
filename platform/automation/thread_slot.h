// A per-thread object owned by its thread: set on first use, destroyed when the thread ends (or
// at Reset).
//
// On Windows not a `thread_local` with a destructor: built with the MinGW toolchain, such a
// variable lives in emulated thread storage, whose block the runtime frees at thread exit BEFORE
// it runs the variable's destructor (both are thread-key destructors, run in the order the keys
// were made, and the storage's key is always made first). The destructor then reads freed memory:
// seen as a call through a stale pointer and a corrupted heap when two threads ended under Wine's
// 32-bit half. There the object lives in fiber-local storage, whose callbacks run when a thread
// ends, before any module's thread clean-up, so it is destroyed while everything it uses is still
// there. One ThreadSlot per module (a static object): its destructor, at the module's unload,
// frees the slot, which destroys the objects other threads still hold there.
//
// Elsewhere it is a `thread_local` (the C library runs those destructors in order, before the
// thread's keys): one slot per type T.
#pragma once

#include <memory>

#ifdef _WIN32

class ThreadSlotCore {
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

#else

template <class T>
class ThreadSlot {
 public:
  T* Get() const { return Held().get(); }
  bool Set(std::unique_ptr<T> value) {
    Held() = std::move(value);
    return true;
  }
  void Reset() { Held().reset(); }

 private:
  static std::unique_ptr<T>& Held() {
    thread_local std::unique_ptr<T> value;
    return value;
  }
};

#endif
