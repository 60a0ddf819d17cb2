#include "simulated_drivers.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>

#include "simulated_camera.h"
#include "simulated_microphone.h"

namespace kavex::simdrivers {

struct SimulatedDrivers::State {
  State() {
    for (int index = 0; index < kDeviceIndexCount; ++index) cameras[index] = SimulatedCamera(index);
  }

  DeviceRecord& RecordOf(DeviceId id) {
    return id.role == DeviceRole::kCamera ? cameras.at(id.index).record().device
                                          : microphones.at(id.index).record().device;
  }

  // Appends to the device's log, folding a repeat of the last event into it.
  void Log(DeviceId id, DeviceEvent::Kind kind, uint32_t code, RequestOutcome outcome) {
    std::vector<DeviceEvent>& events = RecordOf(id).events;
    if (!events.empty() && events.back().kind == kind && events.back().code == code &&
        events.back().outcome == outcome) {
      ++events.back().repeats;
      return;
    }
    events.push_back({kind, code, outcome, 1});
  }

  // The time on the configured clock (the engine's when none is set). Under the lock.
  double Now() const { return config.clock != nullptr ? config.clock->Now() : EngineClock::Now(); }

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  SimulatedDriversConfig config;
  uint64_t scans = 0;
  std::array<SimulatedCamera, kDeviceIndexCount> cameras;
  std::array<SimulatedMicrophone, kDeviceIndexCount> microphones;
};

namespace {

// One open handle of a simulated device.
// Thread: any; every request takes the drivers' lock.
class SimulatedDevice : public platform::Device {
 public:
  SimulatedDevice(std::shared_ptr<SimulatedDrivers::State> state, DeviceId id)
      : state_(std::move(state)), id_(id) {}

  ~SimulatedDevice() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    --state_->RecordOf(id_).openHandles;
    state_->Log(id_, DeviceEvent::Kind::kClosed, 0, RequestOutcome::kAnswered);
    state_->changed.notify_all();
  }

  bool Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
               uint32_t* returned) override {
    uint32_t written = 0;
    RequestOutcome outcome;
    if (id_.role == DeviceRole::kCamera) {
      std::function<void(uint32_t)> hook;
      {
        std::lock_guard<std::mutex> lock(state_->mutex);
        hook = state_->config.cameras[id_.index].beforeRequest;
      }
      if (hook) hook(code);
    }
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (id_.role == DeviceRole::kCamera) {
        outcome = state_->cameras[id_.index].Control(state_->config.cameras[id_.index], code, input, inputLength,
                                                     output, outputLength, &written);
      } else {
        outcome = state_->microphones[id_.index].Control(state_->config.microphones[id_.index],
                                                         state_->config.sampleCap, code, input, inputLength,
                                                         output, outputLength, &written,
                                                         state_->Now());
      }
      if (outcome == RequestOutcome::kRefused) ++state_->RecordOf(id_).refused;
      state_->Log(id_, DeviceEvent::Kind::kControl, code, outcome);
      state_->changed.notify_all();
    }
    bool answered = outcome == RequestOutcome::kAnswered;
    if (returned != nullptr) *returned = answered ? written : 0;
    return answered;
  }

 private:
  std::shared_ptr<SimulatedDrivers::State> state_;
  const DeviceId id_;
};

template <typename F>
void ForEachDevice(F apply) {
  for (int index = 0; index < kDeviceIndexCount; ++index) apply(CameraDevice(index));
  for (int index = 0; index < kDeviceIndexCount; ++index) apply(MicrophoneDevice(index));
}

}  // namespace

SimulatedDrivers::SimulatedDrivers(SimulatedDriversConfig config) : state_(std::make_shared<State>()) {
  state_->config = std::move(config);
}

SimulatedDrivers::~SimulatedDrivers() = default;

