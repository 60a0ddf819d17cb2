#pragma once

namespace kavex {

// Seconds since the engine first asked for the time, from the high-resolution counter. The counter's
// start value and frequency are read once per process, so every thread measures on the same scale.
// Thread: any.
class EngineClock {
 public:
  static double Now();
};

}  // namespace kavex
