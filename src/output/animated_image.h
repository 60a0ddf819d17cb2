#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavex {

// The layout of the Windows BITMAPINFOHEADER, so that a frame can be handed to the drawing code as it
// is (this part of the engine includes no system headers).
struct BitmapInfoHeader {
  uint32_t size = 40;
  int32_t width = 0;
  int32_t height = 0;  // negative: top row first
  uint16_t planes = 1;
  uint16_t bitCount = 32;
  uint32_t compression = 0;  // BI_RGB
  uint32_t sizeImage = 0;
  int32_t xPelsPerMeter = 11811;  // 300 dots per inch
  int32_t yPelsPerMeter = 11811;
  uint32_t colorsUsed = 0;
  uint32_t colorsImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40, "BitmapInfoHeader must match BITMAPINFOHEADER");

// One fully composed picture of the animation, ready for a 32-bit device-independent bitmap blit.
struct AnimationFrame {
  int32_t width = 0;
  int32_t height = 0;
  // height rows of width pixels, 4 bytes each (blue, green, red, alpha), top row first, rows
  // 4 * width bytes apart.
  std::vector<uint8_t> pixels;
  BitmapInfoHeader header;
};

// The placeholder animation: a GIF decoded once into the canvas size and one composed frame per
// image of the file. The GIF's delays and loop count are not kept: the placeholder advances one
// frame per picture it draws.
// Thread: loaded and released by the thread that opens and closes the owning output; read by that
// output's feeder thread only between the two. Owns its frames.
//
// Composition: each image is drawn onto a canvas that is never cleared, and a copy of the whole
// canvas after each image is that image's frame. The most recent graphic control extension's
// packed byte and transparent index stay in force from image to image (all zero before the first),
// and its transparent index counts whether or not the extension's transparency flag is set: such a
// pixel keeps the canvas pixel, except under disposal method 2, where it becomes the background
// colour (global table) with alpha 0. Every other pixel takes its palette colour with alpha 255.
//
// Files the animation cannot come from are refused or trimmed, never trusted:
// - no "GIF" signature, a logical screen of zero pixels or more than kMaxCanvasPixels: no canvas and
//   no frames (Load returns 0, canvasWidth() is 0);
// - no global colour table: an all-black one (images with a local table keep their colours);
// - images lying partly or wholly outside the logical screen are clipped to it; they still make a
//   frame;
// - an image whose data cannot be decoded (minimum code size outside 1-8) draws nothing but still
//   makes a frame, so that the frames keep following the file's images;
// - at most kMaxFrames frames and kMaxFrameBytes of pixels: the images beyond either are not read.
class AnimatedImage {
 public:
  // The placeholder animation's resource in the engine's own module.
  static constexpr int kPlaceholderResourceId = 101;
  // Bounds on what one output keeps: an animation centred in the camera picture has no use for a
  // canvas beyond 640 x 480, and the shipped one takes 17 frames of 44 KB.
  static constexpr uint32_t kMaxCanvasPixels = 640 * 480;
  static constexpr size_t kMaxFrames = 256;
  static constexpr size_t kMaxFrameBytes = size_t{32} << 20;

  AnimatedImage() = default;
  AnimatedImage(const AnimatedImage&) = delete;
  AnimatedImage& operator=(const AnimatedImage&) = delete;

  // Decodes a GIF held in memory, replacing whatever was loaded; the bytes are not kept. Returns the
  // number of frames.
  size_t Load(const uint8_t* data, size_t size);
  // Decodes the GIF stored in the engine's own module under this resource id.
  size_t LoadFromModule(int resourceId = kPlaceholderResourceId);
  void Release();

  int32_t canvasWidth() const { return canvasWidth_; }
  int32_t canvasHeight() const { return canvasHeight_; }
  size_t frameCount() const { return frames_.size(); }
  const AnimationFrame& frame(size_t index) const { return frames_[index]; }

 private:
  int32_t canvasWidth_ = 0;
  int32_t canvasHeight_ = 0;
  std::vector<AnimationFrame> frames_;
};

}  // namespace kavex
