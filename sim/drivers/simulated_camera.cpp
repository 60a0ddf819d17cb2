#include "simulated_camera.h"

#include <algorithm>

namespace kavex::simdrivers {

namespace {

bool IsFrameWriteCode(uint32_t code) {
  return code >= kWriteCode && code <= FrameWriteCode(kDeviceIndexCount - 1) && (code - kWriteCode) % 4 == 0;
}

bool HasCameraTag(const uint8_t* input, uint32_t inputLength) {
  return inputLength == 8 && ReadU32(input) == kCameraTag;
}

}  // namespace

RequestOutcome SimulatedCamera::Control(const CameraConfig& config, uint32_t code, const void* input,
                                        uint32_t inputLength, void* output, uint32_t outputLength,
                                        uint32_t* returned) {
  const auto* in = static_cast<const uint8_t*>(input);
  auto* out = static_cast<uint8_t*>(output);
  // A length without its buffer is what a driver sees as an invalid user buffer.
  if ((inputLength > 0 && in == nullptr) || (outputLength > 0 && out == nullptr)) return RequestOutcome::kRefused;
  switch (code) {
    case kAttachCode:
      if (!HasCameraTag(in, inputLength)) return RequestOutcome::kRefused;
      ++record_.device.attaches;
      record_.device.attachIndex = ReadU32(in + 4);
      return RequestOutcome::kAnswered;
    case kQueryCode:
      if (!HasCameraTag(in, inputLength) || outputLength < kCameraDeviceInfoBytes) return RequestOutcome::kRefused;
      ++record_.device.queries;
      if (config.queryFails) return RequestOutcome::kFailed;
      WriteCameraDeviceInfo(config.info, out);
      *returned = kCameraDeviceInfoBytes;
      return RequestOutcome::kAnswered;
    case kDetachCode:
      if (!HasCameraTag(in, inputLength)) return RequestOutcome::kRefused;
      ++record_.device.detaches;
      return RequestOutcome::kAnswered;
    default:
      if (IsFrameWriteCode(code)) return WritePicture(config, code, in, inputLength, out, outputLength, returned);
      return RequestOutcome::kRefused;
  }
}

RequestOutcome SimulatedCamera::WritePicture(const CameraConfig& config, uint32_t code, const uint8_t* input,
                                             uint32_t inputLength, uint8_t* output, uint32_t outputLength,
                                             uint32_t* returned) {
  // A version-2 driver has one picture code for all its cameras; the others one per camera.
  uint32_t expected = config.info.version == 2 ? kWriteCode : FrameWriteCode(index_);
  if (code != expected) return RequestOutcome::kRefused;
  if (inputLength == 0 || inputLength > kMaxPictureBytes || outputLength < kFrameWriteReplyBytes) {
    return RequestOutcome::kRefused;
  }
  if (config.writeFails) {
    ++record_.failedFrames;
    return RequestOutcome::kFailed;
  }
  ++record_.frames;
  ++record_.frameCodes[code];
  record_.lastFrameBytes = inputLength;
  lastPicture_.assign(input, input + inputLength);

  FrameWriteReply reply;
  if (config.reply) {
    reply = *config.reply;
  } else {
    reply.width = config.info.width;
    reply.height = config.info.height;
    reply.valid = 1;
    reply.yuy2 = config.info.yuy2;
    reply.frameDuration = config.info.frameDuration;
  }
  uint8_t bytes[kFrameWriteReplyBytes];
  WriteFrameWriteReply(reply, bytes);
  // A short reply fills only its own bytes; the rest of the caller's buffer is left as it was.
  uint32_t length = std::min(config.replyBytes, kFrameWriteReplyBytes);
  std::copy(bytes, bytes + length, output);
  *returned = length;
  return RequestOutcome::kAnswered;
}

}  // namespace kavex::simdrivers
