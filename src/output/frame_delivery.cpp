// Frame delivery on the feeder thread: the tick, the hand-over of finished pictures to the driver,
// and the checks of what the driver reports back (its consumer's format, its controls).
#include <cmath>

#include "platform/clock.h"
#include "output/camera_section.h"
#include "output/driver_requests.h"
#include "output/virtual_camera_output.h"
#include "platform/device_drivers.h"
#include "platform/named_objects.h"
#include "common/error_log.h"

namespace kavex {
namespace {

// The slot to hand over or overwrite: the one holding the older picture.
int OlderSlot(const FrameSlot& slot0, const FrameSlot& slot1) {
  return slot1.time() < slot0.time() ? 1 : 0;
}

}  // namespace

bool VirtualCameraOutput::Tick() {
  if (blank() && !streaming()) {
    std::lock_guard<std::recursive_mutex> slotsHeld(slotsLock_);
    return BlankTick();
  }
  blankState_ = 0;
  // The placeholder holds the slots only while it draws and hands over, not while it paces.
  if (!streaming()) return PlaceholderTick();
  std::unique_lock<std::recursive_mutex> slotsHeld(slotsLock_);
  if (sectionView_ != nullptr) {
    // Pictures reach the section from the decoder thread; the feeder only watches the driver.
    CheckDemand(SectionDemand());
    CheckControls(camera_section::ReadU32(sectionView_, camera_section::kControlValue),
                  camera_section::ReadU32(sectionView_, camera_section::kControlFlag) != 0);
    return false;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (mutex_ == nullptr || !mutex_->Wait(kMutexWaitMs)) {
      ErrorLog::Record(error_codes::kFormatMutexTimeout);
      return false;
    }
    FrameSlot slots[2] = {localSlot(0), localSlot(1)};
    int chosen = -1;
    if (slots[0].ready() && slots[1].ready()) {
      chosen = OlderSlot(slots[0], slots[1]);
    } else if (slots[0].ready()) {
      chosen = 0;
    } else if (slots[1].ready()) {
      chosen = 1;
    }
    mutex_->Release();
    if (chosen >= 0) {
      Deliver(slots[chosen].data(), slots[chosen].length());
      slots[chosen].SetReady(false);
      ResetEvent();
      return true;
    }
    if (attempt == 0 && event_ != nullptr) {
      slotsHeld.unlock();  // the decoder needs the slots to fill one
      event_->Wait(kEventWaitMs);
      slotsHeld.lock();
    }
  }
  return false;
}

void VirtualCameraOutput::Deliver(const uint8_t* data, size_t length) {
  if (length > FrameSlot::kDataBytes) length = FrameSlot::kDataBytes;
  if (sectionView_ != nullptr) {
    FrameSlot slot0 = sectionSlot(0);
    FrameSlot slot1 = sectionSlot(1);
    FrameSlot target = OlderSlot(slot0, slot1) == 1 ? slot1 : slot0;
    MarkSlotsWritten();
    std::copy(data, data + length, target.data());
    target.SetTime(static_cast<float>(EngineClock::Now()));
    target.SetReady(true);
    CheckDemand(SectionDemand());
    return;
  }
  if (camera_ == nullptr) return;
  uint8_t replyBytes[driver_requests::FrameWriteReply::kBytes] = {};
  uint32_t returned = 0;
  const uint32_t code = driver_requests::FrameWriteCode(index_, driverVersion2_);
  if (!camera_->Control(code, data, static_cast<uint32_t>(length), replyBytes, sizeof replyBytes,
                        &returned) ||
      returned == 0)
    return;  // the next picture is tried
  const driver_requests::FrameWriteReply reply = driver_requests::FrameWriteReply::Parse(replyBytes);
  if (reply.valid != 0) {
    OutputFormat demanded;
    demanded.width = reply.width;
    demanded.code = reply.yuy2 != 0 ? kPixelYuy2 : kPixelRgb24;
    demanded.height = reply.height;
    // A version-2 driver states RGB heights top-down positive; the engine's negative height says
    // the same thing.
    if (driverVersion2_ && demanded.code == kPixelRgb24) demanded.height = -demanded.height;
    demanded.fps = driver_requests::FpsFromDuration(reply.frameDuration);
    CheckDemand(demanded);
  }
  if (returned >= driver_requests::FrameWriteReply::kBytes)
    CheckControls(reply.controlValue, reply.controlFlag != 0);
}

bool VirtualCameraOutput::WriteDecodedPicture(const AVFrame& picture, float timestamp) {
  // The format is read under the slots lock: a re-form (new format, cleared slots) on the feeder
  // thread happens wholly before or after this picture, never between reading the format and
  // writing the slot, which would leave a picture of the old size ready in the new output.
  std::lock_guard<std::recursive_mutex> slotsHeld(slotsLock_);
  const OutputFormat current = format();
  if (current.height == 0) return false;
  if (current.code > kPixelArgb) {
    ErrorLog::Record(error_codes::kUnknownPixelCode);
    return false;
  }
  int chosen = -1;
  FrameSlot target(nullptr);
  if (sectionView_ != nullptr) {
    // The driver clears `ready` when it has taken a picture: a free slot first, else the older.
    FrameSlot slot0 = sectionSlot(0);
    FrameSlot slot1 = sectionSlot(1);
    if (!slot0.ready()) {
      chosen = 0;
    } else if (!slot1.ready()) {
      chosen = 1;
    } else {
      chosen = slot1.time() <= slot0.time() ? 1 : 0;
    }
    target = sectionSlot(chosen);
  } else {
    if (mutex_ == nullptr || !mutex_->Wait(kMutexWaitMs)) {
      ErrorLog::Record(error_codes::kSlotMutexTimeout);
      return false;
    }
    // Both local slots waiting for the feeder: this picture is dropped, the feeder delivers the
    // two pending ones, older first.
    if (!localSlot(0).ready()) {
      chosen = 0;
    } else if (!localSlot(1).ready()) {
      chosen = 1;
    }
    mutex_->Release();
    if (chosen < 0) return false;
    target = localSlot(chosen);
  }
  slotsWritten_ = true;
  uint32_t length = 0;
  // Nothing drawn leaves the slot as it was: its old bytes are no new picture to announce.
  if (!pictureWriter_.Write(picture, current, target.data(), &length, &slotBars_[chosen]))
    return false;
  target.SetLength(length);
  target.SetTime(timestamp);
  target.SetReady(true);
  SetEvent();
  return true;
}

void VirtualCameraOutput::CheckDemand(const OutputFormat& demanded) {
  const OutputFormat current = format();
  if (demanded.width == current.width && demanded.height == current.height &&
      demanded.code == current.code && std::fabs(demanded.fps - current.fps) <= 0.5f)
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
  ClearFrameSlots();
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
