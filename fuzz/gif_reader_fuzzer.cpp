// Arbitrary bytes through the GIF reader and the animation's composition. Besides the sanitizers'
// checks: every image gives each of its rows exactly once with no more pixels than its width, and
// every frame is a whole canvas with a matching bitmap header.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "output/animated_image.h"
#include "output/gif_reader.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class RowCheck : public kavex::GifRowSink {
 public:
  RowCheck(uint32_t width, uint32_t height) : width_(width), seen_(height, false) {}
  void OnRow(uint32_t row, const uint8_t* indices, uint32_t written) override {
    Check(row < seen_.size() && !seen_[row]);
    Check(written <= width_);
    seen_[row] = true;
    ++rows_;
    for (uint32_t k = 0; k < written; ++k) sum_ += indices[k];  // every written pixel is readable
  }
  bool Complete() const { return rows_ == seen_.size(); }

 private:
  const uint32_t width_;
  std::vector<bool> seen_;
  size_t rows_ = 0;
  volatile uint32_t sum_ = 0;
};

void ReadBlocks(const uint8_t* data, size_t size) {
  kavex::GifReader reader(data, size);
  kavex::GifScreen screen;
  if (!reader.ReadScreen(&screen)) return;
  for (int blocks = 0; blocks < 64; ++blocks) {
    kavex::GifReader::Block block = reader.NextBlock();
    if (block == kavex::GifReader::Block::kEnd) break;
    if (block != kavex::GifReader::Block::kImage) continue;
    RowCheck rows(reader.image().width, reader.image().height);
    if (reader.DecodeImage(&rows)) Check(rows.Complete());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReadBlocks(data, size);

  kavex::AnimatedImage image;
  const size_t frames = image.Load(data, size);
  Check(frames == image.frameCount() && frames <= kavex::AnimatedImage::kMaxFrames);
  const size_t frameBytes = static_cast<size_t>(image.canvasWidth()) * image.canvasHeight() * 4;
  for (size_t i = 0; i < frames; ++i) {
    const kavex::AnimationFrame& frame = image.frame(i);
    Check(frame.width == image.canvasWidth() && frame.height == image.canvasHeight());
    Check(frame.pixels.size() == frameBytes);
    Check(frame.header.width == frame.width && frame.header.height == -frame.height);
  }
  return 0;
}
