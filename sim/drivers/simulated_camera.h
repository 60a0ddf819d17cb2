#pragma once
#include <cstdint>
#include <vector>

#include "device_records.h"
#include "simulated_drivers_config.h"

namespace kavex::simdrivers {

// One virtual camera's driver in control-code mode: attach, query and detach with the camera tag,
// and picture writes on the camera's frame-write code, each answered with a FrameWriteReply.
// Thread: not thread-safe; SimulatedDrivers calls it under its lock. Owns its record and a copy of
// the last picture.
class SimulatedCamera {
 public:
  explicit SimulatedCamera(int index = 0) : index_(index) {}

  RequestOutcome Control(const CameraConfig& config, uint32_t code, const void* input, uint32_t inputLength,
                         void* output, uint32_t outputLength, uint32_t* returned);

  CameraRecord& record() { return record_; }
  const CameraRecord& record() const { return record_; }
  const std::vector<uint8_t>& lastPicture() const { return lastPicture_; }

 private:
  RequestOutcome WritePicture(const CameraConfig& config, uint32_t code, const uint8_t* input,
                              uint32_t inputLength, uint8_t* output, uint32_t outputLength, uint32_t* returned);

  int index_;
  CameraRecord record_;
  std::vector<uint8_t> lastPicture_;
};

}  // namespace kavex::simdrivers
