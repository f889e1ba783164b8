#include "platform/automation/message_queue.h"

#include <deque>
#include <utility>

namespace {
thread_local std::deque<std::function<void()>> queue;
}

void PostThreadWork(std::function<void()> work) {
  if (work) queue.push_back(std::move(work));
}

std::size_t PumpMessages() {
  std::size_t ran = 0;
  while (!queue.empty()) {
    auto work = std::move(queue.front());
    queue.pop_front();
    work();
    ++ran;
  }
  return ran;
}

std::size_t PendingThreadWork() { return queue.size(); }
