#pragma once
#include <string>
#include <vector>

#include "common/video_format.h"

namespace kavex {

// Agreeing on a video format with the phone: which of the phone's formats best serves what the
// camera's consumer (or the host's size preset) asks for.
namespace format_choice {

// What the choice is made for.
struct Demand {
  bool consumerActive = false;  // a program reads the camera: its size counts
  uint32_t outputWidth = 0;
  int32_t outputHeight = 0;
  float outputFps = 30.0f;
  bool instanceActive = false;  // the host shows this camera: at least 720p
  int choice = 0;               // the host's preset; 0 (or anything but 1-10) is automatic
};

// The phone's formats, sorted ascending by pixel count (a stable sort: equal counts keep the
// phone's order), with the default 640 × 480 at 30 when the phone listed none.
std::vector<VideoFormat> SortedPhoneFormats(const std::vector<VideoFormat>& listed);

// The best listed format for the demand: the first one at least as large at the demanded aspect,
// else the largest at that aspect, with the aspect tolerance widening step by step; 640 × 480 at 30
// when no aspect matches. Then the rate closest to the output's among the same size.
VideoFormat Choose(const std::vector<VideoFormat>& sortedFormats, const Demand& demand);

// The presets offered to the host, "/"-separated; the portrait ones only when asked.
std::string ChoiceText(bool withPortraitPresets);

bool ListsPortrait(const std::vector<VideoFormat>& formats);

// Same size and a rate within half a frame per second: no new request needed.
bool SameFormat(const VideoFormat& a, const VideoFormat& b);

}  // namespace format_choice
}  // namespace kavex
