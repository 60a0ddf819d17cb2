// A teardown asked for from a callback must never end the host's process, whichever allocation
// fails on the way. This program replaces the global allocation functions so that a test can make
// exactly one allocation on its own thread fail: a program of its own, so no other test runs with
// them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "instance/teardown_reaper.h"

namespace {

// 0: no failure armed; N: the Nth allocation from now on this thread fails.
thread_local int tlsFailAt = 0;

void* Allocate(std::size_t size) {
  if (tlsFailAt > 0 && --tlsFailAt == 0) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace kavex {
namespace {

TEST(TeardownReaper, AFailedAllocationOnTheWayNeverEndsTheProcessAndTheTeardownStillRuns) {
  std::atomic<int> ran{0};
  // More steps than Run allocates in: the last ones fail nothing at all.
  constexpr int kSteps = 12;
  ASSERT_TRUE(TeardownReaper::Idle());  // the reaper itself is made at its first use, not under test
  for (int failAt = 1; failAt <= kSteps; ++failAt) {
    std::function<void()> work = [&ran] { ran.fetch_add(1); };
    tlsFailAt = failAt;
    EXPECT_NO_THROW(TeardownReaper::Run(std::move(work))) << "allocation " << failAt;
    tlsFailAt = 0;
    TeardownReaper::JoinAll();  // on its thread, or here when it found none
    EXPECT_EQ(ran.load(), failAt) << "the teardown whose allocation " << failAt << " failed never ran";
    EXPECT_TRUE(TeardownReaper::Idle());
  }
}

}  // namespace
}  // namespace kavex
