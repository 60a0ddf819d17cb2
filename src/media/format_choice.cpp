#include "media/format_choice.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "media/format_presets.h"

namespace kavex::format_choice {
namespace {

const VideoFormat kFallback{640, 480, 30.0f};

uint32_t Pixels(const VideoFormat& format) { return format.width * format.height; }

// A format without height has no aspect; it never matches one.
bool AspectWithin(const VideoFormat& format, double aspect, double tolerance) {
  if (format.height == 0) return false;
  return std::fabs(static_cast<double>(format.width) / format.height - aspect) <= tolerance;
}

}  // namespace

std::vector<VideoFormat> SortedPhoneFormats(const std::vector<VideoFormat>& listed) {
  std::vector<VideoFormat> sorted = listed.empty() ? std::vector<VideoFormat>{kFallback} : listed;
  std::stable_sort(sorted.begin(), sorted.end(), [](const VideoFormat& a, const VideoFormat& b) {
    return Pixels(a) < Pixels(b);  // unsigned 32-bit products, as the phone's sizes are
  });
  return sorted;
}

VideoFormat Choose(const std::vector<VideoFormat>& formats, const Demand& demand) {
  uint32_t width = 640;
  uint32_t height = 360;
  if (demand.consumerActive) {
    width = demand.outputWidth;
    height = static_cast<uint32_t>(std::llabs(static_cast<long long>(demand.outputHeight)));
  } else if (demand.instanceActive) {
    width = 1280;
    height = 720;
  }
  if (const VideoFormat* preset = FormatPreset(demand.choice)) {
    width = preset->width;
    height = preset->height;
  }
  const double aspect = height == 0 ? 1.33 : static_cast<double>(width) / height;

  VideoFormat result{0, 0, 0.0f};
  bool found = false;
  // Ten tolerances, 0.01 to 0.46 in steps of 0.05.
  for (int step = 0; step < 10 && !found; ++step) {
    const double tolerance = 0.01 + 0.05 * step;
    for (const VideoFormat& format : formats) {
      if (format.width >= width && format.height >= height && AspectWithin(format, aspect, tolerance)) {
        result = format;
        found = true;
        break;
      }
    }
    if (found) break;
    VideoFormat largest{0, 0, 0.0f};
    for (const VideoFormat& format : formats) {
      if (AspectWithin(format, aspect, tolerance) && Pixels(format) > Pixels(largest)) largest = format;
    }
    if (largest.width != 0) {
      result = largest;
      found = true;
    }
  }
  if (!found) result = kFallback;

  // The same size at the rate the consumer runs at, if the phone offers it.
  for (const VideoFormat& format : formats) {
    if (format.width == result.width && format.height == result.height &&
        std::fabs(format.framesPerSecond - demand.outputFps) < 0.5f) {
      result = format;
      break;
    }
  }
  return result;
}

std::string ChoiceText(bool withPortraitPresets) {
  std::string text =
      "Automatic/640 x 360/640 x 480/960 x 540/1280 x 720/1280 x 960/1920 x 1080/2560 x 1440/3840 x 2160";
  if (withPortraitPresets) text += "/720 x 1280/1080 x 1920";
  return text;
}

bool ListsPortrait(const std::vector<VideoFormat>& formats) {
  return std::any_of(formats.begin(), formats.end(),
                     [](const VideoFormat& format) { return format.width < format.height; });
}

bool SameFormat(const VideoFormat& a, const VideoFormat& b) {
  return a.width == b.width && a.height == b.height && std::fabs(a.framesPerSecond - b.framesPerSecond) <= 0.5f;
}

}  // namespace kavex::format_choice
