// A thread's object in its slot: its own, replaced and reset on request, destroyed when the thread
// ends, and each thread's apart.
#include "platform/automation/thread_slot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

std::atomic<int> destroyed{0};

struct Counted {
  int value;
  explicit Counted(int v) : value(v) {}
  ~Counted() { destroyed += value; }
};

ThreadSlot<Counted> slot;

TEST(ThreadSlot, OwnsEachThreadsObjectUntilReplacedResetOrTheThreadEnds) {
  destroyed = 0;
  ASSERT_EQ(slot.Get(), nullptr);
  ASSERT_TRUE(slot.Set(std::make_unique<Counted>(1)));
  ASSERT_NE(slot.Get(), nullptr);
  EXPECT_EQ(slot.Get()->value, 1);

  int seenByOther = -1;
  std::thread other([&] {
    seenByOther = slot.Get() ? slot.Get()->value : 0;  // not this thread's object
    slot.Set(std::make_unique<Counted>(100));           // destroyed when the thread ends
  });
  other.join();
  EXPECT_EQ(seenByOther, 0);
  EXPECT_EQ(destroyed, 100);
  EXPECT_EQ(slot.Get()->value, 1);

  slot.Set(std::make_unique<Counted>(10));  // the one before goes
  EXPECT_EQ(destroyed, 101);
  slot.Reset();
  EXPECT_EQ(destroyed, 111);
  EXPECT_EQ(slot.Get(), nullptr);
}

}  // namespace
