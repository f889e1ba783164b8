// A stage counter that one thread advances and another waits on, always with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class StageSignal {
 public:
  // True once the stage has reached `wanted`; false when `bound` passed first.
  bool WaitFor(int wanted, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, bound, [&] { return stage_ >= wanted; });
  }
  void Advance(int to) {
    std::lock_guard guard(lock_);
    stage_ = to;
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int stage_ = 0;
};
