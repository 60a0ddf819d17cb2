// The picture a camera shows while no phone streams, as the simulated drivers receive it: where the
// animation and the caption are, the row order and row length of every layout, each camera's pace,
// and the green blank picture. The 640 × 360 pictures are also saved as PNG files for people to
// look at ($KAVEX_TEST_OUTPUT_DIR, else ./test-output).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "kavex_camera_contract.h"
#include "output/animated_image.h"
#include "output/camera_section.h"
#include "output/virtual_camera_output.h"
#include "platform/named_objects.h"
#include "png_writer.h"
#include "simulated_drivers.h"
#include "test_drivers.h"
#include "wait_until.h"

namespace kavex {
namespace {

using simdrivers::SimulatedDriversConfig;
using test_drivers::Drivers;
using Bytes = std::vector<uint8_t>;

constexpr int kSectionIndex = 3;
const char* const kSectionName = kavex_camera::kSectionNames[3];

// Black and the caption's colour in RGB and in limited-range luma.
constexpr int kRgbBlack = 0;
constexpr int kRgbCaption = 250;
constexpr int kLumaBlack = 16;
constexpr int kLumaCaption = 16 + (219 * 250 + 127) / 255;

// A picture as B, G, R bytes, top row first, rows exactly 3 × width apart.
struct Picture {
  int width = 0;
  int rows = 0;
  Bytes bgr;
  const uint8_t* At(int x, int y) const {
    return &bgr[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3];
  }
};

// One brightness value per pixel, top row first: an RGB picture's brightest channel, or luma.
struct Plane {
  int width = 0;
  int rows = 0;
  Bytes values;
  int At(int x, int y) const {
    return values[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
  }
};

// Rows of `rowBytes` bytes, top row first (reversed when they came bottom row first).
Bytes TopRowFirst(const Bytes& bytes, size_t rowBytes, bool bottomRowFirst) {
  if (!bottomRowFirst) return bytes;
  Bytes out(bytes.size());
  const size_t rows = bytes.size() / rowBytes;
  for (size_t row = 0; row < rows; ++row)
    std::memcpy(&out[row * rowBytes], &bytes[(rows - 1 - row) * rowBytes], rowBytes);
  return out;
}

Plane Brightness(const Picture& picture) {
  Plane plane{picture.width, picture.rows, {}};
  for (int y = 0; y < picture.rows; ++y)
    for (int x = 0; x < picture.width; ++x) {
      const uint8_t* p = picture.At(x, y);
      plane.values.push_back(std::max({p[0], p[1], p[2]}));
    }
  return plane;
}

// Limited-range BT.601 luma of a B, G, R pixel.
int Luma(const uint8_t* bgr) { return ((66 * bgr[2] + 129 * bgr[1] + 25 * bgr[0] + 128) >> 8) + 16; }

// Where the animation and the caption belong in a picture of this size.
struct Layout {
  int left, top, right, bottom;  // the animation
  int captionTop, captionBottom;
  bool InAnimation(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

Layout LayoutFor(int width, int rows, const AnimatedImage& animation) {
  const int left = width / 2 - animation.canvasWidth() / 2;
  const int top = rows / 2 - 100;
  return {left, top, left + animation.canvasWidth(), top + animation.canvasHeight(), rows / 2, rows / 2 + 50};
}

// The frame of the animation that the picture shows at the layout's place, compared by `differs`
// (picture x, y, frame pixel), or -1.
template <typename Differs>
int ShownFrame(const Layout& layout, const AnimatedImage& animation, Differs differs) {
  for (size_t k = 0; k < animation.frameCount(); ++k) {
    const AnimationFrame& frame = animation.frame(k);
    bool same = true;
    for (int j = 0; j < frame.height && same; ++j)
      for (int i = 0; i < frame.width && same; ++i)
        same = !differs(layout.left + i, layout.top + j, &frame.pixels[(static_cast<size_t>(j) * frame.width + i) * 4]);
    if (same) return static_cast<int>(k);
  }
  return -1;
}

int ShownFrame(const Picture& picture, const Layout& layout, const AnimatedImage& animation) {
  return ShownFrame(layout, animation,
                    [&](int x, int y, const uint8_t* bgra) { return std::memcmp(picture.At(x, y), bgra, 3) != 0; });
}

// Fast bilinear conversion may shift luma samples by a fraction of a pixel: a sample may lie
// anywhere between its own pixel's luma and a horizontal neighbour's.
int ShownFrame(const Plane& luma, const Layout& layout, const AnimatedImage& animation) {
  return ShownFrame(layout, animation, [&](int x, int y, const uint8_t* bgra) {
    const int own = Luma(bgra);
    const int previous = x > layout.left ? Luma(bgra - 4) : kLumaBlack;
    const int next = x + 1 < layout.right ? Luma(bgra + 4) : kLumaBlack;
    const int value = luma.At(x, y);
    return value < std::min({own, previous, next}) - 2 || value > std::max({own, previous, next}) + 2;
  });
}

// Outside the animation everything is black but one line of text in the caption's colour, at the
// top of the caption's rectangle and centred. The text's edges may blend into black (GDI smooths
// its fonts).
void ExpectCaptionOnBlack(const Plane& plane, const Layout& layout, int black, int caption) {
  int lit = 0, full = 0, stray = 0, left = plane.width, right = -1, top = plane.rows;
  for (int y = 0; y < plane.rows; ++y)
    for (int x = 0; x < plane.width; ++x) {
      if (layout.InAnimation(x, y)) continue;
      const int value = plane.At(x, y);
      if (value == black) continue;
      const bool captionRow = y >= layout.captionTop && y < layout.captionBottom;
      if (!captionRow || value < black || value > caption + 2) {
        if (stray++ == 0) ADD_FAILURE() << "pixel " << value << " at (" << x << ", " << y << ")";
        continue;
      }
      ++lit;
      if (value >= caption - 2) ++full;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
    }
  EXPECT_EQ(stray, 0);
  EXPECT_GE(lit, 60) << "the caption is missing";
  EXPECT_GE(full, 30) << "the caption's colour";
  EXPECT_LE(top - layout.captionTop, 8) << "the caption sits at the top of its rectangle";
  EXPECT_NEAR((left + right) / 2.0, plane.width / 2.0, 6.0) << left << ".." << right;
  EXPECT_GE(right - left, 80) << "21 characters";
}

void ExpectRgbPlaceholder(const Picture& picture, const AnimatedImage& animation) {
  const Layout layout = LayoutFor(picture.width, picture.rows, animation);
  EXPECT_GE(ShownFrame(picture, layout, animation), 0)
      << "no frame of the animation at (" << layout.left << ", " << layout.top << ")";
  ExpectCaptionOnBlack(Brightness(picture), layout, kRgbBlack, kRgbCaption);
}

void ExpectLumaPlaceholder(const Plane& luma, const AnimatedImage& animation) {
  const Layout layout = LayoutFor(luma.width, luma.rows, animation);
  EXPECT_GE(ShownFrame(luma, layout, animation), 0)
      << "no frame of the animation at (" << layout.left << ", " << layout.top << ")";
  ExpectCaptionOnBlack(luma, layout, kLumaBlack, kLumaCaption);
}

std::string OutputFolder() {
  const char* named = std::getenv("KAVEX_TEST_OUTPUT_DIR");
  const std::string folder = named != nullptr && *named != '\0' ? named : "test-output";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return folder;
}

void Save(const Picture& picture, const std::string& name) {
  Bytes rgb(picture.bgr.size());
  for (size_t i = 0; i + 3 <= rgb.size(); i += 3) {
    rgb[i] = picture.bgr[i + 2];
    rgb[i + 1] = picture.bgr[i + 1];
    rgb[i + 2] = picture.bgr[i];
  }
  const std::string path = OutputFolder() + "/" + name;
  EXPECT_TRUE(png_writer::WriteRgb(path, picture.width, picture.rows, rgb.data())) << path;
  std::cout << "saved " << path << "\n";
}

class PlaceholderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Drivers().Config();
    ASSERT_GT(animation_.LoadFromModule(), 0u);
    clock_.SetStep(0.0025);
  }
  void TearDown() override { Drivers().SetConfig(saved_); }

