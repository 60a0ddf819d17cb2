#pragma once
#include <cstdint>

namespace kavex::platform {

// The high-resolution counter: the performance counter on Windows, CLOCK_MONOTONIC elsewhere.
// Both are monotonic and unaffected by wall-clock changes, which is what deadlines need.
uint64_t ReadCounter();
uint64_t CounterFrequency();

}  // namespace kavex::platform
