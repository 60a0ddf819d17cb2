#include "media/decoded_frame_pair.h"

extern "C" {
#include <libavutil/frame.h>
}

#include "protocol/error_log.h"

namespace kavex {

DecodedFramePair::DecodedFramePair() {
  for (AVFrame*& frame : frames_) {
    frame = av_frame_alloc();
    if (frame == nullptr) ErrorLog::RecordError("ob", 16);
  }
}

DecodedFramePair::~DecodedFramePair() {
  for (AVFrame*& frame : frames_) av_frame_free(&frame);
}

}  // namespace kavex
