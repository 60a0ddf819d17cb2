#pragma once
#include <cstdint>
#include <cstdlib>

namespace kavex {

// The pixel layouts a camera driver takes.
enum OutputPixelCode : uint32_t {
  kPixelRgb24 = 0,  // B, G, R per pixel; a negative height stores the bottom row first
  kPixelYuy2 = 1,   // packed 4:2:2, Y0 U Y1 V
  kPixelI420 = 2,   // Y plane, then U, then V at half width and half height
  kPixelArgb = 3,   // A, R, G, B per pixel
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
  const uint64_t pixels =
      static_cast<uint64_t>(width) * static_cast<uint64_t>(std::abs(static_cast<int64_t>(height)));
  switch (code) {
    case kPixelRgb24: return pixels * 3;
    case kPixelYuy2: return pixels * 2;
    case kPixelI420: return pixels * 3 / 2;
    default: return pixels * 4;
  }
}

}  // namespace kavex
