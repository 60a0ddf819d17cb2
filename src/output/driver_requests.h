#pragma once
#include <cstdint>
#include <cstring>

namespace kavex {

// The device control codes and reply layouts of the virtual camera and microphone drivers.
namespace driver_requests {

constexpr uint32_t kAttach = 0x222000;
constexpr uint32_t kDetach = 0x222004;
constexpr uint32_t kQuery = 0x222008;
// The microphone's sample write, and the camera's frame write for index 0 (and for every index
// when the camera driver reports version 2).
constexpr uint32_t kWrite = 0x222010;
// The camera's attach, query and detach carry this value before the camera index.
constexpr uint32_t kCameraRequestTag = 100;

constexpr uint32_t kCameraVersion2 = 2;
constexpr uint32_t kCameraVersion100 = 100;
constexpr uint32_t kMicrophoneReady = 1;

// 0x222010, 0x222014, 0x222018, 0x22201C for cameras 0-3.
inline uint32_t FrameWriteCode(int index, bool version2) {
  if (version2) return kWrite;
  const int clamped = index < 0 ? 0 : (index > 3 ? 3 : index);
  return kWrite + 4u * static_cast<uint32_t>(clamped);
}

// Frame durations come in 100-ns units; 0 means the driver did not say (30 fps).
inline float FpsFromDuration(uint32_t duration) {
  return duration == 0 ? 30.0f : static_cast<float>(10000000.0 / duration);
}

inline uint32_t FieldU32(const uint8_t* bytes, int offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes + offset, 4);
  return value;
}

// The camera's answer to the query.
struct CameraDeviceInfo {
  static constexpr uint32_t kBytes = 32;
  uint32_t version = 0;
  uint32_t width = 0;
  int32_t height = 0;
  uint32_t consumerActive = 0;
  uint32_t yuy2 = 0;
  uint32_t frameDuration = 0;

  static CameraDeviceInfo Parse(const uint8_t (&bytes)[kBytes]) {
    CameraDeviceInfo info;
    info.version = FieldU32(bytes, 0);
    info.width = FieldU32(bytes, 4);
    info.height = static_cast<int32_t>(FieldU32(bytes, 8));
    info.consumerActive = FieldU32(bytes, 12);
    info.yuy2 = FieldU32(bytes, 16);
    info.frameDuration = FieldU32(bytes, 20);
    return info;
  }
};

// The camera's answer to each frame write: what its consumer wants now and its control state.
struct FrameWriteReply {
  static constexpr uint32_t kBytes = 28;
  uint32_t width = 0;
  int32_t height = 0;
  uint32_t valid = 0;
  uint32_t yuy2 = 0;
  uint32_t frameDuration = 0;
  uint32_t controlValue = 0;
  uint32_t controlFlag = 0;

  static FrameWriteReply Parse(const uint8_t (&bytes)[kBytes]) {
    FrameWriteReply reply;
    reply.width = FieldU32(bytes, 0);
    reply.height = static_cast<int32_t>(FieldU32(bytes, 4));
    reply.valid = FieldU32(bytes, 8);
    reply.yuy2 = FieldU32(bytes, 12);
    reply.frameDuration = FieldU32(bytes, 16);
    reply.controlValue = FieldU32(bytes, 20);
    reply.controlFlag = FieldU32(bytes, 24);
    return reply;
  }
};

}  // namespace driver_requests
}  // namespace kavex
