#pragma once
#include <cstddef>
#include <cstdint>

struct OpusDecoder;

namespace kavex {

// The phone's sound is Opus at 48000 Hz, one channel. Owns one libopus decoder.
// Thread: the receive thread of the instance's current connection.
class OpusAudioDecoder {
 public:
  static constexpr int kSampleRate = 48000;
  static constexpr int kChannels = 1;

  OpusAudioDecoder();
  ~OpusAudioDecoder();
  OpusAudioDecoder(const OpusAudioDecoder&) = delete;
  OpusAudioDecoder& operator=(const OpusAudioDecoder&) = delete;

  // False when libopus could not create the decoder; audio is then dropped.
  bool valid() const { return decoder_ != nullptr; }
  // Decodes one packet into at most maxSamples samples; returns the count, or a negative libopus
  // error.
  int Decode(const uint8_t* packet, size_t length, int16_t* samples, int maxSamples);

 private:
  OpusDecoder* decoder_ = nullptr;
};

}  // namespace kavex
