#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver_contract.h"

namespace kavex::simdrivers {

// What the simulated devices saw, for tests to read back. Plain values, copied out under the
// drivers' lock.

enum class RequestOutcome {
  kAnswered,
  kFailed,   // the configuration made the request fail
  kRefused,  // a real driver would refuse it too: unknown code, wrong sizes or tag
};

struct DeviceEvent {
  enum class Kind { kOpened, kControl, kClosed };
  Kind kind = Kind::kControl;
  uint32_t code = 0;  // kControl only
  RequestOutcome outcome = RequestOutcome::kAnswered;
  // Identical consecutive events are kept as one, so the log stays short over long streams.
  uint64_t repeats = 1;
};

struct DeviceRecord {
  int openHandles = 0;
  uint64_t opens = 0;
  uint64_t failedOpens = 0;  // opens the configuration made fail
  uint64_t attaches = 0;
  uint64_t queries = 0;
  uint64_t detaches = 0;
  uint64_t refused = 0;     // requests answered kRefused
  int64_t attachIndex = -1;  // the camera index the last attach named
  std::vector<DeviceEvent> events;
};

struct MicrophoneRecord {
  DeviceRecord device;
  uint64_t writes = 0;        // answered sample writes
  uint64_t failedWrites = 0;  // writes the configuration made fail
  uint64_t totalSamples = 0;
  uint32_t largestWrite = 0;  // samples
  uint32_t lastWrite = 0;     // samples
  std::vector<int16_t> samples;  // the first SimulatedDriversConfig::sampleCap samples written
};

struct CameraRecord {
  DeviceRecord device;
  uint64_t frames = 0;        // answered picture writes
  uint64_t failedFrames = 0;  // picture writes the configuration made fail
  uint32_t lastFrameBytes = 0;
  std::map<uint32_t, uint64_t> frameCodes;  // answered picture writes by control code
};

// The event log in one line, e.g. "open attach query write*30 detach close". Failed requests get
// "!failed", refused ones "!refused"; picture writes on a camera other than 0 name their code
// ("write(0x222014)"); unknown codes appear in hexadecimal.
std::string DescribeEvents(DeviceRole role, const DeviceRecord& record);

}  // namespace kavex::simdrivers
