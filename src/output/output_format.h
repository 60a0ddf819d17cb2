#pragma once
#include <cstdint>
#include <cstdlib>

#include "kavex_camera_contract.h"

namespace kavex {

// The pixel layouts a camera driver takes.
enum OutputPixelCode : uint32_t {
  kPixelRgb24 = kavex_camera::kRgb24,
  kPixelYuy2 = kavex_camera::kYuy2,
  kPixelI420 = kavex_camera::kI420,
  kPixelArgb = kavex_camera::kArgb,
};

// What the camera's consumer currently receives.
struct OutputFormat {
  uint32_t width = 640;
  int32_t height = 360;
  float fps = 30.0f;
  uint32_t code = kPixelI420;

  uint32_t rows() const { return static_cast<uint32_t>(std::abs(static_cast<int64_t>(height))); }
};

// Bytes of one picture of this size and layout; codes the engine does not know count as the widest
// layout, so that a size check never lets an unknown layout through.
inline uint64_t PictureBytes(uint32_t width, int32_t height, uint32_t code) {
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(std::abs(static_cast<int64_t>(height)));
  switch (code) {
    case kPixelRgb24:
      return pixels * 3;
    case kPixelYuy2:
      return pixels * 2;
    case kPixelI420:
      return pixels * 3 / 2;
    default:
      return pixels * 4;
  }
}

}  // namespace kavex
