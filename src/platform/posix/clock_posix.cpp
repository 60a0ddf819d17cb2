#include "platform/clock.h"

#include <time.h>

namespace kavex::platform {

uint64_t ReadCounter() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t CounterFrequency() { return 1000000000ull; }

}  // namespace kavex::platform
