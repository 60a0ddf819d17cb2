#pragma once
// The engine's lock and condition variable, for every hand-off between its threads.
//
// Under Windows they are the slim reader/writer lock and the condition variable that waits on it:
// no kernel object and a user-mode fast path. The standard ones of this toolchain go through its
// POSIX thread library, built on kernel objects, so every contended lock, wait and wake is a kernel
// transition (a server round trip under Wine). Natively they are the standard ones, which the
// thread sanitizer understands.
//
// Both work with std::lock_guard and std::unique_lock as the standard ones do.
// Thread: any.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include "platform/sync.h"

namespace kavex {
namespace platform {

#if defined(_WIN32)

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  bool try_lock();
  void unlock();

 private:
  friend class ConditionVariable;
  void* lock_ = nullptr;  // an SRWLOCK: one pointer, zero when free
};

class ConditionVariable {
 public:
  ConditionVariable() = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;
  void notify_one() noexcept;
  void notify_all() noexcept;

  void wait(std::unique_lock<Mutex>& lock) { WaitMs(lock, kForever); }
  template <typename Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
    while (!ready()) WaitMs(lock, kForever);
  }
  template <typename Rep, typename Period>
  std::cv_status wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& span) {
    return WaitMs(lock, MsOf(std::chrono::ceil<std::chrono::milliseconds>(span))) ? std::cv_status::no_timeout
                                                                                  : std::cv_status::timeout;
  }
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& span, Predicate ready) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::ceil<Clock::duration>(span);
    while (!ready()) {
      const Clock::time_point now = Clock::now();
      if (now >= deadline) return ready();
      WaitMs(lock, MsOf(std::chrono::ceil<std::chrono::milliseconds>(deadline - now)));
    }
    return true;
  }

 private:
  static constexpr unsigned long kForever = 0xFFFFFFFFul;
  // Milliseconds as the system takes them: never negative, and short of "forever".
  static unsigned long MsOf(std::chrono::milliseconds span) {
    if (span.count() <= 0) return 0;
    return span.count() >= static_cast<long long>(kForever) ? kForever - 1 : static_cast<unsigned long>(span.count());
  }
  // False when the time ran out (a wake-up may still come without the condition being true).
  bool WaitMs(std::unique_lock<Mutex>& lock, unsigned long ms);
  void* variable_ = nullptr;  // a CONDITION_VARIABLE: one pointer, zero when new
};

#else

using Mutex = std::mutex;
using ConditionVariable = std::condition_variable;

#endif

}  // namespace platform
}  // namespace kavex
