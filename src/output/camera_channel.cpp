#include "output/camera_channel.h"

#include <algorithm>

namespace kavex {
namespace {

// Bytes of YUY2 black written by a clear: the largest YUY2 picture a driver takes (3840 × 2160).
constexpr size_t kYuy2ClearBytes = size_t{3840} * 2160 * 2;

void ClearSlot(FrameSlot slot, uint32_t code, bool fillData) {
  slot.SetLength(0);
  slot.SetTime(0.0f);
  slot.SetReady(false);
  if (!fillData) return;
  uint8_t* data = slot.data();
  if (code == kPixelYuy2) {
    static const uint8_t kBlack[4] = {0x00, 0x80, 0x00, 0x80};
    for (size_t i = 0; i < kYuy2ClearBytes; i += 4) std::copy(kBlack, kBlack + 4, data + i);
  } else {
    std::fill(data, data + FrameSlot::kDataBytes, uint8_t{0});
  }
}

}  // namespace

bool CameraChannel::AskDemand(OutputFormat*) { return false; }

uint32_t CameraChannel::FormatTableCapacity() const { return 0; }

bool CameraChannel::WriteFormatTable(const std::vector<VideoFormat>&) { return false; }

void CameraChannel::ClearSlots(const OutputFormat& current) {
  const uint32_t code = current.code;
  const bool fillData = slotsWritten_ || clearedToYuy2_ != (code == kPixelYuy2);
  ClearSlot(Slot(0), code, fillData);
  ClearSlot(Slot(1), code, fillData);
  slotsWritten_ = false;
  clearedToYuy2_ = code == kPixelYuy2;
  // Black everywhere a picture of the current format reaches (a YUY2 clear covers the largest
  // YUY2 picture a driver takes, not a whole slot).
  const bool covered = code != kPixelYuy2 || PictureBytes(current.width, current.height, code) <= kYuy2ClearBytes;
  for (SlotBars& bars : slotBars_) bars = SlotBars{covered, current, PictureFit{}};
}

void CameraChannel::MarkSlotsWritten() {
  slotsWritten_ = true;
  slotBars_[0].known = false;
  slotBars_[1].known = false;
}

uint8_t* CameraChannel::Scratch(int which) {
  MarkSlotsWritten();
  return local_.slot(which).data();
}

}  // namespace kavex
