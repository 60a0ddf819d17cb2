#pragma once
#include <cstdint>

#include "output/output_format.h"
#include "output/picture_fit.h"

struct AVFrame;
struct SwsContext;

namespace kavex {

// The pixel format a decoded picture is scaled from (FFmpeg's AVPixelFormat values): YUVJ420P is
// read as YUV420P.
int ScalerSourceFormat(int pictureFormat);

// What a frame slot holds around the picture last written into it, as far as its writer knows:
// black outside `fit` for `format` (an empty fit: black everywhere, as a clear leaves it). Anything
// else that writes into the slot (the placeholder, a hand-over) makes it unknown.
struct SlotBars {
  bool known = false;
  OutputFormat format{0, 0, 0.0f, 0};
  PictureFit fit;
};

// Converts decoded pictures straight into a camera frame slot, in the layout and size the camera's
// consumer demands: fitted without distortion for RGB24 and YUY2 (black bars, rewritten only when
// the fit moves), filled for I420 and ARGB, bottom row first for a negative height in RGB24 and
// ARGB.
// Thread: the decoder thread. Owns the frame scaler, kept between pictures and rebuilt only when
// a size or a layout changes.
class PictureWriter {
 public:
  PictureWriter() = default;
  ~PictureWriter();
  PictureWriter(const PictureWriter&) = delete;
  PictureWriter& operator=(const PictureWriter&) = delete;

  // Writes picture into slotData (a frame slot's data, at least FrameSlot::kDataBytes long) in
  // format and sets *length to the slot's length field value. True only when a new picture is in
  // the slot. False when nothing was written and the slot must not be announced: a height of 0, an
  // unknown layout (recorded as error 805, "qc"), a format that does not fit a slot, an empty fit
  // or a picture the scaler refuses; *length and the slot are then untouched (only a conversion
  // that fails part way may leave bytes of the slot changed).
  // bars: what the slot holds around its last picture, updated here; null when unknown (the bars
  // are then written).
  bool Write(const AVFrame& picture, const OutputFormat& format, uint8_t* slotData, uint32_t* length,
             SlotBars* bars = nullptr);

  // The bytes a picture of this format occupies in a slot, as the scaler writes them: a little more
  // than PictureBytes for odd sizes, whose chroma is rounded up. Unknown layouts count as ARGB.
  static uint64_t SlotExtent(const OutputFormat& format);

 private:
  SwsContext* scaler_ = nullptr;
};

}  // namespace kavex
