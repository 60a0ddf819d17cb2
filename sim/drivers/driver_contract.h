#pragma once
#include <cstdint>
#include <string>

namespace kavex::simdrivers {

// The driver side of the virtual camera and microphone device-control contract: the devices, the
// control codes they take and the byte layouts they answer with. Written out here on its own, not
// shared with the engine, so that a layout mistake on either side shows up as a test failure.

constexpr int kDeviceIndexCount = 4;

constexpr uint32_t kAttachCode = 0x222000;
constexpr uint32_t kDetachCode = 0x222004;
constexpr uint32_t kQueryCode = 0x222008;
// The microphone's sample write; also camera 0's picture write.
constexpr uint32_t kWriteCode = 0x222010;
// Camera index i writes pictures with kWriteCode + 4 * i, except that a version-2 driver takes
// kWriteCode on every camera.
constexpr uint32_t FrameWriteCode(int index) { return kWriteCode + 4u * static_cast<uint32_t>(index); }

// First u32 of the attach, query and detach inputs: who is talking to the driver.
constexpr uint32_t kMicrophoneAttachTag = 1;
constexpr uint32_t kCameraTag = 100;

constexpr uint32_t kMicrophoneWriteReplyBytes = 8;
constexpr uint32_t kCameraDeviceInfoBytes = 32;
constexpr uint32_t kFrameWriteReplyBytes = 28;
// The largest picture the camera takes: the picture area of one frame slot (3840 x 2160 x 3).
constexpr uint32_t kMaxPictureBytes = 24883232;

// 16-bit mono at 48 kHz: how fast the microphone's fill level goes down.
constexpr uint32_t kBacklogDrainBytesPerSecond = 96000;

struct CameraDeviceInfo {
  uint32_t version = 100;
  uint32_t width = 640;  // 0: the consumer demands nothing
  int32_t height = 360;
  uint32_t consumerActive = 1;
  uint32_t yuy2 = 1;                // non-zero: YUY2 pictures, 0: RGB24
  uint32_t frameDuration = 333333;  // 100-ns units; 0 means 30 fps
};

struct FrameWriteReply {
  uint32_t width = 0;
  int32_t height = 0;
  uint32_t valid = 0;
  uint32_t yuy2 = 0;
  uint32_t frameDuration = 0;
  uint32_t controlValue = 0;
  uint32_t controlFlag = 0;
};

// Little-endian images of the answers, as the driver puts them in the caller's output buffer.
void WriteCameraDeviceInfo(const CameraDeviceInfo& info, uint8_t out[kCameraDeviceInfoBytes]);
void WriteFrameWriteReply(const FrameWriteReply& reply, uint8_t out[kFrameWriteReplyBytes]);
void WriteU32(uint32_t value, uint8_t* out);
uint32_t ReadU32(const uint8_t* in);

enum class DeviceRole { kCamera, kMicrophone };

struct DeviceId {
  DeviceRole role = DeviceRole::kCamera;
  int index = 0;  // 0..3
};
constexpr DeviceId CameraDevice(int index) { return {DeviceRole::kCamera, index}; }
constexpr DeviceId MicrophoneDevice(int index) { return {DeviceRole::kMicrophone, index}; }

// "Kavex Webcam", "Kavex Webcam #2" ... and "Kavex Webcam Audio", "Kavex Webcam Audio #2" ...
std::wstring FriendlyName(DeviceId id);
// L"\\?\sim#kavex-camera-0", L"\\?\sim#kavex-microphone-3" ...
std::wstring DefaultPath(DeviceId id);
// The default path padded to 300 characters: longer than the 259 a device path may have.
std::wstring OverlongPath(DeviceId id);
constexpr size_t kOverlongPathLength = 300;

}  // namespace kavex::simdrivers