  void ReadCamera(int index, uint32_t width, int32_t height, bool yuy2) {
    Drivers().UpdateConfig([=](SimulatedDriversConfig& c) {
      c.cameras[index].info.consumerActive = 1;
      c.cameras[index].info.width = width;
      c.cameras[index].info.height = height;
      c.cameras[index].info.yuy2 = yuy2 ? 1 : 0;
    });
  }

  // What a control-code camera's driver receives while a consumer reads it at this format.
  Bytes DriverPicture(uint32_t width, int32_t height, bool yuy2, bool blank = false) {
    ReadCamera(0, width, height, yuy2);
    const uint64_t before = Drivers().Camera(0).frames;
    VirtualCameraOutput output(0, nullptr, Drivers(), timing_);
    output.SetBlank(blank);
    EXPECT_EQ(output.Open(), VirtualCameraOutput::kOpened);
    // The third picture: a YUY2 placeholder after the first is converted only where it changed.
    EXPECT_TRUE(Drivers().WaitForFrames(0, before + (blank ? 1 : 3), std::chrono::seconds(10)));
    output.Close();
    return Drivers().LastPicture(0);
  }

  // What a section's consumer finds in the section while demanding this format.
  Bytes SectionPicture(uint32_t width, int32_t height, uint32_t code) {
    using namespace camera_section;
    uint32_t error = 0;
    auto section = platform::SharedSection::CreateOrOpen(kSectionName, kSize, &error);
    if (section == nullptr) {
      ADD_FAILURE() << "no section: " << error;
      return {};
    }
    uint8_t* s = section->data();
    const float fps = 30.0f;
    uint32_t fpsBits;
    std::memcpy(&fpsBits, &fps, 4);
    WriteU32(s, kDemandedWidth, width);
    WriteU32(s, kDemandedHeight, static_cast<uint32_t>(height));
    WriteU32(s, kDemandedCode, code);
    WriteU32(s, kDemandedFps, fpsBits);
    WriteU32(s, kConsumerCount, 1);
    WriteU32(s, kVersion, kLayoutVersion);
    Bytes picture;
    {
      VirtualCameraOutput output(kSectionIndex, nullptr, Drivers());
      EXPECT_EQ(output.Open(), VirtualCameraOutput::kOpened);
      EXPECT_TRUE(output.sectionMode());
      FrameSlot slots[2] = {FrameSlot(s + kSlot0), FrameSlot(s + kSlot1)};
      testkit::WaitUntil([&] { return slots[0].ready() || slots[1].ready(); }, 10000, 5);
      output.Close();  // nothing is written after this
      const bool secondNewer = !slots[0].ready() || slots[1].time() > slots[0].time();
      const int newest = slots[1].ready() && secondNewer ? 1 : 0;
      if (slots[newest].ready()) {
        const uint8_t* data = slots[newest].data();
        picture.assign(data, data + PictureBytes(width, height, code));
      }
    }
    // Later cases of this process must not find camera 3 published.
    WriteU32(s, kConsumerCount, 0);
    WriteU32(s, kVersion, 0);
    EXPECT_FALSE(picture.empty()) << "no picture reached the section";
    return picture;
  }

