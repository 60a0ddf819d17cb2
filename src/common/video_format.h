#pragma once
#include <cstdint>

namespace kavex {

// A picture size and rate: the same 12 bytes on the wire (u32 width, u32 height, f32 fps).
struct VideoFormat {
  uint32_t width = 0;
  uint32_t height = 0;
  float framesPerSecond = 0.0f;
};

}  // namespace kavex
