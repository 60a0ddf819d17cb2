#pragma once

namespace kavex {

// Where the video pipeline reports each packet it takes, with how long the previous picture took:
// the phone paces its stream by these acknowledgements.
// Thread: the pipeline's decoder thread, never concurrently.
class AckSink {
 public:
  virtual ~AckSink() = default;
  // Just before the packet with this timestamp goes to the codec.
  virtual void OnPacketTaken(float timestamp, float decodeSeconds, float deliverySeconds) = 0;
};

}  // namespace kavex