platform::CaptureScanResult SimulatedDrivers::ScanCaptureDevices(
    const std::vector<std::wstring>& wantedNames, std::vector<platform::CaptureDevice>* devices) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->scans;
  std::vector<platform::CaptureDevice> found;
  const SimulatedDriversConfig& config = state_->config;
  if (config.scan != platform::CaptureScanResult::kScanned) {
    if (devices != nullptr) devices->clear();
    return config.scan;
  }
  found = config.foreignDevices;
  ForEachDevice([&](DeviceId id) {
    if (config.Device(id).present) found.push_back({FriendlyName(id), config.PathOf(id)});
  });
  // The system reports a failed category only when it holds no device at all.
  const bool anyDevice = !found.empty();
  found.erase(std::remove_if(found.begin(), found.end(),
                             [&](const platform::CaptureDevice& device) {
                               return std::find(wantedNames.begin(), wantedNames.end(),
                                                device.friendlyName) == wantedNames.end();
                             }),
              found.end());
  if (devices != nullptr) *devices = found;
  return anyDevice ? platform::CaptureScanResult::kScanned : platform::CaptureScanResult::kCategoryFailed;
}

std::unique_ptr<platform::Device> SimulatedDrivers::Open(const std::wstring& path, uint32_t* systemError) {
  constexpr uint32_t kFileNotFound = 2;
  std::lock_guard<std::mutex> lock(state_->mutex);
  const SimulatedDriversConfig& config = state_->config;
  std::unique_ptr<platform::Device> device;
  uint32_t error = kFileNotFound;
  bool matched = false;
  ForEachDevice([&](DeviceId id) {
    const DeviceConfig& deviceConfig = config.Device(id);
    if (matched || !deviceConfig.present || path.empty() || config.PathOf(id) != path) return;
    matched = true;
    DeviceRecord& record = state_->RecordOf(id);
    if (deviceConfig.openFails) {
      ++record.failedOpens;
      state_->Log(id, DeviceEvent::Kind::kOpened, 0, RequestOutcome::kFailed);
      error = deviceConfig.openError;
      return;
    }
    ++record.opens;
    if (++record.openHandles == 1 && id.role == DeviceRole::kMicrophone) {
      state_->microphones[id.index].FirstOpen(config.microphones[id.index], state_->Now());
    }
    state_->Log(id, DeviceEvent::Kind::kOpened, 0, RequestOutcome::kAnswered);
    device = std::make_unique<SimulatedDevice>(state_, id);
  });
  state_->changed.notify_all();
  if (systemError != nullptr) *systemError = device ? 0 : error;
  return device;
}

SimulatedDriversConfig SimulatedDrivers::Config() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->config;
}

void SimulatedDrivers::SetConfig(SimulatedDriversConfig config) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->config = std::move(config);
}

void SimulatedDrivers::UpdateConfig(const std::function<void(SimulatedDriversConfig&)>& change) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  change(state_->config);
}

uint64_t SimulatedDrivers::ScanCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->scans;
}

MicrophoneRecord SimulatedDrivers::Microphone(int index) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->microphones.at(index).record();
}

CameraRecord SimulatedDrivers::Camera(int index) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->cameras.at(index).record();
}

std::vector<uint8_t> SimulatedDrivers::LastPicture(int index) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->cameras.at(index).lastPicture();
}

std::string SimulatedDrivers::DescribeEvents(DeviceId id) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return simdrivers::DescribeEvents(id.role, state_->RecordOf(id));
}

void SimulatedDrivers::ClearRecords() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->scans = 0;
  ForEachDevice([&](DeviceId id) {
    DeviceRecord& device = state_->RecordOf(id);
    int openHandles = device.openHandles;
    if (id.role == DeviceRole::kCamera) {
      state_->cameras[id.index] = SimulatedCamera(id.index);
    } else {
      state_->microphones[id.index].record() = MicrophoneRecord();
    }
    state_->RecordOf(id).openHandles = openHandles;
  });
}

uint32_t SimulatedDrivers::MicrophoneBacklog(int index) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->microphones.at(index).Backlog(state_->Now());
}

void SimulatedDrivers::SetMicrophoneBacklog(int index, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->microphones.at(index).SetBacklog(bytes, state_->Now());
}

bool SimulatedDrivers::WaitForFrames(int index, uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  const SimulatedCamera& camera = state_->cameras.at(index);
  return state_->changed.wait_for(lock, timeout, [&] { return camera.record().frames >= count; });
}

bool SimulatedDrivers::WaitForAudioWrites(int index, uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  const SimulatedMicrophone& microphone = state_->microphones.at(index);
  return state_->changed.wait_for(lock, timeout, [&] { return microphone.record().writes >= count; });
}

}  // namespace kavex::simdrivers
