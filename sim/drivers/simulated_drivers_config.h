#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver_contract.h"
#include "platform/clock.h"
#include "platform/device_drivers.h"

namespace kavex::simdrivers {

// How the simulated drivers behave. A plain value: SimulatedDrivers copies it in and reads it on
// every request, so a change takes effect with the next request.

struct DeviceConfig {
  bool present = true;   // listed by the scan and openable
  std::wstring path;     // empty: DefaultPath of the device
  bool openFails = false;
  uint32_t openError = 2;  // the system error a failed open reports (2: file not found)
};

struct MicrophoneConfig {
  DeviceConfig device;
  bool queryFails = false;
  uint32_t status = 1;  // the query's answer; the engine goes on only with 1
  bool writeFails = false;
  uint32_t initialBacklogBytes = 0;  // the fill level when the first handle is opened
};

struct CameraConfig {
  DeviceConfig device;
  bool queryFails = false;
  CameraDeviceInfo info;
  bool writeFails = false;
  // Unset: a valid reply that repeats info's width, height, YUY2 flag and duration, control 0/0.
  std::optional<FrameWriteReply> reply;
  // Output bytes a picture write reports (at most 28); fewer test the engine's short-reply rules.
  uint32_t replyBytes = kFrameWriteReplyBytes;
  // Called with each control code the camera gets, on the caller's thread, before the request is
  // handled and with no lock of the drivers held: a test holds a request there.
  std::function<void(uint32_t code)> beforeRequest;
};

struct SimulatedDriversConfig {
  // kScanned lists the present devices; an empty list is reported as kCategoryFailed, as the
  // system's capture category does when it holds nothing.
  platform::CaptureScanResult scan = platform::CaptureScanResult::kScanned;
  std::array<CameraConfig, kDeviceIndexCount> cameras;
  std::array<MicrophoneConfig, kDeviceIndexCount> microphones;
  // Other capture devices, listed before ours; opening them fails with "file not found".
  std::vector<platform::CaptureDevice> foreignDevices;
  // Microphone samples kept per device (the first ones; the counts go on past the cap).
  size_t sampleCap = 480000;
  // What the microphones' backlogs drain on (null: the engine's clock); must outlive the drivers.
  // Set it before the first open: a backlog is not carried from one clock's time to another's.
  Clock* clock = &EngineClock::AsClock();

  DeviceConfig& Device(DeviceId id);
  const DeviceConfig& Device(DeviceId id) const;
  std::wstring PathOf(DeviceId id) const;
};

// The KAVEX_SIMDRIVERS_* variables (docs/testing.md lists them). Unset or empty variables keep the
// defaults; a value that cannot be parsed keeps the default too and is described in *problems.
using VariableLookup = std::function<std::optional<std::string>(const std::string& name)>;
SimulatedDriversConfig ConfigFromVariables(const VariableLookup& lookup, std::vector<std::string>* problems);
SimulatedDriversConfig ConfigFromEnvironment(std::vector<std::string>* problems = nullptr);

}  // namespace kavex::simdrivers
