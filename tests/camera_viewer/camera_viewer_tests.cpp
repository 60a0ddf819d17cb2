// The camera viewer's own reading of the picture layouts, its command line, its picture counts and
// its snapshots. What it shows of the engine's pictures is only as right as this reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "picture_stats.h"
#include "picture_to_rgb.h"
#include "snapshots.h"
#include "viewer_options.h"

namespace camera_viewer {
namespace {

using Rgb = std::vector<uint8_t>;

// The pixel at (x, y) of a converted picture.
Rgb At(const Rgb& rgb, uint32_t width, uint32_t x, uint32_t y) {
  const size_t at = (static_cast<size_t>(y) * width + x) * 3;
  return {rgb[at], rgb[at + 1], rgb[at + 2]};
}

// Within the rounding of an 8-bit BT.601 round trip.
void ExpectNear(const Rgb& actual, const Rgb& expected, const char* what) {
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(actual[c], expected[c], 3) << what << " channel " << c;
}

// Studio-swing BT.601 values of a few colours.
struct Yuv {
  uint8_t y, u, v;
};
constexpr Yuv kWhite{235, 128, 128};
constexpr Yuv kBlack{16, 128, 128};
constexpr Yuv kRed{81, 90, 240};
constexpr Yuv kBlue{41, 240, 110};
const Rgb kWhiteRgb{255, 255, 255}, kBlackRgb{0, 0, 0}, kRedRgb{255, 0, 0}, kBlueRgb{0, 0, 255};

TEST(PictureToRgb, Yuy2PairsShareChromaAndKeepTheirOwnLuma) {
  // 4 × 2: a white/black pair, a red pair; second row the other way round.
  const std::vector<uint8_t> picture = {
      kWhite.y, kWhite.u, kBlack.y, kWhite.v, kRed.y,   kRed.u,   kRed.y,   kRed.v,
      kRed.y,   kRed.u,   kRed.y,   kRed.v,   kBlack.y, kBlack.u, kWhite.y, kBlack.v,
  };
  Rgb rgb;
  ASSERT_TRUE(ToRgb({4, 2, kYuy2}, picture.data(), picture.size(), &rgb));
  ASSERT_EQ(rgb.size(), 4u * 2 * 3);
  ExpectNear(At(rgb, 4, 0, 0), kWhiteRgb, "Y0");
  ExpectNear(At(rgb, 4, 1, 0), kBlackRgb, "Y1");
  ExpectNear(At(rgb, 4, 2, 0), kRedRgb, "red");
  ExpectNear(At(rgb, 4, 0, 1), kRedRgb, "second row");
  ExpectNear(At(rgb, 4, 3, 1), kWhiteRgb, "last pixel");
}

TEST(PictureToRgb, I420ReadsEachPlaneAtItsOffset) {
  // 4 × 4: chroma blocks red, blue / white, black; luma per block to match.
  const Yuv blocks[2][2] = {{kRed, kBlue}, {kWhite, kBlack}};
  std::vector<uint8_t> picture(4 * 4 * 3 / 2);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) picture[y * 4 + x] = blocks[y / 2][x / 2].y;
  for (int by = 0; by < 2; ++by)
    for (int bx = 0; bx < 2; ++bx) {
      picture[16 + by * 2 + bx] = blocks[by][bx].u;  // U plane at width × height
      picture[20 + by * 2 + bx] = blocks[by][bx].v;  // V plane at 5/4 of it
    }
  Rgb rgb;
  ASSERT_TRUE(ToRgb({4, 4, kI420}, picture.data(), picture.size(), &rgb));
  ExpectNear(At(rgb, 4, 1, 1), kRedRgb, "top left");
  ExpectNear(At(rgb, 4, 2, 0), kBlueRgb, "top right");
  ExpectNear(At(rgb, 4, 0, 3), kWhiteRgb, "bottom left");
  ExpectNear(At(rgb, 4, 3, 2), kBlackRgb, "bottom right");
}

TEST(PictureToRgb, Rgb24IsBgrAndANegativeHeightIsBottomRowFirst) {
  // Stored rows: first (1,2,3)(4,5,6), then (7,8,9)(10,11,12), as B, G, R.
  const std::vector<uint8_t> picture = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  Rgb rgb;
  ASSERT_TRUE(ToRgb({2, 2, kRgb24}, picture.data(), picture.size(), &rgb));
  EXPECT_EQ(At(rgb, 2, 0, 0), (Rgb{3, 2, 1}));
  EXPECT_EQ(At(rgb, 2, 1, 1), (Rgb{12, 11, 10}));
  ASSERT_TRUE(ToRgb({2, -2, kRgb24}, picture.data(), picture.size(), &rgb));
  EXPECT_EQ(At(rgb, 2, 0, 0), (Rgb{9, 8, 7})) << "the last stored row is the top";
  EXPECT_EQ(At(rgb, 2, 1, 1), (Rgb{6, 5, 4}));
}

TEST(PictureToRgb, ArgbSkipsAlphaAndHonoursRowOrder) {
  const std::vector<uint8_t> picture = {0xFF, 10, 20, 30, 0x00, 40, 50, 60};  // one column, two rows
  Rgb rgb;
  ASSERT_TRUE(ToRgb({1, 2, kArgb}, picture.data(), picture.size(), &rgb));
  EXPECT_EQ(rgb, (Rgb{10, 20, 30, 40, 50, 60}));
  ASSERT_TRUE(ToRgb({1, -2, kArgb}, picture.data(), picture.size(), &rgb));
  EXPECT_EQ(rgb, (Rgb{40, 50, 60, 10, 20, 30}));
}

TEST(PictureToRgb, RefusesShortPicturesAndUnknownLayouts) {
  const std::vector<uint8_t> picture(4 * 2 * 2 - 1);
  Rgb rgb = {7};
  EXPECT_FALSE(ToRgb({4, 2, kYuy2}, picture.data(), picture.size(), &rgb));
  EXPECT_FALSE(ToRgb({4, 2, 4}, picture.data(), picture.size(), &rgb));
  EXPECT_EQ(rgb, (Rgb{7})) << "left as it was";
  EXPECT_EQ(PictureBytes({3840, 2160, kYuy2}), 16588800u);
  EXPECT_EQ(PictureBytes({640, -480, kArgb}), 1228800u);
}

std::string Parse(std::vector<const char*> args, ViewerOptions* options) {
  args.insert(args.begin(), "camera-viewer.exe");
  return ParseOptions(static_cast<int>(args.size()), args.data(), options);
}

TEST(ViewerOptions, ReadsEveryOption) {
  ViewerOptions options;
  ASSERT_EQ(Parse({"--camera", "2", "--size", "640x-480", "--code", "0", "--fps", "15", "--duration", "12.5",
                   "--snapshot-at", "1,4.5:before,9:live-1", "--snapshot-dir", "Z:/tmp/out", "--snapshot-prefix", "cam",
                   "--stats-file", "stats.txt"},
                  &options),
            "");
  EXPECT_EQ(options.camera, 2);
  EXPECT_EQ(options.layout.width, 640u);
  EXPECT_EQ(options.layout.height, -480);
  EXPECT_EQ(options.layout.code, 0u);
  EXPECT_FLOAT_EQ(options.fps, 15.0f);
  EXPECT_DOUBLE_EQ(options.duration, 12.5);
  ASSERT_EQ(options.snapshots.size(), 3u);
  EXPECT_DOUBLE_EQ(options.snapshots[0].at, 1.0);
  EXPECT_EQ(options.snapshots[0].name, "");
  EXPECT_DOUBLE_EQ(options.snapshots[1].at, 4.5);
  EXPECT_EQ(options.snapshots[1].name, "before");
  EXPECT_EQ(options.snapshots[2].name, "live-1");
  EXPECT_EQ(options.snapshotDir, "Z:/tmp/out");
  EXPECT_EQ(options.snapshotPrefix, "cam");
  EXPECT_EQ(options.statsFile, "stats.txt");
}

TEST(ViewerOptions, RefusesWhatNoCameraCouldDeliver) {
  const std::vector<std::vector<const char*>> bad = {
      {"--camera", "4"},
      {"--size", "0x720"},
      {"--size", "1280x0"},
      {"--size", "1280"},
      {"--code", "4"},
      {"--fps", "0"},
      {"--duration", "-1"},
      {"--size", "1279x720", "--code", "1"},   // YUY2 pairs pixels
      {"--size", "640x481", "--code", "2"},    // I420 shares chroma by rows too
      {"--size", "640x-480", "--code", "1"},   // bottom row first is RGB24 and ARGB only
      {"--size", "3840x2160", "--code", "3"},  // more than a frame slot holds
      {"--snapshot-at", "1,"},
      {"--snapshot-at", "2:../escape"},
      {"--snapshot-prefix", "a/b"},
      {"--unknown", "1"},
      {"--camera"},
  };
  for (const auto& args : bad) {
    ViewerOptions options;
    EXPECT_NE(Parse(args, &options), "") << args[0] << " " << (args.size() > 1 ? args[1] : "");
  }
  ViewerOptions largest;
  EXPECT_EQ(Parse({"--size", "3840x2160", "--code", "1"}, &largest), "") << "4K YUY2 fits a slot";
}

// A stream of pictures at 30 a second, as the phone's timestamps run.
void AddStream(PictureStats& stats, float first, int count, std::initializer_list<int> skipped = {}) {
  for (int i = 0; i < count; ++i) {
    if (std::find(skipped.begin(), skipped.end(), i) != skipped.end()) continue;
    stats.Add(first + static_cast<float>(i) / 30.0f, false);
  }
}

TEST(PictureStats, CountsGapsInOneStreamAsMissedPictures) {
  PictureStats stats;
  AddStream(stats, 0.5f, 40, {20, 30, 31});
  const PictureCounts counts = stats.EndSecond(1.0);
  EXPECT_EQ(counts.pictures, 37u);
  EXPECT_EQ(counts.distinct, 37u);
  EXPECT_EQ(counts.missed, 3u);
  EXPECT_DOUBLE_EQ(counts.PerSecond(), 37.0);
}

TEST(PictureStats, ANewClockOrASlowerPaceIsNoLoss) {
  PictureStats stats;
  // The placeholder, ten a second on the engine's clock, then the phone's stream from 0, then the
  // placeholder again on the engine's clock: no gaps.
  for (int i = 0; i < 20; ++i) stats.Add(12.0f + 0.1f * static_cast<float>(i), false);
  AddStream(stats, 0.2f, 30);
  for (int i = 0; i < 20; ++i) stats.Add(25.0f + 0.1f * static_cast<float>(i), false);
  // The same picture taken twice counts once among the distinct times.
  stats.Add(25.0f + 0.1f * static_cast<float>(19), false);
  const PictureCounts total = stats.Total(7.0);
  EXPECT_EQ(total.missed, 0u);
  EXPECT_EQ(total.pictures, 71u);
  EXPECT_EQ(total.distinct, 70u);
}

TEST(PictureStats, PhasesSplitTheCountsAndSecondsStartAfresh) {
  PictureStats stats;
  AddStream(stats, 0.0f, 10);
  stats.Add(0.5f, true);
  EXPECT_EQ(stats.EndSecond(1.0).overwritten, 1u);
  stats.BeginPhase("live", 1.5);
  AddStream(stats, 3.0f, 60);
  EXPECT_EQ(stats.EndSecond(2.0).pictures, 60u);
  const std::vector<PhaseCounts> phases = stats.Phases(3.5);
  ASSERT_EQ(phases.size(), 2u);
  EXPECT_EQ(phases[0].name, "start");
  EXPECT_EQ(phases[0].counts.pictures, 11u);
  EXPECT_DOUBLE_EQ(phases[0].counts.seconds, 1.5);
  EXPECT_EQ(phases[1].name, "live");
  EXPECT_EQ(phases[1].counts.pictures, 60u);
  EXPECT_DOUBLE_EQ(phases[1].counts.PerSecond(), 30.0);
  EXPECT_EQ(stats.Total(3.5).pictures, 71u);
}

TEST(Snapshots, WritesEachDueSnapshotOnceAsAPng) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "camera-viewer-test";
  std::filesystem::remove_all(dir);
  Snapshots snapshots({{1.0, "before"}, {5.0, ""}}, dir.string(), "cam");
  const Rgb rgb(2 * 2 * 3, 0x80);
  EXPECT_FALSE(snapshots.AnyDue(0.5));
  EXPECT_EQ(snapshots.WriteDue(1.2, 2, 2, rgb, 0.1f).size(), 1u);
  EXPECT_TRUE(snapshots.WriteDue(1.3, 2, 2, rgb, 0.2f).empty()) << "only once";
  snapshots.RequestNow("", 2.0);
  snapshots.RequestNow("now", 2.0);
  EXPECT_EQ(snapshots.WriteDue(2.0, 2, 2, rgb, 0.3f).size(), 2u);
  EXPECT_EQ(snapshots.written(), 3u);
  EXPECT_EQ(snapshots.Pending(), std::vector<std::string>{"cam-1"}) << "the 5 s one never came";

  for (const char* name : {"before.png", "cam-2.png", "now.png"}) {
    std::ifstream file(dir / name, std::ios::binary);
    char signature[8] = {};
    file.read(signature, 8);
    EXPECT_EQ(std::string(signature + 1, 3), "PNG") << name;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace camera_viewer
