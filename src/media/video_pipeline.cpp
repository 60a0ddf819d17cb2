#include "media/video_pipeline.h"

extern "C" {
#include <libavutil/frame.h>
}

#include "common/trace.h"
#include "media/ack_sink.h"
#include "media/frame_sink.h"
#include "media/video_decoder.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace kavex {

VideoPipeline::VideoPipeline(FrameSink& frames, AckSink& acks, std::string threadName)
    : frames_(frames), acks_(acks), threadName_(std::move(threadName)) {}

VideoPipeline::~VideoPipeline() { EndStream(); }

void VideoPipeline::EndStream() {
  pending_.reset();  // a decoder BeginStream replaced, or one never begun
  std::unique_ptr<VideoDecoder> previous;
  {
    std::lock_guard<platform::Mutex> lock(decoderMutex_);
    previous = std::move(decoder_);
  }
  if (previous == nullptr) return;
  previous.reset();  // joins its thread, with no lock held
  TraceStreamEnd();
}

void VideoPipeline::TraceStreamEnd() {
  KAVEX_TRACE_INFO("decoder", "stream ended: %u packets, %u failed to decode, %u pictures shown, %u not taken",
                   tally_.packets.exchange(0), tally_.failed.exchange(0), tally_.shown.exchange(0),
                   tally_.refused.exchange(0));
}

void VideoPipeline::PrepareStream(bool hevc) {
  pending_.reset();
  // A stream whose decoder went without EndStream (none was begun) counts from nothing.
  tally_.packets = tally_.failed = tally_.shown = tally_.refused = 0;
  // The picture slots start empty.
  pair_.FreeAll();
  if (!pair_.valid()) {
    KAVEX_TRACE_WARN("decoder", "stream refused: no memory for the picture slots");
    return;
  }
  pending_ = VideoDecoder::Create(hevc, pair_, *this, threadName_);
  if (pending_ == nullptr && hevc) pending_ = VideoDecoder::Create(false, pair_, *this, threadName_);
  if (pending_ == nullptr)
    KAVEX_TRACE_WARN("decoder", "stream refused: nothing here decodes it; its packets are dropped");
}

void VideoPipeline::BeginStream() {
  // Called under the negotiator's lock, where no decoder may be destroyed (that joins its thread,
  // which may be waiting for that lock inside a host callback). EndStream has normally left nothing
  // in place; whatever was there waits in pending_ for the next PrepareStream, EndStream's caller or
  // the destructor to release it with no lock held.
  std::lock_guard<platform::Mutex> lock(decoderMutex_);
  std::swap(decoder_, pending_);
}

void VideoPipeline::Submit(const uint8_t* data, size_t length, float timestamp) {
  // The lock keeps threads asking for the codec out of the way of a decoder being replaced.
  std::lock_guard<platform::Mutex> lock(decoderMutex_);
  if (decoder_ != nullptr) decoder_->Submit(data, length, timestamp);
}

VideoCodec VideoPipeline::codec() const {
  std::lock_guard<platform::Mutex> lock(decoderMutex_);
  if (decoder_ == nullptr) return VideoCodec::kNone;
  return decoder_->decodesH264() ? VideoCodec::kH264 : VideoCodec::kHevc;
}

void VideoPipeline::OnPacketTaken(float timestamp) {
  tally_.packets.fetch_add(1, std::memory_order_relaxed);
  acks_.OnPacketTaken(timestamp, static_cast<float>(decodeSeconds_), deliverySeconds_);
  packetStart_ = EngineClock::Now();
}

void VideoPipeline::OnDecodeResult(bool failed, float timestamp) {
  if (failed) {
    tally_.failed.fetch_add(1, std::memory_order_relaxed);
    frames_.OnPictureLost();
    return;
  }
  const int slot = pair_.TakeReady();
  if (slot < 0) return;
  decodeSeconds_ = EngineClock::Now() - packetStart_;
  const AVFrame& picture = *pair_.frame(slot);
  if (frames_.OnPicture(picture, timestamp)) {
    if (tally_.shown.fetch_add(1, std::memory_order_relaxed) == 0)
      KAVEX_TRACE_INFO("decoder", "first picture shown: %dx%d", picture.width, picture.height);
  } else if (tally_.refused.fetch_add(1, std::memory_order_relaxed) == 0) {
    KAVEX_TRACE_INFO("decoder", "a picture of %dx%d was not taken by the camera", picture.width, picture.height);
  }
  pair_.Release(slot);
  deliverySeconds_ = static_cast<float>(EngineClock::Now() - packetStart_ - decodeSeconds_);
}

}  // namespace kavex
