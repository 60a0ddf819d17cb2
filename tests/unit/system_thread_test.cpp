// The system's threads and per-thread slots that the engine uses instead of the toolchain's.
#include "platform/system_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace kavex::platform {
namespace {

// A slot is per thread: what one thread sets, another never reads (teardown asks the slot whether
// it runs on an engine thread, and would join itself if another thread's mark leaked into it).
// A thread dropped while still running is let go, not the end of the process, and runs on.
TEST(SystemThreadTest, SlotsArePerThreadAndAThreadDroppedRunningIsLetGo) {
  ThreadSlot slot;
  int mine = 0, theirs = 0;
  slot.Set(&mine);
  void* seenThere = &mine;
  bool current = false;
  std::atomic<bool> started{false};
  SystemThread thread = SystemThread::Start([&] {
    while (!started.load()) SleepFor(std::chrono::milliseconds(1));  // until `thread` holds it
    seenThere = slot.Get();
    slot.Set(&theirs);
    current = thread.IsCurrent();
  });
  started.store(true);
  EXPECT_FALSE(thread.IsCurrent());
  thread.join();
  EXPECT_EQ(seenThere, nullptr) << "a new thread read another thread's value";
  EXPECT_EQ(slot.Get(), &mine) << "another thread's Set reached this thread";
  EXPECT_TRUE(current);
  EXPECT_FALSE(thread.joinable());

  std::atomic<bool> release{false}, ran{false};
  {
    SystemThread dropped = SystemThread::Start([&] {
      while (!release.load()) SleepFor(std::chrono::milliseconds(1));
      ran.store(true);
    });
  }
  release.store(true);
  for (int i = 0; i < 2000 && !ran.load(); ++i) SleepFor(std::chrono::milliseconds(5));
  EXPECT_TRUE(ran.load()) << "the dropped thread did not run on";
}

}  // namespace
}  // namespace kavex::platform
