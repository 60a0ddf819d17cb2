#include "output/preview_buffer.h"

#include <memory>
#include <new>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "output/picture_writer.h"

namespace kavex {

PreviewBuffer* PreviewBuffer::Get() {
  // Made on first use and freed when the engine unloads (the buffer first, then its pixels): the
  // host's preview may render from it after the instances are gone, but not once the engine is
  // unloaded, since rendering is the engine's own code. Kept for the life of the process, it would
  // cost a 32-bit host 32 MiB of address space at every load, until a camera has no room left for
  // its pictures.
  static const std::unique_ptr<uint8_t[]> pixels(new (std::nothrow) uint8_t[kBytes]);
  static const std::unique_ptr<PreviewBuffer> buffer(pixels != nullptr ? new (std::nothrow) PreviewBuffer(pixels.get())
                                                                       : nullptr);
  return buffer.get();
}

bool PreviewBuffer::PeekPreview(Picture* picture) const {
  if (!full()) return false;
  picture->pixels = pixels_;
  picture->width = width_;
  picture->height = height_;
  return true;
}

void PreviewBuffer::MarkPreviewEmpty() {
  int expected = kFull;
  state_.compare_exchange_strong(expected, kEmpty, std::memory_order_acq_rel);
}

bool PreviewBuffer::Claim() {
  int expected = kEmpty;
  return state_.compare_exchange_strong(expected, kFilling, std::memory_order_acq_rel);
}

void PreviewBuffer::Publish(int32_t width, int32_t height) {
  width_ = width;
  height_ = height;
  state_.store(kFull, std::memory_order_release);
}

void PreviewBuffer::Abandon() { state_.store(kEmpty, std::memory_order_release); }

PreviewWriter::~PreviewWriter() { sws_freeContext(scaler_); }

bool PreviewWriter::Write(const AVFrame& picture) {
  PreviewBuffer* buffer = PreviewBuffer::Get();
  if (buffer == nullptr || !buffer->Claim()) return false;

  // A 3840-wide picture is previewed at half size: the preview window is far smaller anyway.
  int32_t width = picture.width;
  int32_t height = picture.height;
  if (width == 3840) {
    width = 1920;
    height = picture.height / 2;
  }
  if (width <= 0 || height <= 0 ||
      static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4 > PreviewBuffer::kBytes) {
    buffer->Abandon();
    return false;
  }

  scaler_ = sws_getCachedContext(scaler_, picture.width, picture.height,
                                 static_cast<AVPixelFormat>(ScalerSourceFormat(picture.format)), width, height,
                                 AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
  if (scaler_ == nullptr) {
    buffer->Abandon();
    return false;
  }
  uint8_t* planes[4] = {buffer->pixels(), nullptr, nullptr, nullptr};
  const int strides[4] = {4 * width, 0, 0, 0};
  sws_scale(scaler_, picture.data, picture.linesize, 0, picture.height, planes, strides);
  buffer->Publish(width, height);
  return true;
}

}  // namespace kavex
