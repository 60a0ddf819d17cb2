#pragma once
#include <array>
#include <cstdint>
#include <cstring>

#include "common/video_format.h"
#include "protocol/message_catalogue.h"

namespace kavex {

// The messages of a running stream, built in fixed buffers: they go out once per video packet or per
// format change, so they allocate nothing.
namespace media_messages {

constexpr uint32_t kCodecH264 = 1;
constexpr uint32_t kCodecHevc = 2;

inline void PutU32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, 4); }
inline void PutF32(uint8_t* at, float value) { std::memcpy(at, &value, 4); }

// Type 11: the format the phone is to stream.
inline std::array<uint8_t, message_catalogue::LengthOf(message_catalogue::kFormatRequest)> FormatRequest(
    uint32_t codec, const VideoFormat& format) {
  std::array<uint8_t, message_catalogue::LengthOf(message_catalogue::kFormatRequest)> message{};
  PutU32(&message[0], message_catalogue::Header(message_catalogue::kFormatRequest));
  PutU32(&message[4], 1);
  PutU32(&message[8], codec);
  PutU32(&message[12], format.width);
  PutU32(&message[16], format.height);
  PutF32(&message[20], format.framesPerSecond);
  return message;
}

// Type 9: the packet about to be decoded, with how long the previous picture took to decode and
// to deliver.
inline std::array<uint8_t, message_catalogue::LengthOf(message_catalogue::kDecodeAck)> DecodeAck(
    float timestamp, float decodeSeconds, float deliverySeconds) {
  std::array<uint8_t, message_catalogue::LengthOf(message_catalogue::kDecodeAck)> message{};
  PutU32(&message[0], message_catalogue::Header(message_catalogue::kDecodeAck));
  PutF32(&message[4], timestamp);
  PutF32(&message[8], decodeSeconds);
  PutF32(&message[12], deliverySeconds);
  return message;
}

}  // namespace media_messages
}  // namespace kavex
