#pragma once

struct AVFrame;

namespace kavex {

// Where the video pipeline pushes each decoded picture: the camera's output, in the engine.
// Thread: the pipeline's decoder thread, never concurrently.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // One decoded picture, valid for the call only. True when the camera took it (it is shown).
  virtual bool OnPicture(const AVFrame& picture, float timestamp) = 0;
  // A packet failed to decode: what the sink holds of the stream's pictures is no longer current.
  virtual void OnPictureLost() = 0;
};

}  // namespace kavex
