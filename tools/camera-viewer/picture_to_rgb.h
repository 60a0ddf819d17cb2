#pragma once
// The picture layouts a camera's consumer can demand, and their conversion into plain RGB for
// display and snapshots. Written for the viewer alone, from the camera contract: like the phone
// simulator it stands for the outside world and shares no code with the engine (only the test kit's
// reading of the section), so its own reading of the layouts is what catches the engine's mistakes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "camera_section_layout.h"

namespace camera_viewer {

// The layouts and the slot's size are the camera section's (the test kit's).
using testkit::camera_section::kArgb;
using testkit::camera_section::kI420;
using testkit::camera_section::kRgb24;
using testkit::camera_section::kYuy2;
using testkit::camera_section::PixelCode;

struct PictureLayout {
  uint32_t width = 0;
  int32_t height = 0;  // negative: bottom row first (RGB24 and ARGB only)
  uint32_t code = kYuy2;

  uint32_t rows() const { return static_cast<uint32_t>(height < 0 ? -static_cast<int64_t>(height) : height); }
};

using testkit::camera_section::kSlotDataBytes;

// Bytes one picture of this layout occupies (0 for an unknown code).
uint64_t PictureBytes(const PictureLayout& layout);

// "RGB24", "YUY2", "I420", "ARGB" or "code N".
const char* PixelCodeName(uint32_t code);

// Converts a picture into width × rows RGB triples, top row first (BT.601 limited range for the
// YUV layouts, as the engine's scaler writes them). False when the picture needs more than size
// bytes or the code is unknown; rgb is then left as it was.
bool ToRgb(const PictureLayout& layout, const uint8_t* data, size_t size, std::vector<uint8_t>* rgb);

}  // namespace camera_viewer
