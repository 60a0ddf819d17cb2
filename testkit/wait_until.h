#pragma once
// Polling with a deadline on the steady clock, as the end-to-end programs wait for what an engine
// thread or a phone reports.
// Thread: the caller's.
#include <chrono>
#include <thread>

namespace testkit {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// True as soon as done() is; false once timeoutMs passed without it (done() is asked once more at
// the end, so a late success still counts).
template <typename Done>
bool WaitUntil(Done&& done, int timeoutMs, int pollMs = 20) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return done();
}

}  // namespace testkit
