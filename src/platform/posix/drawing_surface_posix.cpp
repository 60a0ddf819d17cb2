#include "platform/drawing_surface.h"

#include <climits>
#include <vector>

namespace kavex::platform {

namespace {

// Thread: the one drawing thread (see DrawingSurface). Owns the picture's memory, laid out as a
// 24-bit DIB so that the code reading it is the same on both systems.
class SoftwareDrawingSurface final : public DrawingSurface {
 public:
  bool Resize(int width, int height, bool topDown) override {
    pixels_.clear();
    pixels_.shrink_to_fit();
    width_ = height_ = stride_ = 0;
    topDown_ = false;
    if (width <= 0 || height <= 0) return false;
    const long long stride = (3LL * width + 3) / 4 * 4;
    if (stride * height > INT_MAX) return false;  // the limit a DIB section has
    pixels_.assign(static_cast<size_t>(stride * height), 0);
    width_ = width;
    height_ = height;
    topDown_ = topDown;
    stride_ = static_cast<int>(stride);
    return true;
  }

  uint8_t* pixels() override { return pixels_.empty() ? nullptr : pixels_.data(); }
  int width() const override { return width_; }
  int height() const override { return height_; }
  bool topDown() const override { return topDown_; }
  int stride() const override { return stride_; }

 private:
  std::vector<uint8_t> pixels_;
  int width_ = 0;
  int height_ = 0;
  bool topDown_ = false;
  int stride_ = 0;
};

}  // namespace

std::unique_ptr<DrawingSurface> DrawingSurface::Create() {
  return std::make_unique<SoftwareDrawingSurface>();
}

}  // namespace kavex::platform
