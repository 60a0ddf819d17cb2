#include "output/control_code_channel.h"

#include <algorithm>

#include "common/error_log.h"
#include "output/device_paths.h"
#include "platform/device_drivers.h"
#include "platform/sync.h"

namespace kavex {
namespace {

bool QueryCamera(platform::Device& camera, int index, driver_requests::CameraDeviceInfo* info) {
  const uint32_t request[2] = {driver_requests::kCameraRequestTag, static_cast<uint32_t>(index)};
  uint8_t reply[driver_requests::CameraDeviceInfo::kBytes] = {};
  uint32_t returned = 0;
  if (!camera.Control(driver_requests::kQuery, request, sizeof request, reply, sizeof reply, &returned)) return false;
  *info = driver_requests::CameraDeviceInfo::Parse(reply);
  return true;
}

}  // namespace

std::unique_ptr<ControlCodeChannel> ControlCodeChannel::Open(int index, platform::DeviceDrivers& drivers,
                                                             CameraSignals& signals, LocalFrameSlots& local,
                                                             int* result) {
  uint32_t systemError = 0;
  std::unique_ptr<platform::Device> camera = drivers.Open(device_paths::CameraPath(index), &systemError);
  if (camera == nullptr) {
    ErrorLog::Record(error_codes::kNoCameraDevice, device_paths::FailureDetail(index, systemError));
    *result = kCameraMissing;
    return nullptr;
  }
  const uint32_t attach[2] = {driver_requests::kCameraRequestTag, static_cast<uint32_t>(index)};
  uint32_t returned = 0;
  camera->Control(driver_requests::kAttach, attach, sizeof attach, nullptr, 0, &returned);
  driver_requests::CameraDeviceInfo info;
  if (!QueryCamera(*camera, index, &info)) {
    ErrorLog::Record(error_codes::kCameraQueryFailed);
    *result = kCameraQueryFailed;
    return nullptr;
  }
  *result = kOpened;
  return std::unique_ptr<ControlCodeChannel>(new ControlCodeChannel(index, std::move(camera), signals, local, info));
}

ControlCodeChannel::ControlCodeChannel(int index, std::unique_ptr<platform::Device> camera, CameraSignals& signals,
                                       LocalFrameSlots& local, const driver_requests::CameraDeviceInfo& info)
    : CameraChannel(local), index_(index), camera_(std::move(camera)), signals_(signals), openingInfo_(info) {}

ControlCodeChannel::~ControlCodeChannel() { ControlCodeChannel::Close(); }

int ControlCodeChannel::Configure(uint32_t microphoneStatus, const FormatSetter& setFormat) {
  const driver_requests::CameraDeviceInfo& info = openingInfo_;
  if (info.version < driver_requests::kCameraVersion2) {
    ErrorLog::Record(error_codes::kCameraTooOld);
    return kCameraDriverTooOld;
  }
  version2_ = info.version == driver_requests::kCameraVersion2;
  OutputFormat wanted;
  wanted.width = info.width;
  wanted.height = info.height;
  if (info.width == 0 || info.height == 0) {
    wanted.width = 640;
    wanted.height = 360;
  }
  wanted.code = info.yuy2 != 0 ? kPixelYuy2 : kPixelRgb24;
  wanted.fps = driver_requests::FpsFromDuration(info.frameDuration);
  if (!setFormat(wanted)) {
    wanted.width = 640;
    wanted.height = 360;
    setFormat(wanted);
  }
  const bool knownVersion = info.version == driver_requests::kCameraVersion100 || version2_;
  if (microphoneStatus != driver_requests::kMicrophoneReady || !knownVersion) {
    ErrorLog::Record(error_codes::kCameraDriverMismatch);
    return kDriverNotReady;
  }
  return kOpened;
}

void ControlCodeChannel::Close() {
  if (camera_ == nullptr) return;
  const uint32_t detach[2] = {driver_requests::kCameraRequestTag, static_cast<uint32_t>(index_)};
  uint32_t returned = 0;
  camera_->Control(driver_requests::kDetach, detach, sizeof detach, nullptr, 0, &returned);
  camera_.reset();
}

bool ControlCodeChannel::Query(driver_requests::CameraDeviceInfo* info) {
  return camera_ != nullptr && QueryCamera(*camera_, index_, info);
}

bool ControlCodeChannel::ConsumerActive() {
  driver_requests::CameraDeviceInfo info;
  if (!Query(&info)) return false;
  return info.consumerActive != 0 || info.version == driver_requests::kCameraVersion2;
}

bool ControlCodeChannel::AskDemand(OutputFormat* demand) {
  driver_requests::CameraDeviceInfo info;
  if (!Query(&info)) return false;
  demand->width = info.width;
  demand->height = info.height;
  demand->code = info.yuy2 != 0 ? kPixelYuy2 : kPixelRgb24;
  demand->fps = driver_requests::FpsFromDuration(info.frameDuration);
  return true;
}

int ControlCodeChannel::SlotForPicture() {
  if (!signals_.WaitMutex()) {
    ErrorLog::Record(error_codes::kSlotMutexTimeout);
    return -1;
  }
  // Both slots waiting for the feeder: this picture is dropped, the feeder delivers the two
  // pending ones, older first.
  int chosen = -1;
  if (!Slot(0).ready()) {
    chosen = 0;
  } else if (!Slot(1).ready()) {
    chosen = 1;
  }
  signals_.ReleaseMutex();
  return chosen;
}

DriverReport ControlCodeChannel::HandOver(const uint8_t* data, size_t length) {
  DriverReport report;
  if (camera_ == nullptr) return report;
  if (length > FrameSlot::kDataBytes) length = FrameSlot::kDataBytes;
  uint8_t replyBytes[driver_requests::FrameWriteReply::kBytes] = {};
  uint32_t returned = 0;
  const uint32_t code = driver_requests::FrameWriteCode(index_, version2_);
  if (!camera_->Control(code, data, static_cast<uint32_t>(length), replyBytes, sizeof replyBytes, &returned) ||
      returned == 0)
    return report;  // the next picture is tried
  const driver_requests::FrameWriteReply reply = driver_requests::FrameWriteReply::Parse(replyBytes);
  if (reply.valid != 0) {
    report.hasDemand = true;
    report.demand.width = reply.width;
    report.demand.code = reply.yuy2 != 0 ? kPixelYuy2 : kPixelRgb24;
    report.demand.height = reply.height;
    // A version-2 driver states RGB heights top-down positive; the engine's negative height says
    // the same thing.
    if (version2_ && report.demand.code == kPixelRgb24) report.demand.height = -report.demand.height;
    report.demand.fps = driver_requests::FpsFromDuration(reply.frameDuration);
  }
  if (returned >= driver_requests::FrameWriteReply::kBytes) {
    report.hasControls = true;
    report.controlValue = reply.controlValue;
    report.controlFlag = reply.controlFlag != 0;
  }
  return report;
}

bool ControlCodeChannel::FeedStream(std::unique_lock<platform::Mutex>& slotsHeld, DriverReport* report) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!signals_.WaitMutex()) {
      ErrorLog::Record(error_codes::kFormatMutexTimeout);
      return false;
    }
    const FrameSlot slots[2] = {Slot(0), Slot(1)};
    int chosen = -1;
    if (slots[0].ready() && slots[1].ready()) {
      chosen = slots[1].time() < slots[0].time() ? 1 : 0;  // the older first
    } else if (slots[0].ready()) {
      chosen = 0;
    } else if (slots[1].ready()) {
      chosen = 1;
    }
    signals_.ReleaseMutex();
    if (chosen >= 0) {
      FrameSlot slot = slots[chosen];
      // The driver takes the picture with the slots let go, so that the decoder converts the
      // next one into the other slot meanwhile; this one stays ready until it has gone.
      handingOver_ = true;
      slotsHeld.unlock();
      *report = HandOver(slot.data(), slot.length());
      slotsHeld.lock();
      handingOver_ = false;
      slot.SetReady(false);
      signals_.ResetEvent();
      return true;
    }
    if (attempt == 0 && signals_.hasEvent()) {
      slotsHeld.unlock();  // the decoder needs the slots to fill one
      signals_.WaitEvent(CameraSignals::kEventWaitMs);
      slotsHeld.lock();
    }
  }
  return false;
}

}  // namespace kavex
