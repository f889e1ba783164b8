// The thread's message queue: work the host posts to its own thread, run by PumpMessages.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/automation/abi.h"

// Queues `work` on the calling thread's queue.
VANTO_EXPORT void PostThreadWork(std::function<void()> work);
// Runs everything pending on this thread's queue, including what that work posts, then returns.
// Never blocks. Work may re-enter whatever called PumpMessages. Returns how many items ran.
VANTO_EXPORT std::size_t PumpMessages();
// How many items wait on this thread's queue.
VANTO_EXPORT std::size_t PendingThreadWork();
