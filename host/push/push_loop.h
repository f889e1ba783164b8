// The drain of a long-running server: Drain on a thread of its own every so often (and soon after
// Wake), so a failing endpoint never holds up syncing or the pages; stopped between requests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "host/push/push.h"

namespace vanto::push {

class PushLoop {
 public:
  // `log` is told each failure, each dropped endpoint and each drain that cannot reach the
  // database, in one line (it is called on the loop's thread).
  PushLoop(PushOptions options, std::chrono::seconds every, std::function<void(const std::string&)> log);
  ~PushLoop();
  PushLoop(const PushLoop&) = delete;
  PushLoop& operator=(const PushLoop&) = delete;

  void Wake();
  // Stops the loop (a drain under way ends after its current request) and joins its thread.
  void Stop();

 private:
  void Run();

  PushOptions options_;
  std::chrono::seconds every_;
  std::function<void(const std::string&)> log_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false, stopping_ = false;
  std::thread thread_;
};

// One line for a drain's failures and dropped endpoints (empty when there is nothing to say).
std::vector<std::string> DrainMessages(const DrainResult& result);

}  // namespace vanto::push
