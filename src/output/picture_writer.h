#pragma once
#include <cstdint>

#include "output/output_format.h"

struct AVFrame;
struct SwsContext;

namespace kavex {

// The pixel format a decoded picture is scaled from (FFmpeg's AVPixelFormat values): YUVJ420P is
// read as YUV420P.
int ScalerSourceFormat(int pictureFormat);

// Converts decoded pictures straight into a camera frame slot, in the layout and size the camera's
// consumer demands: fitted without distortion for RGB24 and YUY2 (the bars keep whatever the slot
// holds, black after the slots were cleared), filled for I420 and ARGB, bottom row first for a
// negative height in RGB24 and ARGB.
// Thread: the decoder thread. Owns the frame scaler, kept between pictures and rebuilt only when
// a size or a layout changes.
class PictureWriter {
 public:
  PictureWriter() = default;
  ~PictureWriter();
  PictureWriter(const PictureWriter&) = delete;
  PictureWriter& operator=(const PictureWriter&) = delete;

  // Writes picture into slotData (a frame slot's data, at least FrameSlot::kDataBytes long) in
  // format and sets *length to the slot's length field value. Returns false when the slot must not
  // be touched or announced: a height of 0, an unknown layout (recorded as error 805, "qc"), or a
  // format that does not fit a slot. Returns true otherwise, also when nothing could be drawn (an
  // empty fit or a picture the scaler refuses): the slot then keeps what it held.
  bool Write(const AVFrame& picture, const OutputFormat& format, uint8_t* slotData, uint32_t* length);

  // The bytes a picture of this format occupies in a slot, as the scaler writes them: a little more
  // than PictureBytes for odd sizes, whose chroma is rounded up. Unknown layouts count as ARGB.
  static uint64_t SlotExtent(const OutputFormat& format);

 private:
  SwsContext* scaler_ = nullptr;
};

}  // namespace kavex
