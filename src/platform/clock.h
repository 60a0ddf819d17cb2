#pragma once
#include <cstdint>

namespace kavex::platform {

// The high-resolution counter: the performance counter on Windows, CLOCK_MONOTONIC elsewhere.
// Both are monotonic and unaffected by wall-clock changes, which is what deadlines need.
uint64_t ReadCounter();
uint64_t CounterFrequency();

}  // namespace kavex::platform

namespace kavex {

// Seconds since the engine first asked for the time, from the high-resolution counter. The counter's
// start value and frequency are read once per process, so every thread measures on the same scale.
// Thread: any.
class EngineClock {
 public:
  static double Now();
};

}  // namespace kavex
