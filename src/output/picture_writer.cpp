#include "output/picture_writer.h"

#include <cstddef>
#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "common/error_log.h"
#include "output/frame_slot.h"
#include "output/picture_fit.h"

namespace kavex {
namespace {

AVPixelFormat ScalerFormat(uint32_t code) {
  switch (code) {
    case kPixelRgb24:
      return AV_PIX_FMT_BGR24;
    case kPixelYuy2:
      return AV_PIX_FMT_YUYV422;
    case kPixelI420:
      return AV_PIX_FMT_YUV420P;
    default:
      return AV_PIX_FMT_ARGB;
  }
}

bool SameFormat(const OutputFormat& a, const OutputFormat& b) {
  return a.width == b.width && a.height == b.height && a.code == b.code;
}

bool SameFit(const PictureFit& a, const PictureFit& b) {
  return a.width == b.width && a.height == b.height && a.xOffset == b.xOffset && a.yOffset == b.yOffset;
}

// Black in the layout's own bytes: zeros for RGB24, Y 0 with neutral chroma for YUY2 (what a
// clear of the slots writes). `bytes` starts on a pixel pair.
void FillBlack(uint8_t* at, size_t bytes, uint32_t code) {
  if (code != kPixelYuy2) {
    std::memset(at, 0, bytes);
    return;
  }
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    at[i] = 0x00;
    at[i + 1] = 0x80;
  }
}

// Writes black everywhere outside the fit of an RGB24 or YUY2 picture; the other layouts have no
// bars.
void FillBars(const OutputFormat& format, const PictureFit& fit, uint8_t* slotData) {
  if (format.code != kPixelRgb24 && format.code != kPixelYuy2) return;
  const size_t width = format.width;
  const size_t rows = format.rows();
  if (fit.width == width && fit.height == rows) return;
  const size_t pixelBytes = format.code == kPixelRgb24 ? 3 : 2;
  const size_t rowBytes = pixelBytes * width;
  // An RGB24 picture stored bottom row first has its top bar at the slot's end.
  const bool bottomUp = format.code == kPixelRgb24 && format.height < 0;
  const size_t firstRow = bottomUp ? rows - fit.yOffset - fit.height : fit.yOffset;
  const size_t endRow = firstRow + fit.height;
  const size_t left = pixelBytes * fit.xOffset;
  const size_t right = pixelBytes * (fit.xOffset + fit.width);
  FillBlack(slotData, firstRow * rowBytes, format.code);
  for (size_t row = firstRow; row < endRow; ++row) {
    uint8_t* line = slotData + row * rowBytes;
    FillBlack(line, left, format.code);
    FillBlack(line + right, rowBytes - right, format.code);
  }
  FillBlack(slotData + endRow * rowBytes, (rows - endRow) * rowBytes, format.code);
}

}  // namespace

int ScalerSourceFormat(int pictureFormat) {
  // The deprecated full-range name stands for the same 4:2:0 layout; given as is, the scaler warns
  // about it on every new context.
  return pictureFormat == AV_PIX_FMT_YUVJ420P ? AV_PIX_FMT_YUV420P : pictureFormat;
}

PictureWriter::~PictureWriter() { sws_freeContext(scaler_); }

uint64_t PictureWriter::SlotExtent(const OutputFormat& format) {
  const uint64_t width = format.width;
  const uint64_t rows = format.rows();
  const uint64_t bytes = PictureBytes(format.width, format.height, format.code);
  if (width == 0 || rows == 0) return bytes;
  switch (format.code) {
    case kPixelYuy2:
      // The scaler writes whole Y0 U Y1 V groups: an odd width adds half a group to the last row.
      return bytes + (width & 1) * 2;
    case kPixelI420: {
      // The V plane starts at 5/4 of the luma size with rows width / 2 apart, but each of its
      // rows holds the rounded-up half width, and there are rounded-up half as many.
      const uint64_t chromaRows = (rows + 1) / 2;
      const uint64_t vEnd = 5 * width * rows / 4 + (chromaRows - 1) * (width / 2) + (width + 1) / 2;
      return vEnd > bytes ? vEnd : bytes;
    }
    default:
      return bytes;
  }
}

bool PictureWriter::Write(const AVFrame& picture, const OutputFormat& format, uint8_t* slotData, uint32_t* length,
                          SlotBars* bars) {
  if (format.height == 0) return false;
  if (format.code > kPixelArgb) {
    ErrorLog::Record(error_codes::kUnknownPixelCode);
    return false;
  }
  // A consumer may demand more than a slot holds; writing it would run past the slot (into the
  // next one, or out of the shared section).
  if (SlotExtent(format) > FrameSlot::kDataBytes) return false;

  const uint64_t width = format.width;
  const uint64_t rows = format.rows();
  const PictureFit fit = FitPicture(picture.width, picture.height, format.width, format.height, format.code);
  if (fit.empty()) return false;

  // Rows in the slot are the output's full width apart, bars included.
  uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
  int strides[4] = {0, 0, 0, 0};
  const bool bottomUp = format.height < 0;
  switch (format.code) {
    case kPixelRgb24: {
      const uint64_t firstRow = bottomUp ? rows - 1 - fit.yOffset : fit.yOffset;
      planes[0] = slotData + 3 * (firstRow * width + fit.xOffset);
      const int64_t rowBytes = 3 * static_cast<int64_t>(width);
      strides[0] = static_cast<int>(bottomUp ? -rowBytes : rowBytes);
      break;
    }
    case kPixelYuy2:
      planes[0] = slotData + 2 * (fit.yOffset * width + fit.xOffset);
      strides[0] = static_cast<int>(2 * width);
      break;
    case kPixelI420:
      planes[0] = slotData;
      planes[1] = slotData + width * rows;
      planes[2] = slotData + 5 * width * rows / 4;
      strides[0] = static_cast<int>(width);
      strides[1] = strides[2] = static_cast<int>(width / 2);
      break;
    default: {
      const int64_t rowBytes = 4 * static_cast<int64_t>(width);
      planes[0] = slotData + (bottomUp ? 4 * (rows - 1) * width : 0);
      strides[0] = static_cast<int>(bottomUp ? -rowBytes : rowBytes);
      break;
    }
  }

  scaler_ = sws_getCachedContext(scaler_, picture.width, picture.height,
                                 static_cast<AVPixelFormat>(ScalerSourceFormat(picture.format)),
                                 static_cast<int>(fit.width), static_cast<int>(fit.height), ScalerFormat(format.code),
                                 SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
  if (scaler_ == nullptr) return false;

  // The bars hold whatever the slot held there: the last picture of another fit (the phone
  // turned, the format stayed), or a placeholder. They are blackened when that may be so.
  const bool barsBlack = bars != nullptr && bars->known && SameFormat(bars->format, format) &&
                         (bars->fit.empty() || SameFit(bars->fit, fit));
  if (bars != nullptr) bars->known = false;
  if (!barsBlack) FillBars(format, fit, slotData);
  if (sws_scale(scaler_, picture.data, picture.linesize, 0, picture.height, planes, strides) <= 0) return false;
  // Every layout's length counts whole rows; a YUY2 demand with a negative height still fills
  // |height| rows.
  *length = static_cast<uint32_t>(PictureBytes(format.width, format.height, format.code));
  if (bars != nullptr) *bars = SlotBars{true, format, fit};
  return true;
}

}  // namespace kavex
