// What the camera shows while no phone streams: the placeholder picture, or the plain green blank
// picture when the host has blanked the cameras.
#include "output/placeholder_painter.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

#include "platform/clock.h"
#include "platform/drawing_surface.h"
#include "platform/wait_time.h"

namespace kavex {
namespace {

// Shared by every camera's feeder: one animation sequence.
std::atomic<uint32_t> gAnimationCounter{0};

constexpr double kPlaceholderInterval = 0.1;  // ten pictures a second keep the idle cost low
const uint8_t kBlankRgb[3] = {0x00, 0xB1, 0x40};
const uint8_t kBlankYuy2[4] = {0x6F, 0x65, 0x6F, 0x30};
const wchar_t kCaption[] = L"Looking for the phone";
// The animation's top edge sits this far above the middle; the caption starts at the middle.
constexpr int kAnimationRise = 100;
constexpr int kCaptionHeight = 50;

void DrawPlaceholder(platform::DrawingSurface& canvas, const AnimatedImage& animation, uint32_t counter) {
  const int width = canvas.width();
  const int rows = canvas.height();
  canvas.FillBlack();
  // An animation that could not be loaded leaves the black picture and its caption.
  if (animation.frameCount() > 0) {
    const AnimationFrame& frame = animation.frame(counter % animation.frameCount());
    canvas.DrawBitmap(width / 2 - animation.canvasWidth() / 2, rows / 2 - kAnimationRise, &frame.header,
                      frame.pixels.data());
  }
  canvas.DrawCaption(kCaption, 0, rows / 2, width, rows / 2 + kCaptionHeight);
}

// Copies the canvas's rows, 3 × width bytes each without the canvas's row padding, in the order
// the driver wants them; with firstRow and endRow only those rows of the picture (top row first).
// Returns the bytes written.
size_t CompactRows(platform::DrawingSurface& canvas, bool topRowFirst, uint8_t* target, size_t firstRow = 0,
                   size_t endRow = SIZE_MAX) {
  const size_t rowBytes = 3 * static_cast<size_t>(canvas.width());
  const size_t rows = static_cast<size_t>(canvas.height());
  const uint8_t* pixels = canvas.pixels();
  endRow = std::min(endRow, rows);
  for (size_t row = firstRow; row < endRow; ++row) {
    const size_t pictureRow = topRowFirst ? row : rows - 1 - row;
    const size_t stored = canvas.topDown() ? pictureRow : rows - 1 - pictureRow;
    std::memcpy(target + (row - firstRow) * rowBytes, pixels + stored * static_cast<size_t>(canvas.stride()), rowBytes);
  }
  return rowBytes * (endRow > firstRow ? endRow - firstRow : 0);
}

// Converts a picture of packed BGR rows (3 × width bytes each, in the order the target's rows
// take: top row first, except ARGB with a negative height) into the driver's layout (YUY2, I420 or
// ARGB) at target. Returns the picture's bytes, 0 when no converter could be had. The source is a
// frame slot, not the canvas: the converter may read a little past the last row, which a slot has
// room for and the drawing surface's memory (page-sized under GDI) may not.
size_t ConvertRows(SwsContext** scaler, const uint8_t* source, int width, int rows, const OutputFormat& format,
                   uint8_t* target) {
  const int sourceStride = 3 * width;
  const size_t pixelCount = static_cast<size_t>(width) * static_cast<size_t>(rows);
  uint8_t* planes[4] = {target, nullptr, nullptr, nullptr};
  int strides[4] = {0, 0, 0, 0};
  int targetWidth = width;
  int targetRows = rows;
  AVPixelFormat targetFormat = AV_PIX_FMT_YUYV422;
  size_t bytes = 0;
  switch (format.code) {
    case kPixelYuy2:
      strides[0] = 2 * width;
      bytes = 2 * pixelCount;
      break;
    case kPixelArgb:
      targetFormat = AV_PIX_FMT_ARGB;
      strides[0] = 4 * width;
      bytes = 4 * pixelCount;
      break;
    case kPixelI420: {
      targetFormat = AV_PIX_FMT_YUV420P;
      // The driver's planes hold width / 2 × rows / 2 chroma samples: an odd last column or row
      // is left out of the conversion (and shown black) rather than written past its plane.
      targetWidth = width & ~1;
      targetRows = rows & ~1;
      planes[1] = target + pixelCount;
      planes[2] = target + pixelCount * 5 / 4;
      strides[0] = width;
      strides[1] = strides[2] = width / 2;
      bytes = pixelCount * 3 / 2;
      if (targetWidth != width || targetRows != rows) {
        std::memset(target, 16, pixelCount);
        std::memset(target + pixelCount, 128, bytes - pixelCount);
      }
      break;
    }
    default:
      return 0;
  }
  if (targetWidth == 0 || targetRows == 0) return bytes;
  *scaler = sws_getCachedContext(*scaler, width, rows, AV_PIX_FMT_BGR24, targetWidth, targetRows, targetFormat,
                                 SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
  if (*scaler == nullptr) return 0;
  const uint8_t* const sourcePlanes[4] = {source, nullptr, nullptr, nullptr};
  const int sourceStrides[4] = {sourceStride, 0, 0, 0};
  sws_scale(*scaler, sourcePlanes, sourceStrides, 0, rows, planes, strides);
  return bytes;
}

}  // namespace

PlaceholderPainter::PlaceholderPainter(Clock& clock) : clock_(clock) {}

PlaceholderPainter::~PlaceholderPainter() { Release(); }

void PlaceholderPainter::Load() {
  canvas_ = platform::DrawingSurface::Create();
  animation_.LoadFromModule(AnimatedImage::kPlaceholderResourceId);
}

void PlaceholderPainter::Release() {
  animation_.Release();
  canvas_.reset();
  sws_freeContext(scaler_);
  scaler_ = nullptr;
  sws_freeContext(bandScaler_);
  bandScaler_ = nullptr;
  yuy2Picture_.clear();
  yuy2Picture_.shrink_to_fit();
}

void PlaceholderPainter::ResizeCanvas(const OutputFormat& format) {
  if (canvas_ == nullptr) return;
  // The picture is stored top row first for RGB with a positive height, or for the other codes with
  // a negative one: the row order in which each is handed over.
  const bool topDown = format.code == kPixelRgb24 ? format.height > 0 : format.height < 0;
  canvas_->Resize(static_cast<int>(format.width), static_cast<int>(format.rows()), topDown);
}

bool PlaceholderPainter::PaintPlaceholder(const OutputFormat& format, CameraChannel& channel, DriverReport* report) {
  const int width = static_cast<int>(format.width);
  const int rows = static_cast<int>(format.rows());
  const uint32_t counter = gAnimationCounter.fetch_add(1);
  platform::DrawingSurface* canvas = canvas_.get();
  // The blank picture takes a control-code driver's new size without rebuilding the canvas.
  if (canvas != nullptr && (canvas->pixels() == nullptr || canvas->width() != width || canvas->height() != rows))
    ResizeCanvas(format);
  if (canvas == nullptr || canvas->pixels() == nullptr || canvas->width() != width || canvas->height() != rows)
    return false;
  DrawPlaceholder(*canvas, animation_, counter);
  if (format.code == kPixelRgb24) {
    const bool topRowFirst = format.height > 0;
    if (canvas->stride() == 3 * width && canvas->topDown() == topRowFirst) {
      *report = channel.HandOver(canvas->pixels(), 3 * static_cast<size_t>(width) * rows);
    } else {
      // The driver takes rows exactly 3 × width bytes apart; the canvas pads them to 4.
      uint8_t* scratch = channel.Scratch(0);
      *report = channel.HandOver(scratch, CompactRows(*canvas, topRowFirst, scratch));
    }
    return true;
  }
  if (format.code == kPixelYuy2) return PaintYuy2(*canvas, channel, report);
  const bool topRowFirst = format.code != kPixelArgb || format.height > 0;
  uint8_t* packed = channel.Scratch(0);
  CompactRows(*canvas, topRowFirst, packed);
  uint8_t* scratch = channel.Scratch(1);
  // Without a converter nothing is sent: the slot's stale bytes are no picture of this size.
  const size_t bytes = ConvertRows(&scaler_, packed, width, rows, format, scratch);
  if (bytes == 0) return false;
  *report = channel.HandOver(scratch, bytes);
  return true;
}

bool PlaceholderPainter::PaintYuy2(platform::DrawingSurface& canvas, CameraChannel& channel, DriverReport* report) {
  const int width = canvas.width();
  const int rows = canvas.height();
  const size_t bytes = 2 * static_cast<size_t>(width) * static_cast<size_t>(rows);
  const bool whole = yuy2Picture_.size() != bytes || yuy2Width_ != width;
  int first = 0;
  int end = rows;
  if (!whole) {
    // Only the animation's rows differ from the picture before (black, and the caption below).
    first = animation_.frameCount() > 0 ? std::clamp(rows / 2 - kAnimationRise, 0, rows) : 0;
    end = animation_.frameCount() > 0 ? std::clamp(rows / 2 - kAnimationRise + animation_.canvasHeight(), first, rows)
                                      : first;
  } else {
    yuy2Picture_.assign(bytes, 0);
    yuy2Width_ = width;
  }
  if (end > first) {
    uint8_t* packed = channel.Scratch(0);
    CompactRows(canvas, true, packed, static_cast<size_t>(first), static_cast<size_t>(end));
    // The band has a converter of its own: one converter for both sizes would be made anew each time.
    OutputFormat yuy2;
    yuy2.code = kPixelYuy2;
    if (ConvertRows(whole ? &scaler_ : &bandScaler_, packed, width, end - first, yuy2,
                    yuy2Picture_.data() + 2 * static_cast<size_t>(width) * static_cast<size_t>(first)) == 0) {
      yuy2Picture_.clear();  // converted in part: the next picture is made whole
      return false;
    }
  }
  *report = channel.HandOver(yuy2Picture_.data(), bytes);
  return true;
}

int PlaceholderPainter::ReserveNextPicture() {
  // Each picture reserves the next tenth of a second on this camera's own clock and waits for
  // it, so that every camera gets ten pictures a second however many show the placeholder.
  // (Remembering the time read before the wait instead would let every second picture through at
  // once: twenty a second.)
  const double now = clock_.Now();
  placeholderDue_ = std::max(now, placeholderDue_ + kPlaceholderInterval);
  const double remaining = placeholderDue_ - now;
  if (remaining <= 0.001) return 0;
  return platform::WaitMsOfSeconds(remaining);
}

bool PlaceholderPainter::PaintBlank(const OutputFormat& format, CameraChannel& channel, DriverReport* report) {
  const size_t width = format.width;
  const size_t rows = format.rows();
  if (format.code == kPixelRgb24 && blankState_ != 1) {
    blankState_ = 1;
    uint8_t* scratch = channel.Scratch(0);
    const size_t rowBytes = 3 * width;
    for (size_t x = 0; x < width; ++x) std::memcpy(scratch + 3 * x, kBlankRgb, 3);
    for (size_t row = 1; row < rows; ++row) std::memcpy(scratch + row * rowBytes, scratch, rowBytes);
    *report = channel.HandOver(scratch, rowBytes * rows);
    return true;
  }
  if (format.code == kPixelYuy2 && blankState_ != 2) {
    blankState_ = 2;
    uint8_t* scratch = channel.Scratch(0);
    const size_t bytes = 2 * width * rows;
    for (size_t i = 0; i + 4 <= bytes; i += 4) std::memcpy(scratch + i, kBlankYuy2, 4);
    *report = channel.HandOver(scratch, bytes);
    return true;
  }
  return false;
}

}  // namespace kavex