  AnimatedImage animation_;
  // Placeholder time passes at every reading, so a camera's pace goes by in a fraction of real time.
  FakeClock clock_;
  OutputTiming timing_{&clock_, 1};

 private:
  SimulatedDriversConfig saved_;
};

TEST_F(PlaceholderTest, RgbPicturesShowTheAnimationAboveTheCaption) {
  struct Case {
    uint32_t width;
    int32_t height;  // negative: the driver takes the bottom row first
  };
  // 642: rows of 1,926 bytes, where the canvas pads its own to 1,928.
  for (const Case c : {Case{640, 360}, Case{640, -360}, Case{642, 360}, Case{642, -240}}) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    const int rows = std::abs(c.height);
    const Bytes bytes = DriverPicture(c.width, c.height, false);
    ASSERT_EQ(bytes.size(), 3u * c.width * rows);
    Picture picture{static_cast<int>(c.width), rows, TopRowFirst(bytes, 3 * c.width, c.height < 0)};
    ExpectRgbPlaceholder(picture, animation_);
    if (c.width == 640 && c.height == 360) {
      // The 132 × 86 animation's corner for this size.
      const Layout layout = LayoutFor(640, 360, animation_);
      EXPECT_EQ(layout.left, 254);
      EXPECT_EQ(layout.top, 80);
      Save(picture, "placeholder_640x360.png");
    }
  }
}

TEST_F(PlaceholderTest, Yuy2PicturesAreTheSamePictureTopRowFirst) {
  for (const uint32_t width : {640u, 642u}) {
    SCOPED_TRACE(width);
    const Bytes bytes = DriverPicture(width, 360, true);
    ASSERT_EQ(bytes.size(), 2u * width * 360);
    Plane luma{static_cast<int>(width), 360, {}};
    for (size_t i = 0; i < bytes.size(); i += 2) luma.values.push_back(bytes[i]);
    ExpectLumaPlaceholder(luma, animation_);
    // Black carries neutral colour.
    EXPECT_EQ(bytes[1], 128);
    EXPECT_EQ(bytes[3], 128);
  }
}

TEST_F(PlaceholderTest, SectionDriversGetTheirOwnLayout) {
  // I420: a full-size luma plane, then the two quarter-size chroma planes.
  const Bytes i420 = SectionPicture(640, 360, kPixelI420);
  ASSERT_EQ(i420.size(), 640u * 360u * 3u / 2u);
  const Plane luma{640, 360, Bytes(i420.begin(), i420.begin() + 640 * 360)};
  ExpectLumaPlaceholder(luma, animation_);
  // The top 60 rows are black: neutral chroma in both planes.
  for (const size_t plane : {size_t{640 * 360}, size_t{640 * 360 * 5 / 4}})
    for (size_t i = plane; i < plane + 320 * 30; ++i) ASSERT_EQ(i420[i], 128) << i;

  // ARGB: top row first, or bottom row first for a negative height.
  for (const int32_t height : {360, -360}) {
    SCOPED_TRACE(height);
    const Bytes argb = SectionPicture(640, height, kPixelArgb);
    ASSERT_EQ(argb.size(), 640u * 360u * 4u);
    const Bytes rows = TopRowFirst(argb, 4 * 640, height < 0);
    Picture picture{640, 360, {}};
    for (size_t i = 0; i < rows.size(); i += 4) {
      ASSERT_EQ(rows[i], 255) << "opaque";
      picture.bgr.insert(picture.bgr.end(), {rows[i + 3], rows[i + 2], rows[i + 1]});
    }
    ExpectRgbPlaceholder(picture, animation_);
  }
}

// Every camera gets its own ten pictures a second however many show the placeholder (counted on
// the cameras' clock), and closing does not wait out a camera's pace.
TEST_F(PlaceholderTest, EachCameraGetsTenPicturesASecond) {
  constexpr int kCameras = 4;
  std::unique_ptr<VirtualCameraOutput> outputs[kCameras];
  // Opens the four cameras and waits for each one's first picture; before[]: the pictures so far.
  uint64_t before[kCameras];
  auto openAll = [&](const OutputTiming& timing) {
    for (int index = 0; index < kCameras; ++index) {
      ReadCamera(index, 160, 120, false);
      before[index] = Drivers().Camera(index).frames;
      outputs[index] = std::make_unique<VirtualCameraOutput>(index, nullptr, Drivers(), timing);
      ASSERT_EQ(outputs[index]->Open(), VirtualCameraOutput::kOpened);
    }
    for (int index = 0; index < kCameras; ++index)
      ASSERT_TRUE(Drivers().WaitForFrames(index, ++before[index], std::chrono::seconds(10)));
  };
  openAll(timing_);
  // Counted from here: pictures the first cameras drew while the last ones opened are not.
  for (int index = 0; index < kCameras; ++index) before[index] = Drivers().Camera(index).frames;
  const double began = clock_.Peek();
  auto picturesSince = [&](int index) { return Drivers().Camera(index).frames - before[index]; };
  EXPECT_TRUE(testkit::WaitUntil(
      [&] {
        for (int index = 0; index < kCameras; ++index)
          if (picturesSince(index) < 20) return false;
        return true;
      },
      30000, 5));
  uint64_t pictures[kCameras];
  for (int index = 0; index < kCameras; ++index) pictures[index] = picturesSince(index);
  const double seconds = clock_.Peek() - began;
  for (auto& output : outputs) output->Close();
  for (int index = 0; index < kCameras; ++index) {
    const double rate = static_cast<double>(pictures[index]) / seconds;
    EXPECT_GE(rate, 8.0) << index << ": " << pictures[index] << " in " << seconds << " s";
    EXPECT_LE(rate, 12.0) << index << ": " << pictures[index] << " in " << seconds << " s";
  }

  // On a clock that stands still, the pause each camera starts after its second picture never ends
  // by itself: the feeders sit in real waits of up to 100 ms, and closing must cut them short.
  FakeClock still;
  openAll(OutputTiming{&still, 0});
  // Moved on in small steps: past the tick's own pause, not as far as the camera's next picture.
  ASSERT_TRUE(testkit::WaitUntil(
      [&] {
        for (int index = 0; index < kCameras; ++index)
          if (picturesSince(index) < 1) {
            still.Advance(0.002);
            return false;
          }
        return true;
      },
      10000, 2));
  const auto closing = std::chrono::steady_clock::now();
  for (auto& output : outputs) output->Close();
  const double closeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - closing).count();
  EXPECT_LT(closeSeconds, 0.15);
}

TEST_F(PlaceholderTest, BlankPicturesAreWholePicturesOfGreen) {
  const Bytes rgb = DriverPicture(640, 360, false, true);
  Bytes expected;
  for (int i = 0; i < 640 * 360; ++i) expected.insert(expected.end(), {0x00, 0xB1, 0x40});
  EXPECT_EQ(rgb, expected);
  if (rgb.size() == expected.size()) Save(Picture{640, 360, rgb}, "blank_640x360.png");

  const Bytes yuy2 = DriverPicture(640, 360, true, true);
  expected.clear();
  for (int i = 0; i < 640 * 360 / 2; ++i) expected.insert(expected.end(), {0x6F, 0x65, 0x6F, 0x30});
  EXPECT_EQ(yuy2, expected);
}

}  // namespace
}  // namespace kavex
