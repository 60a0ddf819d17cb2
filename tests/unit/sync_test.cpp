// The engine's lock and condition variable (under Windows its own, on the slim lock): hand-offs
// that lose no wake-up, timed waits that end neither early nor never, and the standard lock types.
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kavex::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Two threads hand a token back and forth, as the packet ring and the decoder do: a lost wake-up
// leaves both waiting, which the watch below turns into a failure rather than a hang.
TEST(Sync, HandOffsLoseNoWakeUp) {
  Mutex mutex;
  ConditionVariable turned;
  int turn = 0;
  constexpr int kRounds = 20000;
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      std::unique_lock<Mutex> lock(mutex);
      turned.wait(lock, [&] { return turn % 2 == 1; });
      ++turn;
      turned.notify_all();
    }
  });
  bool stuck = false;
  for (int i = 0; i < kRounds && !stuck; ++i) {
    std::unique_lock<Mutex> lock(mutex);
    ++turn;
    turned.notify_one();
    stuck = !turned.wait_for(lock, std::chrono::seconds(30), [&] { return turn % 2 == 0; });
  }
  if (stuck) {  // let the other thread finish so that it can be joined
    std::lock_guard<Mutex> lock(mutex);
    turn = 2 * kRounds;
    turned.notify_all();
  }
  other.join();
  EXPECT_FALSE(stuck) << "a wake-up was lost after " << turn << " hand-offs";
  EXPECT_EQ(turn, 2 * kRounds);
}

TEST(Sync, TimedWaitsEndNeitherEarlyNorNever) {
  Mutex mutex;
  ConditionVariable never;
  std::unique_lock<Mutex> lock(mutex);
  for (const auto span : {std::chrono::milliseconds(0), std::chrono::milliseconds(1), std::chrono::milliseconds(60)}) {
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(never.wait_for(lock, span, [] { return false; }));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, span);
    EXPECT_LT(waited, std::chrono::seconds(20));  // a wait that saturated or wrapped never ends
    EXPECT_TRUE(lock.owns_lock());
  }
  // A condition true already is not waited for; a plain timed wait with no wake-up times out.
  EXPECT_TRUE(never.wait_for(lock, std::chrono::hours(24 * 365), [] { return true; }));
  EXPECT_EQ(never.wait_for(lock, std::chrono::milliseconds(5)), std::cv_status::timeout);
}

TEST(Sync, TheLockExcludesAndIsFreeAgainOnceReleased) {
  Mutex mutex;
  bool tried = true;
  {
    std::lock_guard<Mutex> held(mutex);
    std::thread([&] { tried = mutex.try_lock(); }).join();
    EXPECT_FALSE(tried);
  }
  std::thread([&] {
    tried = mutex.try_lock();
    if (tried) mutex.unlock();
  }).join();
  EXPECT_TRUE(tried);
}

}  // namespace
}  // namespace kavex::platform
