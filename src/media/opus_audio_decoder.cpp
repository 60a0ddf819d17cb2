#include "media/opus_audio_decoder.h"

#include <opus.h>

#include <climits>

namespace kavex {

OpusAudioDecoder::OpusAudioDecoder() {
  int error = OPUS_OK;
  decoder_ = opus_decoder_create(kSampleRate, kChannels, &error);
  if (error != OPUS_OK) decoder_ = nullptr;
}

OpusAudioDecoder::~OpusAudioDecoder() {
  if (decoder_ != nullptr) opus_decoder_destroy(decoder_);
}

int OpusAudioDecoder::Decode(const uint8_t* packet, size_t length, int16_t* samples, int maxSamples) {
  if (decoder_ == nullptr) return OPUS_INVALID_STATE;
  if (length > static_cast<size_t>(INT_MAX)) return OPUS_BAD_ARG;
  return opus_decode(decoder_, packet, static_cast<opus_int32>(length), samples, maxSamples, 0);
}

}  // namespace kavex
