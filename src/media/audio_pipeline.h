#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kavex {

class OpusAudioDecoder;
class SampleSink;

// The phone's sound from packet to microphone: each Opus packet decoded and pushed to the sample
// sink. Owns the decoder and its buffer.
// Thread: the receive thread of the instance's current connection (one at a time); created and
// destroyed by the instance's owner with no receive thread running.
class AudioPipeline {
 public:
  static constexpr int kBufferSamples = 23040;  // 480 ms at 48000 Hz

  explicit AudioPipeline(SampleSink& sink);
  ~AudioPipeline();
  AudioPipeline(const AudioPipeline&) = delete;
  AudioPipeline& operator=(const AudioPipeline&) = delete;

  void OnPacket(const uint8_t* packet, size_t length);

 private:
  SampleSink& sink_;
  std::unique_ptr<OpusAudioDecoder> decoder_;
  std::vector<int16_t> buffer_;
};

}  // namespace kavex
