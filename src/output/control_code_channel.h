#pragma once
#include <memory>

#include "output/camera_channel.h"
#include "output/camera_signals.h"
#include "output/driver_requests.h"
#include "platform/sync.h"

namespace kavex {
namespace platform {
class Device;
class DeviceDrivers;
}  // namespace platform

// A camera whose driver takes pictures through its device: pictures wait in the engine's own two
// slots until the feeder writes them to the device with the frame-write code, whose reply says what
// the consumer wants and carries the driver's controls; whether anyone reads is a query.
// Thread: as CameraChannel.
class ControlCodeChannel final : public CameraChannel {
 public:
  // Opens and attaches the camera device of this index. Null, with *result set and recorded, when
  // the device is missing or does not answer the query.
  static std::unique_ptr<ControlCodeChannel> Open(int index, platform::DeviceDrivers& drivers, CameraSignals& signals,
                                                  LocalFrameSlots& local, int* result);
  ~ControlCodeChannel() override;

  bool sectionMode() const override { return false; }
  int Configure(uint32_t microphoneStatus, const FormatSetter& setFormat) override;
  void Close() override;
  bool ConsumerActive() override;
  FrameSlot Slot(int index) const override { return local_.slot(index); }
  int SlotForPicture() override;
  DriverReport HandOver(const uint8_t* data, size_t length) override;
  bool FeedStream(std::unique_lock<platform::Mutex>& slotsHeld, DriverReport* report) override;
  bool AskDemand(OutputFormat* demand) override;

 private:
  ControlCodeChannel(int index, std::unique_ptr<platform::Device> camera, CameraSignals& signals,
                     LocalFrameSlots& local, const driver_requests::CameraDeviceInfo& info);
  bool Query(driver_requests::CameraDeviceInfo* info);

  const int index_;
  std::unique_ptr<platform::Device> camera_;
  CameraSignals& signals_;
  const driver_requests::CameraDeviceInfo openingInfo_;  // the answer to the query at open
  bool version2_ = false;
};

}  // namespace kavex
