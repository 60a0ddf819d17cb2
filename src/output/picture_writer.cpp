#include "output/picture_writer.h"

#include <cstddef>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "output/frame_slot.h"
#include "output/picture_fit.h"
#include "protocol/error_log.h"

namespace kavex {
namespace {

AVPixelFormat ScalerFormat(uint32_t code) {
  switch (code) {
    case kPixelRgb24: return AV_PIX_FMT_BGR24;
    case kPixelYuy2: return AV_PIX_FMT_YUYV422;
    case kPixelI420: return AV_PIX_FMT_YUV420P;
    default: return AV_PIX_FMT_ARGB;
  }
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

bool PictureWriter::Write(const AVFrame& picture, const OutputFormat& format, uint8_t* slotData,
                          uint32_t* length) {
  if (format.height == 0) return false;
  if (format.code > kPixelArgb) {
    ErrorLog::RecordError("qc", 805);
    return false;
  }
  // A consumer may demand more than a slot holds; writing it would run past the slot (into the
  // next one, or out of the shared section).
  if (SlotExtent(format) > FrameSlot::kDataBytes) return false;

  const uint64_t width = format.width;
  const uint64_t rows = format.rows();
  // Every layout's length counts whole rows; a YUY2 demand with a negative height still fills
  // |height| rows.
  *length = static_cast<uint32_t>(PictureBytes(format.width, format.height, format.code));

  const PictureFit fit = FitPicture(picture.width, picture.height, format.width, format.height, format.code);
  if (fit.empty()) return true;

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
                                 static_cast<int>(fit.width), static_cast<int>(fit.height),
                                 ScalerFormat(format.code), SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
  if (scaler_ == nullptr) return true;
  sws_scale(scaler_, picture.data, picture.linesize, 0, picture.height, planes, strides);
  return true;
}

}  // namespace kavex
