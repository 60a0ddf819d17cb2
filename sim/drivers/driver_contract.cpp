#include "driver_contract.h"

namespace kavex::simdrivers {

void WriteU32(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t ReadU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

void WriteCameraDeviceInfo(const CameraDeviceInfo& info, uint8_t out[kCameraDeviceInfoBytes]) {
  WriteU32(info.version, out);
  WriteU32(info.width, out + 4);
  WriteU32(static_cast<uint32_t>(info.height), out + 8);
  WriteU32(info.consumerActive, out + 12);
  WriteU32(info.yuy2, out + 16);
  WriteU32(info.frameDuration, out + 20);
  WriteU32(0, out + 24);
  WriteU32(0, out + 28);
}

void WriteFrameWriteReply(const FrameWriteReply& reply, uint8_t out[kFrameWriteReplyBytes]) {
  WriteU32(reply.width, out);
  WriteU32(static_cast<uint32_t>(reply.height), out + 4);
  WriteU32(reply.valid, out + 8);
  WriteU32(reply.yuy2, out + 12);
  WriteU32(reply.frameDuration, out + 16);
  WriteU32(reply.controlValue, out + 20);
  WriteU32(reply.controlFlag, out + 24);
}

std::wstring FriendlyName(DeviceId id) {
  std::wstring name = id.role == DeviceRole::kCamera ? L"Kavex Webcam" : L"Kavex Webcam Audio";
  if (id.index > 0) name += L" #" + std::to_wstring(id.index + 1);
  return name;
}

std::wstring DefaultPath(DeviceId id) {
  return std::wstring(L"\\\\?\\sim#kavex-") + (id.role == DeviceRole::kCamera ? L"camera-" : L"microphone-") +
         std::to_wstring(id.index);
}

std::wstring OverlongPath(DeviceId id) {
  std::wstring path = DefaultPath(id) + L"#";
  path.resize(kOverlongPathLength, L'x');
  return path;
}

}  // namespace kavex::simdrivers
