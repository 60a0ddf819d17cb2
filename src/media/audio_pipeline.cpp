#include "media/audio_pipeline.h"

#include "media/opus_audio_decoder.h"
#include "media/sample_sink.h"

namespace kavex {

AudioPipeline::AudioPipeline(SampleSink& sink)
    : sink_(sink), decoder_(std::make_unique<OpusAudioDecoder>()), buffer_(kBufferSamples, 0) {}

AudioPipeline::~AudioPipeline() = default;

void AudioPipeline::OnPacket(const uint8_t* packet, size_t length) {
  if (!decoder_->valid()) return;
  // An empty packet would have libopus conceal a lost one as long as the whole buffer (480 ms):
  // sound the phone never sent, and a backlog in the microphone.
  if (length == 0) return;
  const int samples = decoder_->Decode(packet, length, buffer_.data(), kBufferSamples);
  if (samples <= 0) return;  // a packet libopus refuses is lost; nothing reaches the microphone
  sink_.WriteSamples(buffer_.data(), static_cast<size_t>(samples));
}

}  // namespace kavex
