#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "media/decoded_frame_pair.h"
#include "media/decoder_sink.h"
#include "platform/sync.h"

namespace kavex {

class AckSink;
class FrameSink;
class VideoDecoder;

enum class VideoCodec { kNone, kH264, kHevc };

// The phone's video from packet to picture: packets queued to the decoder, each decoded picture
// pushed to the frame sink, each packet taken acknowledged to the ack sink with the time the
// previous picture took to decode and to deliver. Owns the decoder (one per stream) and the two
// picture slots it decodes into.
//
// Thread: a stream is prepared, begun, fed and ended on the receive thread of the current
// connection (ended also by the owner's stop, once no receive thread runs); the codec is read by any thread (format
// requests name it); the sinks are called on the decoder's thread. The decoder is replaced and destroyed with no lock
// held: destroying it joins its thread, which may be inside a sink, and from there inside a host callback.
class VideoPipeline final : private DecoderSink {
 public:
  // threadName: what each stream's decoder thread is called.
  VideoPipeline(FrameSink& frames, AckSink& acks, std::string threadName);
  ~VideoPipeline() override;
  VideoPipeline(const VideoPipeline&) = delete;
  VideoPipeline& operator=(const VideoPipeline&) = delete;

  // A new stream, in three steps so that its owner can make its format choice in between:
  // EndStream joins the old decoder; PrepareStream empties the slots and makes the new one (H.264
  // when HEVC cannot be decoded here; none at all when nothing can); BeginStream puts it in place
  // and destroys nothing, so it may run under a lock.
  void EndStream();
  void PrepareStream(bool hevc);
  void BeginStream();
  // Queues one packet for the current decoder; nothing without one.
  void Submit(const uint8_t* data, size_t length, float timestamp);
  // The codec of the stream in place; kNone before the first one and when nothing could decode it.
  VideoCodec codec() const;

 private:
  // DecoderSink, on the decoder thread.
  void OnPacketTaken(float timestamp) override;
  void OnDecodeResult(bool failed, float timestamp) override;

  FrameSink& frames_;
  AckSink& acks_;
  const std::string threadName_;
  DecodedFramePair pair_;
  mutable platform::Mutex decoderMutex_;  // decoder_ (the pointer), never held while one is destroyed
  std::unique_ptr<VideoDecoder> decoder_;
  std::unique_ptr<VideoDecoder> pending_;  // receive thread only
  // What became of one stream's packets, traced when the stream ends, so that a camera that
  // streams without showing anything says where its pictures stopped. Written by the decoder
  // thread, reset and read by the receive thread (a decoder being replaced may still count).
  struct StreamTally {
    std::atomic<uint32_t> packets{0};
    std::atomic<uint32_t> failed{0};
    std::atomic<uint32_t> shown{0};
    std::atomic<uint32_t> refused{0};
  };
  void TraceStreamEnd();

  StreamTally tally_;
  // Decoder thread only: when the current packet was taken, and how long the last picture took.
  double packetStart_ = 0.0;
  double decodeSeconds_ = 0.0;
  float deliverySeconds_ = 0.0f;
};

}  // namespace kavex
