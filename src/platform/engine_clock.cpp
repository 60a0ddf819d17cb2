#include "platform/clock.h"

namespace kavex {

namespace {

struct CounterBase {
  uint64_t start = platform::ReadCounter();
  double frequency = static_cast<double>(platform::CounterFrequency());
};

class EngineClockSource final : public Clock {
 public:
  double Now() override { return EngineClock::Now(); }
};

}  // namespace

double EngineClock::Now() {
  // A function-local static is initialised exactly once, thread-safely, at the first call.
  static const CounterBase base;
  const uint64_t elapsed = platform::ReadCounter() - base.start;
  return static_cast<double>(elapsed) / base.frequency;
}

Clock& EngineClock::AsClock() {
  // Never destroyed: engine threads may still read it while the process exits.
  static EngineClockSource* const clock = new EngineClockSource;
  return *clock;
}

}  // namespace kavex
