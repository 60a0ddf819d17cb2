#pragma once
#include <atomic>

#include "media/frame_sink.h"
#include "media/sample_sink.h"
#include "output/preview_buffer.h"

namespace kavex {

class HostNotifier;
class SharedOutput;

// The camera's end of the pipelines: decoded pictures go into the output, and only a picture the
// output took goes on to the preview (while the host shows this camera) and to the host's video
// size; decoded sound goes to the output's microphone.
// Thread: the frame sink on the decoder thread, the sample sink on the receive thread.
class CameraSinks final : public FrameSink, public SampleSink {
 public:
  CameraSinks(SharedOutput& output, HostNotifier& host, const std::atomic<bool>& shown)
      : output_(output), host_(host), shown_(shown) {}

  bool OnPicture(const AVFrame& picture, float timestamp) override;
  void OnPictureLost() override;
  void WriteSamples(const int16_t* samples, size_t count) override;

 private:
  SharedOutput& output_;
  HostNotifier& host_;
  const std::atomic<bool>& shown_;
  PreviewWriter previewWriter_;  // decoder thread only
};

}  // namespace kavex
