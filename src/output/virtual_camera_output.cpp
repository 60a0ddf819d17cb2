#include "output/virtual_camera_output.h"

#include <string>
#include <utility>

#include "common/error_log.h"
#include "output/control_code_channel.h"
#include "output/device_paths.h"
#include "output/driver_requests.h"
#include "output/output_feeder.h"
#include "output/section_channel.h"
#include "platform/device_drivers.h"
#include "platform/sync.h"

namespace kavex {

VirtualCameraOutput::VirtualCameraOutput(int index, OutputControlListener* controlListener)
    : VirtualCameraOutput(index, controlListener, platform::ActiveDeviceDrivers()) {}

VirtualCameraOutput::VirtualCameraOutput(int index, OutputControlListener* controlListener,
                                         platform::DeviceDrivers& drivers, OutputTiming timing)
    : index_(index), controlListener_(controlListener), drivers_(drivers), timing_(timing), painter_(*timing.clock) {}

VirtualCameraOutput::~VirtualCameraOutput() { Close(); }

int VirtualCameraOutput::Open() {
  // Without these objects the output still opens, but waits on a missing mutex fail (no format
  // change, no control-code picture) and a missing event is never set.
  signals_.Open(index_);
  painter_.Load();

  if (index_ == 0) device_paths::Scan(drivers_);

  uint32_t systemError = 0;
  microphoneDevice_ = drivers_.Open(device_paths::MicrophonePath(index_), &systemError);
  if (microphoneDevice_ == nullptr) {
    ErrorLog::Record(error_codes::kNoMicrophoneDevice, device_paths::FailureDetail(index_, systemError));
    return kMicrophoneMissing;
  }
  const uint32_t attach[2] = {1, static_cast<uint32_t>(index_)};
  uint32_t returned = 0;
  microphoneDevice_->Control(driver_requests::kAttach, attach, sizeof attach, nullptr, 0, &returned);
  const uint32_t query = 0;
  uint8_t statusBytes[4] = {};
  if (!microphoneDevice_->Control(driver_requests::kQuery, &query, sizeof query, statusBytes, sizeof statusBytes,
                                  &returned)) {
    ErrorLog::Record(error_codes::kMicrophoneQueryFailed);
    microphoneDevice_.reset();
    return kMicrophoneQueryFailed;
  }
  const uint32_t microphoneStatus = driver_requests::FieldU32(statusBytes, 0);
  microphone_.SetDevice(microphoneDevice_.get());

  // A driver that publishes the section of the engine's layout takes pictures there; every other
  // camera is reached by control codes.
  int result = kOpened;
  std::unique_ptr<CameraChannel> channel = SectionChannel::Open(index_, signals_, localSlots_);
  if (channel == nullptr) channel = ControlCodeChannel::Open(index_, drivers_, signals_, localSlots_, &result);
  if (channel == nullptr) return result;
  {
    std::lock_guard<platform::Mutex> slots(slotsLock_);
    channel_ = std::move(channel);
  }
  result =
      channel_->Configure(microphoneStatus, [this](const OutputFormat& format) { return SetOutputFormat(format); });
  if (result != kOpened) return result;
  return StartFeeder();
}

int VirtualCameraOutput::StartFeeder() {
  feeder_ = std::make_unique<OutputFeeder>([this] { return ConsumerActive(); }, [this] { return Tick(); },
                                           "kavex-feed-" + std::to_string(index_), timing_);
  feeder_->Start();  // no thread to be had is fatal, as running out of memory is
  return kOpened;
}

bool VirtualCameraOutput::feederRunning() const { return feeder_ != nullptr && feeder_->running(); }

void VirtualCameraOutput::Close() {
  if (feeder_ != nullptr) {
    feeder_->Stop();
    feeder_.reset();
  }
  std::unique_ptr<CameraChannel> channel;
  {
    std::lock_guard<platform::Mutex> slots(slotsLock_);
    channel = std::move(channel_);
  }
  // The camera's side goes first, then the microphone's: the drivers' order.
  if (channel != nullptr) channel->Close();
  channel.reset();
  if (microphoneDevice_ != nullptr) {
    microphone_.SetDevice(nullptr);
    uint32_t returned = 0;
    microphoneDevice_->Control(driver_requests::kDetach, nullptr, 0, nullptr, 0, &returned);
    microphoneDevice_.reset();
  }
  signals_.Close();
  painter_.Release();
}

bool VirtualCameraOutput::ConsumerActive() { return channel_ != nullptr && channel_->ConsumerActive(); }

bool VirtualCameraOutput::SetOutputFormat(const OutputFormat& format) {
  // A picture the slots cannot hold is refused rather than cut: a consumer given part of a
  // picture under the size it asked for would show garbage.
  if (PictureBytes(format.width, format.height, format.code) > FrameSlot::kDataBytes) return false;
  {
    CameraMutexHold hold(signals_);
    if (!hold.held()) {
      ErrorLog::Record(error_codes::kFormatTableMutexTimeout);
      return false;
    }
    std::lock_guard<platform::Mutex> lock(formatLock_);
    format_ = format;
  }
  painter_.ResizeCanvas(format);
  return true;
}

OutputFormat VirtualCameraOutput::format() const {
  std::lock_guard<platform::Mutex> lock(formatLock_);
  return format_;
}

void VirtualCameraOutput::ClearFrameSlots() {
  std::unique_lock<platform::Mutex> slots(slotsLock_);
  // Not through a picture the driver is still taking: the wait is the driver's write, no longer.
  handOverEnded_.wait(slots, [this] { return channel_ == nullptr || !channel_->handingOver(); });
  ClearFrameSlotsLocked();
}

void VirtualCameraOutput::ClearFrameSlotsLocked() {
  if (channel_ != nullptr) channel_->ClearSlots(format());
}

uint32_t VirtualCameraOutput::FormatTableCapacity() const {
  return channel_ != nullptr ? channel_->FormatTableCapacity() : 0;
}

bool VirtualCameraOutput::WriteFormatTable(const std::vector<VideoFormat>& rows) {
  return channel_ != nullptr && channel_->WriteFormatTable(rows);
}

}  // namespace kavex
