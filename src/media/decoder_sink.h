#pragma once

namespace kavex {

// Where a video decoder reports each packet it takes and each picture it produces. Implemented by
// the instance's VideoPipeline, which acknowledges packets to the phone (its ack sink) and hands
// the pictures on (its frame sink).
// Thread: both operations are called on the decoder's own thread, never concurrently.
class DecoderSink {
 public:
  virtual ~DecoderSink() = default;
  // Just before the packet with this timestamp goes to the codec.
  virtual void OnPacketTaken(float timestamp) = 0;
  // After the packet's one receive attempt. Not failed: a picture with this time waits in a ready
  // slot of the DecodedFramePair. Failed: the pair's slots have all been freed.
  virtual void OnDecodeResult(bool failed, float timestamp) = 0;
};

}  // namespace kavex
