#include "media/audio_thinning.h"

namespace kavex::audio_thinning {

uint32_t DropInterval(const uint32_t (&history)[kHistoryLength]) {
  uint32_t highest = 0;
  uint32_t lowest = 1000000;
  for (uint32_t level : history) {
    if (level > highest) highest = level;
    if (level < lowest) lowest = level;
  }
  // The lowest level caps at 1,000,000 bytes, far beyond any real backlog: levels above it count as
  // spread, not as a steady backlog.
  const uint32_t spread = highest - lowest;
  if (lowest <= spread) return 0;
  const uint32_t excess = (lowest - spread) / 2;
  const uint32_t k = excess / 400;
  return k == 0 ? 0 : 960 / k;
}

}  // namespace kavex::audio_thinning
