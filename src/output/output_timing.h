#pragma once
#include "platform/clock.h"

namespace kavex {

// Where a camera output reads its time (the feeder's pauses, the placeholder's pace) and how often
// its feeder looks at that clock while it waits. The engine's clock and one real wait per pause by
// default. A test passes a clock it moves, or one that steps at every reading, with a short poll:
// the feeder then re-reads the clock every pollMs of real time and sees moved time at once instead
// of waiting its pauses out.
// Thread: any; the clock must outlive the output.
struct OutputTiming {
  Clock* clock = &EngineClock::AsClock();
  int pollMs = 0;  // 0: a pause is one real wait, re-read only for the part the clock says is left
};

}  // namespace kavex
