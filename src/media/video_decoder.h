#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "media/packet_ring.h"
#include "platform/sync.h"
#include "platform/system_thread.h"

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace kavex {

class DecodedFramePair;
class DecoderSink;

// Decodes the phone's video: H.264 in software with slice threads, or HEVC through DXVA2 with one
// copy back to system memory (the codec itself falls back to software when the device cannot give
// it surfaces). Pictures larger than a frame slot takes are refused before the codec allocates them. Packets are queued
// in a PacketRing and decoded in order on the decoder's own thread, one picture per packet, into the instance's
// DecodedFramePair; the sink hears of every packet taken and every result. Owns the codec context, its packet and
// scratch frame, the hardware device, the ring and the thread. Thread: Create, Submit and destruction on the instance's
// threads (Submit on the receive thread); the codec and the sink's calls on the decoder thread.
class VideoDecoder {
 public:
  // The packet payload: the ring's largest packet plus the zero bytes the codec reads past its end.
  static constexpr int kPaddingBytes = 64;
  static constexpr int kPayloadBytes = static_cast<int>(PacketRing::kCapacityBytes) + kPaddingBytes;

  // Null when the codec cannot be set up (for HEVC also: no DXVA2 support or device, or a device
  // that does not list the HEVC Main profile); whatever was made is released. The pair and the sink must outlive the
  // decoder. threadName: what the decoder thread is called, for debuggers and process viewers.
  static std::unique_ptr<VideoDecoder> Create(bool hevc, DecodedFramePair& pair, DecoderSink& sink,
                                              const std::string& threadName = "kavex-decode");
  // Stops the thread (waking it if it waits; a packet being decoded is finished first), then frees
  // everything the decoder owns.
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // Queues a copy of one packet and returns. A packet that does not fit in the ring is dropped and
  // recorded in the error log.
  void Submit(const uint8_t* data, size_t length, float timestamp);
  bool decodesH264() const { return !hevc_; }

 private:
  VideoDecoder(bool hevc, DecodedFramePair& pair, DecoderSink& sink);
  bool Open();
  void Run();
  void Decode(const PacketRing::Entry& entry);

  const bool hevc_;
  DecodedFramePair& pair_;
  DecoderSink& sink_;
  PacketRing ring_;
  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* hwFrame_ = nullptr;  // an HEVC picture as received, before it moves to its slot
  int transferFormat_ = -1;     // the pixel format pictures leave video memory in (AV_PIX_FMT_NONE until one has)
  AVBufferRef* hwDevice_ = nullptr;
  int hwPixelFormat_ = -1;  // AV_PIX_FMT_NONE; the codec's get_format hook reads it

  // Guards running_ and the thread's look at the ring before it sleeps, so that no wake-up from
  // Submit falls between the two.
  platform::Mutex waitMutex_;
  platform::ConditionVariable wake_;
  bool running_ = false;
  platform::SystemThread thread_;
};

}  // namespace kavex
