#pragma once
#include <chrono>
#include <climits>

namespace kavex::platform {

// A deadline or a length of time turned into the int milliseconds that poll, WSAPoll and the
// other waits of the OS take. They read a negative number as "wait forever", so the conversion
// saturates instead of keeping the low bits: a deadline of "never" (the steady clock's maximum)
// must not come out negative because the machine has been up for some weeks.
// Thread: any (no state).

// The longest wait these conversions give: about 24.8 days.
constexpr int kLongestWaitMs = INT_MAX;

// Whole milliseconds from now until deadline: 0 once it has passed, at most kLongestWaitMs.
// now is a reading of the same clock (the parameter lets tests stand at any uptime).
inline int WaitMsUntil(std::chrono::steady_clock::time_point deadline,
                       std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now()) {
  if (deadline <= now) return 0;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
  return left >= kLongestWaitMs ? kLongestWaitMs : static_cast<int>(left);
}

// Whole milliseconds of a wait given in seconds (a difference of Clock readings): 0 for a
// negative or NaN one, at most kLongestWaitMs.
inline int WaitMsOfSeconds(double seconds) {
  if (!(seconds > 0.0)) return 0;
  const double milliseconds = seconds * 1000.0;
  return milliseconds >= static_cast<double>(kLongestWaitMs) ? kLongestWaitMs : static_cast<int>(milliseconds);
}

}  // namespace kavex::platform
