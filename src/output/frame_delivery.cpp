// The output's per-picture work: the feeder's tick (blank picture, placeholder, or the stream's
// hand-overs), the decoder's output step, and what the driver reports back (its consumer's format,
// its controls).
#include <cmath>

#include "common/error_log.h"
#include "output/output_feeder.h"
#include "output/virtual_camera_output.h"
#include "platform/sync.h"

namespace kavex {

bool VirtualCameraOutput::Tick() {
  if (channel_ == nullptr) return false;
  if (blank() && !streaming()) {
    std::lock_guard<platform::Mutex> slotsHeld(slotsLock_);
    return BlankTickLocked();
  }
  painter_.ForgetBlank();
  // The placeholder holds the slots only while it draws and hands over, not while it paces.
  if (!streaming()) return PlaceholderTick();
  std::unique_lock<platform::Mutex> slotsHeld(slotsLock_);
  DriverReport report;
  const bool handedOver = channel_->FeedStream(slotsHeld, &report);
  if (handedOver) handOverEnded_.notify_all();
  ApplyReportLocked(report);
  return handedOver;
}

bool VirtualCameraOutput::PlaceholderTick() {
  const OutputFormat current = format();
  {
    std::lock_guard<platform::Mutex> slotsHeld(slotsLock_);
    DriverReport report;
    if (painter_.PaintPlaceholder(current, *channel_, &report)) ApplyReportLocked(report);
  }
  // The wait is the feeder's own, so that closing the output ends it at once.
  const int waitMs = painter_.ReserveNextPicture();
  if (waitMs > 0 && feeder_ != nullptr) feeder_->SleepMs(waitMs);
  return true;
}

bool VirtualCameraOutput::BlankTickLocked() {
  DriverReport report;
  if (painter_.PaintBlank(format(), *channel_, &report)) {
    ApplyReportLocked(report);
  } else {
    // The blank picture for this size went out already: the driver may want another size now.
    TakeAskedSizeLocked();
  }
  signals_.ResetEvent();
  return true;
}

void VirtualCameraOutput::TakeAskedSizeLocked() {
  OutputFormat asked;
  if (!channel_->AskDemand(&asked)) return;
  std::lock_guard<platform::Mutex> lock(formatLock_);
  uint32_t width = format_.width;
  int32_t height = format_.height;
  if (asked.width != 0 && asked.height != 0) {
    width = asked.width;
    height = asked.height;
  }
  // A size (or a layout) the slots cannot hold is not taken over: the next blank picture would
  // be written past the slot.
  if (PictureBytes(width, height, asked.code) > FrameSlot::kDataBytes) return;
  if (width != format_.width || height != format_.height) painter_.ForgetBlank();
  format_.code = asked.code;
  format_.width = width;
  format_.height = height;
}

void VirtualCameraOutput::ApplyReportLocked(const DriverReport& report) {
  if (report.hasDemand) CheckDemandLocked(report.demand);
  if (report.hasControls) CheckControls(report.controlValue, report.controlFlag);
}

bool VirtualCameraOutput::WriteDecodedPicture(const AVFrame& picture, float timestamp) {
  // The format is read under the slots lock: a re-form (new format, cleared slots) on the feeder
  // thread happens wholly before or after this picture, never between reading the format and
  // writing the slot, which would leave a picture of the old size ready in the new output.
  std::lock_guard<platform::Mutex> slotsHeld(slotsLock_);
  if (channel_ == nullptr) return false;
  const OutputFormat current = format();
  if (current.height == 0) return false;
  if (current.code > kPixelArgb) {
    ErrorLog::Record(error_codes::kUnknownPixelCode);
    return false;
  }
  const int chosen = channel_->SlotForPicture();
  if (chosen < 0) return false;
  FrameSlot target = channel_->Slot(chosen);
  channel_->NotePictureWrite();
  uint32_t length = 0;
  // Nothing drawn leaves the slot as it was: its old bytes are no new picture to announce.
  if (!pictureWriter_.Write(picture, current, target.data(), &length, channel_->bars(chosen))) return false;
  target.SetLength(length);
  target.SetTime(timestamp);
  target.SetReady(true);
  signals_.SetEvent();
  return true;
}

void VirtualCameraOutput::CheckDemandLocked(const OutputFormat& demanded) {
  const OutputFormat current = format();
  if (demanded.width == current.width && demanded.height == current.height && demanded.code == current.code &&
      std::fabs(demanded.fps - current.fps) <= 0.5f)
    return;
  // A driver that states no size has no consumer format yet: nothing to re-form, and clearing the
  // slots on every tick would wipe each picture as it arrives.
  if (demanded.width == 0 || demanded.height == 0) return;
  // A size the slots cannot hold is refused, and recorded once per such demand: the output keeps
  // its format and its pictures.
  if (PictureBytes(demanded.width, demanded.height, demanded.code) > FrameSlot::kDataBytes) {
    if (refusedDemand_.width != demanded.width || refusedDemand_.height != demanded.height ||
        refusedDemand_.code != demanded.code) {
      refusedDemand_ = demanded;
      ErrorLog::Record(error_codes::kDemandTooLarge);
    }
    return;
  }
  if (!SetOutputFormat(demanded)) return;  // the mutex was busy: the next check tries again
  ClearFrameSlotsLocked();
}

void VirtualCameraOutput::CheckControls(uint32_t value, bool flag) {
  if (value != lastControlValue_) {
    lastControlValue_ = value;
    if (controlListener_ != nullptr) controlListener_->OnControlValue(value);
  }
  if (flag != lastControlFlag_) {
    lastControlFlag_ = flag;
    if (controlListener_ != nullptr) controlListener_->OnControlFlag(flag);
  }
}

}  // namespace kavex
