#pragma once
#include <cstdint>

namespace kavex::platform {

// The high-resolution counter: the performance counter on Windows, CLOCK_MONOTONIC elsewhere.
// Both are monotonic and unaffected by wall-clock changes, which is what deadlines need.
uint64_t ReadCounter();
uint64_t CounterFrequency();

}  // namespace kavex::platform

namespace kavex {

// Where a component reads the time its time-outs and deadlines are measured on, in seconds on a
// monotonic scale. Components take one so that tests can move time instead of waiting it out; the
// engine passes EngineClock::AsClock().
// Thread: any; an implementation must allow readings from several threads at once.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double Now() = 0;
};

// Seconds since the engine first asked for the time, from the high-resolution counter. The counter's
// start value and frequency are read once per process, so every thread measures on the same scale.
// Thread: any.
class EngineClock {
 public:
  static double Now();
  // The same clock behind the Clock interface: the default of every component that takes one.
  static Clock& AsClock();
};

}  // namespace kavex
