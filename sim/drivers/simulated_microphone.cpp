#include "simulated_microphone.h"

#include <algorithm>
#include <cstring>

namespace kavex::simdrivers {

void SimulatedMicrophone::FirstOpen(const MicrophoneConfig& config, double now) {
  SetBacklog(config.initialBacklogBytes, now);
}

double SimulatedMicrophone::Remaining(double now) const {
  const double seconds = now - backlogAt_;
  return std::max(0.0, backlog_ - std::max(0.0, seconds) * kBacklogDrainBytesPerSecond);
}

uint32_t SimulatedMicrophone::Backlog(double now) const {
  double left = Remaining(now);
  return left >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(left);
}

void SimulatedMicrophone::SetBacklog(uint32_t bytes, double now) {
  backlog_ = bytes;
  backlogAt_ = now;
}

RequestOutcome SimulatedMicrophone::Control(const MicrophoneConfig& config, size_t sampleCap, uint32_t code,
                                            const void* input, uint32_t inputLength, void* output,
                                            uint32_t outputLength, uint32_t* returned, double now) {
  const auto* in = static_cast<const uint8_t*>(input);
  auto* out = static_cast<uint8_t*>(output);
  // A length without its buffer is what a driver sees as an invalid user buffer.
  if ((inputLength > 0 && in == nullptr) || (outputLength > 0 && out == nullptr)) return RequestOutcome::kRefused;
  switch (code) {
    case kAttachCode:
      if (inputLength != 8 || ReadU32(in) != kMicrophoneAttachTag) return RequestOutcome::kRefused;
      ++record_.device.attaches;
      record_.device.attachIndex = ReadU32(in + 4);
      return RequestOutcome::kAnswered;
    case kQueryCode:
      if (inputLength != 4 || outputLength < 4) return RequestOutcome::kRefused;
      ++record_.device.queries;
      if (config.queryFails) return RequestOutcome::kFailed;
      WriteU32(config.status, out);
      *returned = 4;
      return RequestOutcome::kAnswered;
    case kDetachCode:
      // Takes no buffers and looks at none.
      ++record_.device.detaches;
      return RequestOutcome::kAnswered;
    case kWriteCode:
      return Write(config, sampleCap, in, inputLength, out, outputLength, returned, now);
    default:
      return RequestOutcome::kRefused;
  }
}

RequestOutcome SimulatedMicrophone::Write(const MicrophoneConfig& config, size_t sampleCap, const uint8_t* input,
                                          uint32_t inputLength, uint8_t* output, uint32_t outputLength,
                                          uint32_t* returned, double now) {
  if (inputLength % 2 != 0 || outputLength < kMicrophoneWriteReplyBytes) return RequestOutcome::kRefused;
  if (config.writeFails) {
    ++record_.failedWrites;
    return RequestOutcome::kFailed;
  }
  uint32_t samples = inputLength / 2;
  ++record_.writes;
  record_.totalSamples += samples;
  record_.lastWrite = samples;
  record_.largestWrite = std::max(record_.largestWrite, samples);
  size_t keep = std::min<size_t>(samples, sampleCap - std::min(sampleCap, record_.samples.size()));
  for (size_t i = 0; i < keep; ++i) {
    record_.samples.push_back(static_cast<int16_t>(input[2 * i] | input[2 * i + 1] << 8));
  }

  backlog_ = Remaining(now) + inputLength;
  backlogAt_ = now;
  WriteU32(inputLength, output);
  WriteU32(Backlog(now), output + 4);
  *returned = kMicrophoneWriteReplyBytes;
  return RequestOutcome::kAnswered;
}

}  // namespace kavex::simdrivers
