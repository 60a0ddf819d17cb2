#pragma once
#include "common/video_format.h"

namespace kavex {

// The sizes the host may pick instead of "Automatic": choices 1 to 10. Any other choice means
// automatic.
constexpr int kFormatPresetCount = 10;

inline const VideoFormat* FormatPreset(int choice) {
  static const VideoFormat kPresets[kFormatPresetCount] = {
      {640, 360, 0.0f},   {640, 480, 0.0f},   {960, 540, 0.0f},   {1280, 720, 0.0f}, {1280, 960, 0.0f},
      {1920, 1080, 0.0f}, {2560, 1440, 0.0f}, {3840, 2160, 0.0f}, {720, 1280, 0.0f}, {1080, 1920, 0.0f}};
  if (choice < 1 || choice > kFormatPresetCount) return nullptr;
  return &kPresets[choice - 1];
}

}  // namespace kavex
