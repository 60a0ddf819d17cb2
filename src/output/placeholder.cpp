// What the camera shows while no phone streams: the placeholder picture, or the plain green blank
// picture when the host has blanked the cameras. Both run on the feeder thread.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/engine_clock.h"
#include "output/driver_requests.h"
#include "output/virtual_camera_output.h"
#include "platform/device_drivers.h"
#include "platform/drawing_surface.h"

namespace kavex {
namespace {

// Shared by every camera's feeder: one pacing clock and one animation sequence.
std::atomic<uint32_t> gAnimationCounter{0};
std::atomic<double> gPlaceholderClock{0.0};

constexpr double kPlaceholderInterval = 0.1;  // ten pictures a second keep the idle cost low
const uint8_t kBlankRgb[3] = {0x00, 0xB1, 0x40};
const uint8_t kBlankYuy2[4] = {0x6F, 0x65, 0x6F, 0x30};

void PacePlaceholder() {
  const double now = EngineClock::Now();
  const double remaining = kPlaceholderInterval - (now - gPlaceholderClock.load());
  if (remaining > 0.001)
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(remaining * 1000.0)));
  gPlaceholderClock.store(now);
}

}  // namespace

bool VirtualCameraOutput::PlaceholderTick() {
  const OutputFormat current = format();
  const size_t width = current.width;
  const size_t rows = current.rows();
  gAnimationCounter.fetch_add(1);
  // The picture is black for now: the animation and its caption are drawn on this surface once
  // the animation reader is in.
  platform::DrawingSurface* canvas = surface_.get();
  if (current.code == kPixelRgb24 && canvas != nullptr && canvas->pixels() != nullptr &&
      static_cast<size_t>(canvas->width()) == width && static_cast<size_t>(canvas->height()) == rows) {
    const size_t rowBytes = 3 * width;
    uint8_t* scratch = localSlot(0).data();
    // The canvas pads its rows to 4 bytes; the driver takes rows exactly 3 × width apart.
    for (size_t row = 0; row < rows; ++row) {
      uint8_t* source = canvas->pixels() + row * static_cast<size_t>(canvas->stride());
      std::fill(source, source + rowBytes, uint8_t{0});
      std::memcpy(scratch + row * rowBytes, source, rowBytes);
    }
    Deliver(scratch, rowBytes * rows);
  } else if (current.code == kPixelYuy2) {
    uint8_t* scratch = localSlot(1).data();
    static const uint8_t kBlack[4] = {0x00, 0x80, 0x00, 0x80};
    const size_t bytes = 2 * width * rows;
    for (size_t i = 0; i + 4 <= bytes; i += 4) std::memcpy(scratch + i, kBlack, 4);
    Deliver(scratch, bytes);
  }
  PacePlaceholder();
  return true;
}

bool VirtualCameraOutput::BlankTick() {
  const OutputFormat current = format();
  const size_t width = current.width;
  const size_t rows = current.rows();
  uint8_t* scratch = localSlot(0).data();
  if (current.code == kPixelRgb24 && blankState_ != 1) {
    blankState_ = 1;
    const size_t rowBytes = 3 * width;
    for (size_t x = 0; x < width; ++x) std::memcpy(scratch + 3 * x, kBlankRgb, 3);
    for (size_t row = 1; row < rows; ++row)
      std::memcpy(scratch + row * rowBytes, scratch, rowBytes);
    Deliver(scratch, rowBytes * rows);
    ResetEvent();
    return true;
  }
  if (current.code == kPixelYuy2 && blankState_ != 2) {
    blankState_ = 2;
    const size_t bytes = 2 * width * rows;
    for (size_t i = 0; i + 4 <= bytes; i += 4) std::memcpy(scratch + i, kBlankYuy2, 4);
    Deliver(scratch, bytes);
    ResetEvent();
    return true;
  }
  // The blank picture for this size went out already: ask the control-code driver whether its
  // consumer now wants another size, and send a new blank picture if so.
  uint8_t reply[driver_requests::CameraDeviceInfo::kBytes];
  if (camera_ != nullptr && QueryCamera(reply)) {
    const driver_requests::CameraDeviceInfo info = driver_requests::CameraDeviceInfo::Parse(reply);
    const uint32_t code = info.yuy2 != 0 ? kPixelYuy2 : kPixelRgb24;
    std::lock_guard<std::mutex> lock(formatLock_);
    uint32_t width = format_.width;
    int32_t height = format_.height;
    if (info.width != 0 && info.height != 0) {
      width = info.width;
      height = info.height;
    }
    // A size (or a layout) the slots cannot hold is not taken over: the next blank picture would
    // be written past the slot.
    if (PictureBytes(width, height, code) <= FrameSlot::kDataBytes) {
      if (width != format_.width || height != format_.height) blankState_ = 0;
      format_.code = code;
      format_.width = width;
      format_.height = height;
    }
  }
  ResetEvent();
  return true;
}

}  // namespace kavex
