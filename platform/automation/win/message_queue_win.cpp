// The thread's message queue on Windows: work is posted as a message to a hidden message-only
// window of the thread, and PumpMessages is a real message loop that returns when the queue is
// empty (it dispatches the thread's other messages too, as a host's DoEvents does).
#include <memory>
#include <new>
#include <utility>

#include "platform/automation/message_queue.h"
#include "platform/automation/win/system_win.h"

namespace {
using WorkItem = std::function<void()>;

void Run(void* payload) {
  std::unique_ptr<WorkItem> work(static_cast<WorkItem*>(payload));
  (*work)();
}
void Drop(void* payload) { delete static_cast<WorkItem*>(payload); }
}  // namespace

void PostThreadWork(std::function<void()> work) {
  if (!work) return;
  auto item = std::make_unique<WorkItem>(std::move(work));
  if (!vanto::win::PostToThreadWindow(item.get(), &Run, &Drop)) throw std::bad_alloc();
  item.release();
}

std::size_t PumpMessages() { return vanto::win::PumpThreadMessages(); }

std::size_t PendingThreadWork() { return vanto::win::PendingThreadWindowWork(); }
