// Which of the phone's formats serves the camera's consumer, and what the host is offered.
#include <gtest/gtest.h>

#include "media/format_choice.h"

namespace kavex {
namespace {

using format_choice::Choose;
using format_choice::Demand;
using format_choice::SortedPhoneFormats;

bool Same(const VideoFormat& a, uint32_t width, uint32_t height, float fps) {
  return a.width == width && a.height == height && a.framesPerSecond == fps;
}

TEST(FormatChoice, PicksTheFirstLargeEnoughAtTheAspectElseTheLargest) {
  const auto formats = SortedPhoneFormats({{1920, 1080, 30}, {1280, 720, 30}, {640, 480, 30}});
  ASSERT_TRUE(Same(formats[0], 640, 480, 30));
  ASSERT_TRUE(Same(formats[2], 1920, 1080, 30));

  Demand idle;  // nobody reads the camera, the host does not show it: 640 × 360
  EXPECT_TRUE(Same(Choose(formats, idle), 1280, 720, 30));

  Demand shown;
  shown.instanceActive = true;  // 1280 × 720
  EXPECT_TRUE(Same(Choose(formats, shown), 1280, 720, 30));

  Demand huge;  // a consumer asking for 3840 × 2160: nothing is large enough
  huge.consumerActive = true;
  huge.outputWidth = 3840;
  huge.outputHeight = -2160;  // a bottom-up picture asks for the same size
  EXPECT_TRUE(Same(Choose(formats, huge), 1920, 1080, 30));

  Demand preset;  // 1280 × 960 (4:3): only 640 × 480 has the aspect
  preset.choice = 5;
  preset.instanceActive = true;
  EXPECT_TRUE(Same(Choose(formats, preset), 640, 480, 30));

  Demand outOfRange;  // an unknown choice is automatic
  outOfRange.choice = 11;
  EXPECT_TRUE(Same(Choose(formats, outOfRange), 1280, 720, 30));
}

TEST(FormatChoice, RefinesTheRateAndFallsBackTo640x480) {
  const auto rates = SortedPhoneFormats({{1280, 720, 30}, {1280, 720, 60}});
  Demand sixty;
  sixty.outputFps = 60.0f;
  EXPECT_TRUE(Same(Choose(rates, sixty), 1280, 720, 60));
  Demand thirty;
  EXPECT_TRUE(Same(Choose(rates, thirty), 1280, 720, 30));

  // Portrait only against a landscape demand: no tolerance reaches 0.5625 from 1.778.
  const auto portrait = SortedPhoneFormats({{720, 1280, 30}});
  EXPECT_TRUE(Same(Choose(portrait, Demand{}), 640, 480, 30));
  // ... but a portrait preset finds it.
  Demand upright;
  upright.choice = 9;
  EXPECT_TRUE(Same(Choose(portrait, upright), 720, 1280, 30));

  // No formats listed: the default entry; a zero height never divides.
  EXPECT_TRUE(Same(Choose(SortedPhoneFormats({}), Demand{}), 640, 480, 30));
  const auto odd = SortedPhoneFormats({{1280, 0, 30}, {640, 360, 25}});
  EXPECT_TRUE(Same(Choose(odd, Demand{}), 640, 360, 25));
  Demand noHeight;
  noHeight.consumerActive = true;
  noHeight.outputWidth = 640;
  noHeight.outputHeight = 0;  // aspect 1.33
  EXPECT_TRUE(Same(Choose(SortedPhoneFormats({{640, 480, 30}, {1280, 720, 30}}), noHeight), 640, 480, 30));
}

TEST(FormatChoice, SortKeepsThePhonesOrderForEqualSizesAndTheTextOffersPortraitOnRequest) {
  const auto formats = SortedPhoneFormats({{1280, 720, 60}, {640, 480, 30}, {720, 1280, 30}, {1280, 720, 30}});
  EXPECT_TRUE(Same(formats[1], 1280, 720, 60));
  EXPECT_TRUE(Same(formats[2], 720, 1280, 30));
  EXPECT_TRUE(Same(formats[3], 1280, 720, 30));
  EXPECT_TRUE(format_choice::ListsPortrait(formats));
  EXPECT_FALSE(format_choice::ListsPortrait(SortedPhoneFormats({{640, 480, 30}})));
  EXPECT_EQ(format_choice::ChoiceText(false),
            "Automatic/640 x 360/640 x 480/960 x 540/1280 x 720/1280 x 960/1920 x 1080/2560 x 1440/3840 x 2160");
  EXPECT_EQ(format_choice::ChoiceText(true),
            "Automatic/640 x 360/640 x 480/960 x 540/1280 x 720/1280 x 960/1920 x 1080/2560 x 1440/3840 x 2160"
            "/720 x 1280/1080 x 1920");
}

}  // namespace
}  // namespace kavex
