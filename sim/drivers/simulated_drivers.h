#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device_records.h"
#include "driver_contract.h"
#include "platform/device_drivers.h"
#include "simulated_drivers_config.h"

namespace kavex::simdrivers {

// The virtual camera and microphone drivers, simulated: the eight devices in the capture scan and
// the driver side of their control codes, in place of the system's drivers (SetActiveDeviceDrivers).
// Thread: any. One lock covers the configuration, the devices and their records; the engine calls
// the microphones from receive threads and the cameras from feeder threads while tests read.
// Owns the devices' state, shared with the Device objects it opens, so a device left open after
// the drivers are gone still works and still counts its close.
class SimulatedDrivers : public platform::DeviceDrivers {
 public:
  explicit SimulatedDrivers(SimulatedDriversConfig config = {});
  ~SimulatedDrivers() override;
  SimulatedDrivers(const SimulatedDrivers&) = delete;
  SimulatedDrivers& operator=(const SimulatedDrivers&) = delete;

  platform::CaptureScanResult ScanCaptureDevices(const std::vector<std::wstring>& wantedNames,
                                                 std::vector<platform::CaptureDevice>* devices) override;
  std::unique_ptr<platform::Device> Open(const std::wstring& path, uint32_t* systemError) override;

  // The configuration; a change applies from the next request on (open handles stay open).
  SimulatedDriversConfig Config() const;
  void SetConfig(SimulatedDriversConfig config);
  void UpdateConfig(const std::function<void(SimulatedDriversConfig&)>& change);

  uint64_t ScanCount() const;
  MicrophoneRecord Microphone(int index) const;
  CameraRecord Camera(int index) const;
  std::vector<uint8_t> LastPicture(int index) const;
  std::string DescribeEvents(DeviceId id) const;
  // Forgets what the devices saw; open-handle counts and fill levels stay.
  void ClearRecords();

  // The microphone's fill level in bytes now.
  uint32_t MicrophoneBacklog(int index) const;
  void SetMicrophoneBacklog(int index, uint32_t bytes);

  // Wait until the camera answered `count` picture writes / the microphone `count` sample writes
  // in all (since construction or ClearRecords); false on time-out.
  bool WaitForFrames(int index, uint64_t count, std::chrono::milliseconds timeout) const;
  bool WaitForAudioWrites(int index, uint64_t count, std::chrono::milliseconds timeout) const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kavex::simdrivers
