#include "output/animated_image.h"

#include <algorithm>

#include "output/gif_reader.h"
#include "platform/module_resource.h"

namespace kavex {

namespace {

constexpr int kDisposalToBackground = 2;

// Draws one image's rows onto the canvas. The canvas is kept in the frames' byte order (blue,
// green, red, alpha) so that a frame is a plain copy of it.
class ImageComposer : public GifRowSink {
 public:
  ImageComposer(std::vector<uint8_t>* canvas, uint32_t canvasWidth, uint32_t canvasHeight,
                const GifImageDescriptor& image, const GifColorTable& palette, uint8_t transparentIndex, int disposal,
                GifColor background)
      : canvas_(*canvas),
        canvasWidth_(canvasWidth),
        canvasHeight_(canvasHeight),
        image_(image),
        palette_(palette),
        transparentIndex_(transparentIndex),
        disposal_(disposal),
        background_(background) {}

  void OnRow(uint32_t row, const uint8_t* indices, uint32_t written) override {
    // Clipping: only the part of the image inside the logical screen is drawn.
    const uint32_t y = image_.top + row;
    if (y >= canvasHeight_ || image_.left >= canvasWidth_) return;
    const uint32_t columns = std::min<uint32_t>(image_.width, canvasWidth_ - image_.left);
    uint8_t* pixel = &canvas_[(static_cast<size_t>(y) * canvasWidth_ + image_.left) * 4];
    for (uint32_t k = 0; k < columns; ++k, pixel += 4) {
      const uint8_t index = k < written ? indices[k] : 0;
      if (index == transparentIndex_) {
        if (disposal_ == kDisposalToBackground) Paint(pixel, background_, 0);
        continue;
      }
      Paint(pixel, palette_[index], 255);
    }
  }

 private:
  static void Paint(uint8_t* pixel, GifColor color, uint8_t alpha) {
    pixel[0] = color.blue;
    pixel[1] = color.green;
    pixel[2] = color.red;
    pixel[3] = alpha;
  }

  std::vector<uint8_t>& canvas_;
  const uint32_t canvasWidth_;
  const uint32_t canvasHeight_;
  const GifImageDescriptor& image_;
  const GifColorTable& palette_;
  const uint8_t transparentIndex_;
  const int disposal_;
  const GifColor background_;
};

AnimationFrame MakeFrame(const std::vector<uint8_t>& canvas, int32_t width, int32_t height) {
  AnimationFrame frame;
  frame.width = width;
  frame.height = height;
  frame.pixels = canvas;
  frame.header.width = width;
  frame.header.height = -height;
  return frame;
}

}  // namespace

size_t AnimatedImage::Load(const uint8_t* data, size_t size) {
  Release();
  if (data == nullptr) return 0;
  GifReader reader(data, size);
  GifScreen screen;
  if (!reader.ReadScreen(&screen)) return 0;
  const uint32_t pixelCount = static_cast<uint32_t>(screen.width) * screen.height;
  if (pixelCount == 0 || pixelCount > kMaxCanvasPixels) return 0;
  canvasWidth_ = screen.width;
  canvasHeight_ = screen.height;
  const size_t frameBytes = static_cast<size_t>(pixelCount) * 4;
  std::vector<uint8_t> canvas(frameBytes, 0);
  const GifColor background = screen.globalTable[screen.backgroundIndex];

  uint8_t controlPacked = 0;
  uint8_t transparentIndex = 0;
  for (;;) {
    const GifReader::Block block = reader.NextBlock();
    if (block == GifReader::Block::kEnd) break;
    if (block == GifReader::Block::kExtension) {
      const GifExtension& extension = reader.extension();
      if (extension.label == GifReader::kGraphicControlLabel && extension.blockCount > 0 &&
          extension.firstBlockSize == 4) {
        controlPacked = extension.firstBlock[0];
        transparentIndex = extension.firstBlock[3];
      }
      continue;
    }
    if (frames_.size() >= kMaxFrames || (frames_.size() + 1) * frameBytes > kMaxFrameBytes) break;
    const GifImageDescriptor& image = reader.image();
    ImageComposer composer(&canvas, screen.width, screen.height, image,
                           image.hasLocalTable ? image.localTable : screen.globalTable, transparentIndex,
                           (controlPacked >> 2) & 0x07, background);
    reader.DecodeImage(&composer);
    frames_.push_back(MakeFrame(canvas, canvasWidth_, canvasHeight_));
  }
  return frames_.size();
}

size_t AnimatedImage::LoadFromModule(int resourceId) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (!platform::LoadModuleResource(resourceId, &data, &size)) {
    Release();
    return 0;
  }
  // The resource stays mapped with the module, so it is decoded in place rather than copied.
  return Load(data, size);
}

void AnimatedImage::Release() {
  frames_.clear();
  frames_.shrink_to_fit();
  canvasWidth_ = 0;
  canvasHeight_ = 0;
}

}  // namespace kavex
