#include "picture_to_rgb.h"

namespace camera_viewer {
namespace {

uint8_t Clip(int value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

// Integer BT.601, studio swing: what a consumer that trusts the camera's YUV would show.
void YuvToRgb(int y, int u, int v, uint8_t* out) {
  const int c = 298 * (y - 16);
  const int d = u - 128;
  const int e = v - 128;
  out[0] = Clip((c + 409 * e + 128) >> 8);
  out[1] = Clip((c - 100 * d - 208 * e + 128) >> 8);
  out[2] = Clip((c + 516 * d + 128) >> 8);
}

}  // namespace

uint64_t PictureBytes(const PictureLayout& layout) {
  const uint64_t pixels = static_cast<uint64_t>(layout.width) * layout.rows();
  switch (layout.code) {
    case kRgb24:
      return pixels * 3;
    case kYuy2:
      return pixels * 2;
    case kI420:
      return pixels * 3 / 2;
    case kArgb:
      return pixels * 4;
    default:
      return 0;
  }
}

const char* PixelCodeName(uint32_t code) {
  switch (code) {
    case kRgb24:
      return "RGB24";
    case kYuy2:
      return "YUY2";
    case kI420:
      return "I420";
    case kArgb:
      return "ARGB";
    default:
      return "unknown";
  }
}

bool ToRgb(const PictureLayout& layout, const uint8_t* data, size_t size, std::vector<uint8_t>* rgb) {
  const uint64_t needed = PictureBytes(layout);
  if (needed == 0 || needed > size || data == nullptr) return false;
  const size_t width = layout.width;
  const size_t rows = layout.rows();
  rgb->resize(width * rows * 3);
  uint8_t* out = rgb->data();
  // Row r of the picture as the consumer sees it, top row first.
  const bool bottomUp = layout.height < 0;
  const auto sourceRow = [&](size_t r) { return bottomUp ? rows - 1 - r : r; };

  switch (layout.code) {
    case kRgb24:
      for (size_t r = 0; r < rows; ++r) {
        const uint8_t* in = data + sourceRow(r) * width * 3;
        for (size_t x = 0; x < width; ++x, in += 3, out += 3) {
          out[0] = in[2];
          out[1] = in[1];
          out[2] = in[0];
        }
      }
      break;
    case kArgb:
      for (size_t r = 0; r < rows; ++r) {
        const uint8_t* in = data + sourceRow(r) * width * 4;
        for (size_t x = 0; x < width; ++x, in += 4, out += 3) {
          out[0] = in[1];
          out[1] = in[2];
          out[2] = in[3];
        }
      }
      break;
    case kYuy2:
      for (size_t r = 0; r < rows; ++r) {
        const uint8_t* in = data + r * width * 2;
        for (size_t x = 0; x < width; ++x, out += 3) {
          const uint8_t* group = in + (x / 2) * 4;
          YuvToRgb(group[(x & 1) * 2], group[1], group[3], out);
        }
      }
      break;
    case kI420: {
      const uint8_t* yPlane = data;
      const uint8_t* uPlane = data + width * rows;
      const uint8_t* vPlane = uPlane + (width / 2) * (rows / 2);
      for (size_t r = 0; r < rows; ++r) {
        for (size_t x = 0; x < width; ++x, out += 3) {
          const size_t chroma = (r / 2) * (width / 2) + x / 2;
          YuvToRgb(yPlane[r * width + x], uPlane[chroma], vPlane[chroma], out);
        }
      }
      break;
    }
    default:
      return false;
  }
  return true;
}

}  // namespace camera_viewer
