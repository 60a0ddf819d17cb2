// The engine's end of the virtual camera and microphone against the simulated drivers: which
// devices it needs, the open results and error records, both camera modes, the order of closing,
// the frame slots, the consumer's demands and the driver's control changes.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "common/error_log.h"
#include "fake_clock.h"
#include "kavex_camera_contract.h"
#include "output/camera_section.h"
#include "output/camera_signals.h"
#include "output/device_paths.h"
#include "output/section_channel.h"
#include "output/virtual_camera_output.h"
#include "platform/named_objects.h"
#include "settings_fixture.h"
#include "simulated_drivers.h"
#include "test_drivers.h"
#include "wait_until.h"

namespace kavex {
namespace {

using simdrivers::CameraDevice;
using simdrivers::MicrophoneDevice;
using simdrivers::SimulatedDrivers;
using simdrivers::SimulatedDriversConfig;

using kavex_camera::kSectionNames;
// Camera 1's mutex and event, camera 2's event.
const char* const kMutexName1 = kavex_camera::kMutexNames[1];
const char* const kEventName1 = kavex_camera::kEventNames[1];
const char* const kEventName2 = kavex_camera::kEventNames[2];

// A decoded picture of one flat colour (luma `fill`, neutral chroma).
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
std::unique_ptr<AVFrame, FrameDeleter> Picture(int width, int height, uint8_t fill) {
  std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
  for (int y = 0; y < height; ++y) std::memset(frame->data[0] + y * frame->linesize[0], fill, width);
  for (int plane = 1; plane < 3; ++plane)
    for (int y = 0; y < height / 2; ++y) std::memset(frame->data[plane] + y * frame->linesize[plane], 128, width / 2);
  return frame;
}

// The controls the feeder thread reports, read by the test thread.
class RecordingControls : public OutputControlListener {
 public:
  void OnControlValue(uint32_t value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.push_back(value);
  }
  void OnControlFlag(bool flag) override {
    std::lock_guard<std::mutex> lock(mutex_);
    flags_.push_back(flag);
  }
  std::vector<uint32_t> values() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }
  std::vector<bool> flags() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flags_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<uint32_t> values_;
  std::vector<bool> flags_;
};

using test_drivers::QuietConfig;

std::string StoredError() { return ErrorLog::TakeStoredEntry().text; }

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_fixture::DeleteErrorValue();
    clock.SetStep(0.005);
  }
  void TearDown() override {
    settings_fixture::DeleteErrorValue();
    // Later tests of this process find the program's drivers' devices again.
    device_paths::Scan(test_drivers::Drivers());
  }

  // The driver side of a section: version, consumer count and demanded format, as a camera's
  // consumer publishes them.
  std::unique_ptr<platform::SharedSection> PublishSection(int index, uint32_t version) {
    uint32_t error = 0;
    auto section = platform::SharedSection::CreateOrOpen(kSectionNames[index], camera_section::kSize, &error);
    EXPECT_NE(section, nullptr) << error;
    if (section != nullptr) camera_section::WriteU32(section->data(), camera_section::kVersion, version);
    return section;
  }

  // Feeder time on a clock that steps at every reading: it passes only while the feeder runs, and
  // fast, so that a test sees many ticks go by in a few milliseconds.
  bool FeederTimePasses(double seconds) {
    const double until = clock.Peek() + seconds;
    return testkit::WaitUntil([&] { return clock.Peek() >= until; }, 10000, 1);
  }

  RecordingControls controls;
  FakeClock clock;
  OutputTiming timing{&clock, 1};  // for the outputs whose feeder time a test lets pass
};

TEST_F(OutputTest, OpenResultsFollowTheDevicesPresent) {
  struct Case {
    const char* what;
    int index;
    void (*configure)(SimulatedDriversConfig&);
    int expected;
    const char* record;
  };
  const Case cases[] = {
      {"no microphone, camera present", 0, [](SimulatedDriversConfig& c) { c.microphones[0].device.present = false; },
       VirtualCameraOutput::kMicrophoneMissing, "we:s.C0E2D0:318"},
      {"microphone cannot be opened", 1,
       [](SimulatedDriversConfig& c) {
         c.microphones[1].device.openFails = true;
         c.microphones[1].device.openError = 5;
       },
       VirtualCameraOutput::kMicrophoneMissing, "we:s.C1E5D0:318"},
      {"microphone query fails", 0, [](SimulatedDriversConfig& c) { c.microphones[0].queryFails = true; },
       VirtualCameraOutput::kMicrophoneQueryFailed, "we:s:328"},
      {"no camera without a section", 2, [](SimulatedDriversConfig& c) { c.cameras[2].device.present = false; },
       VirtualCameraOutput::kCameraMissing, "we:s.C2E2D0:354"},
      {"camera query fails", 0, [](SimulatedDriversConfig& c) { c.cameras[0].queryFails = true; },
       VirtualCameraOutput::kCameraQueryFailed, "we:s:365"},
      {"camera driver version 1", 0, [](SimulatedDriversConfig& c) { c.cameras[0].info.version = 1; },
       VirtualCameraOutput::kCameraDriverTooOld, "we:s:371"},
      {"camera driver version 3", 0, [](SimulatedDriversConfig& c) { c.cameras[0].info.version = 3; },
       VirtualCameraOutput::kDriverNotReady, "we:s:387"},
      {"microphone not ready", 0, [](SimulatedDriversConfig& c) { c.microphones[0].status = 0; },
       VirtualCameraOutput::kDriverNotReady, "we:s:387"},
      {"everything present", 3, [](SimulatedDriversConfig&) {}, VirtualCameraOutput::kOpened, ""},
      {"version 2", 1, [](SimulatedDriversConfig& c) { c.cameras[1].info.version = 2; }, VirtualCameraOutput::kOpened,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    settings_fixture::DeleteErrorValue();
    SimulatedDriversConfig config = QuietConfig();
    c.configure(config);
    SimulatedDrivers drivers(config);
    // The device tables come from instance 0's scan, which the other instances rely on.
    device_paths::Scan(drivers);
    {
      VirtualCameraOutput output(c.index, &controls, drivers);
      EXPECT_EQ(output.Open(), c.expected);
      EXPECT_EQ(StoredError(), c.record);
      EXPECT_EQ(output.feederRunning(), c.expected == VirtualCameraOutput::kOpened);
    }
    // Whatever was opened is closed again, whether or not the open went through.
    EXPECT_EQ(drivers.Microphone(c.index).device.openHandles, 0);
    EXPECT_EQ(drivers.Camera(c.index).device.openHandles, 0);
  }
}

TEST_F(OutputTest, ScanFailuresShowInTheDeviceTag) {
  SimulatedDriversConfig config = QuietConfig();
  config.scan = platform::CaptureScanResult::kCategoryFailed;
  SimulatedDrivers drivers(config);
  {
    VirtualCameraOutput output(0, &controls, drivers);
    EXPECT_EQ(output.Open(), VirtualCameraOutput::kMicrophoneMissing);
  }
  EXPECT_EQ(device_paths::LastScanStatus(), device_paths::kNoCaptureDevices);
  const std::string record = StoredError();
  EXPECT_EQ(record.substr(0, 6), "we:s.C");
  EXPECT_EQ(record.substr(record.size() - 6), "D2:318") << record;

  settings_fixture::DeleteErrorValue();
  drivers.UpdateConfig([](SimulatedDriversConfig& c) { c.scan = platform::CaptureScanResult::kEnumeratorFailed; });
  {
    VirtualCameraOutput output(0, &controls, drivers);
    EXPECT_EQ(output.Open(), VirtualCameraOutput::kMicrophoneMissing);
  }
  EXPECT_EQ(device_paths::LastScanStatus(), device_paths::kEnumeratorFailed);
  const std::string second = StoredError();
  EXPECT_EQ(second.substr(second.size() - 6), "D1:318") << second;

  // A path too long for the tables is refused, not cut into another device's path; a later scan
  // that finds the devices again clears the old status.
  drivers.UpdateConfig([](SimulatedDriversConfig& c) {
    c.scan = platform::CaptureScanResult::kScanned;
    c.microphones[0].device.path = simdrivers::OverlongPath(MicrophoneDevice(0));
  });
  device_paths::Scan(drivers);
  EXPECT_EQ(device_paths::LastScanStatus(), device_paths::kScanOk);
  EXPECT_TRUE(device_paths::MicrophonePath(0).empty());
  EXPECT_FALSE(device_paths::CameraPath(0).empty());
}

TEST_F(OutputTest, ControlCodeModeTakesTheCamerasFormat) {
  SimulatedDriversConfig config = QuietConfig();
  config.cameras[0].info.width = 0;  // nothing demanded: 640 × 360
  config.cameras[0].info.height = 480;
  config.cameras[0].info.yuy2 = 0;
  config.cameras[0].info.frameDuration = 333333;
  config.cameras[1].info.width = 1280;
  config.cameras[1].info.height = 720;
  config.cameras[1].info.yuy2 = 1;
  config.cameras[1].info.frameDuration = 0;
  SimulatedDrivers drivers(config);
  device_paths::Scan(drivers);

  VirtualCameraOutput first(0, &controls, drivers, timing);
  ASSERT_EQ(first.Open(), 0);
  EXPECT_FALSE(first.sectionMode());
  OutputFormat format = first.format();
  EXPECT_EQ(format.width, 640u);
  EXPECT_EQ(format.height, 360);
  EXPECT_EQ(format.code, kPixelRgb24);
  EXPECT_NEAR(format.fps, 10000000.0 / 333333.0, 1e-4);
  EXPECT_NE(format.fps, 30.0f);

  VirtualCameraOutput second(1, &controls, drivers);
  ASSERT_EQ(second.Open(), 0);
  format = second.format();
  EXPECT_EQ(format.width, 1280u);
  EXPECT_EQ(format.height, 720);
  EXPECT_EQ(format.code, kPixelYuy2);
  EXPECT_EQ(format.fps, 30.0f);

  // Nobody reads the camera: the feeder only asks, and no picture is written.
  const uint64_t asked = drivers.Camera(0).device.queries;
  EXPECT_TRUE(testkit::WaitUntil([&] { return drivers.Camera(0).device.queries >= asked + 3; }, 10000, 1));
  EXPECT_EQ(drivers.Camera(0).frames, 0u);
  EXPECT_FALSE(first.ConsumerActive());
  drivers.UpdateConfig([](SimulatedDriversConfig& c) { c.cameras[0].info.consumerActive = 1; });
  EXPECT_TRUE(first.ConsumerActive());
}

TEST_F(OutputTest, ClosingDetachesBeforeClosingAndClearsTheSectionByte) {
  SimulatedDrivers drivers(QuietConfig());
  device_paths::Scan(drivers);
  {
    VirtualCameraOutput output(2, &controls, drivers);
    ASSERT_EQ(output.Open(), 0);
    output.Close();
    output.Close();  // twice is harmless
  }
  EXPECT_EQ(drivers.DescribeEvents(MicrophoneDevice(2)), "open attach query detach close");
  const std::string camera = drivers.DescribeEvents(CameraDevice(2));
  EXPECT_EQ(camera.substr(0, 17), "open attach query") << camera;
  EXPECT_EQ(camera.substr(camera.size() - 13), " detach close") << camera;
  EXPECT_EQ(drivers.Camera(2).device.attachIndex, 2);
  EXPECT_EQ(drivers.Microphone(2).device.attachIndex, 2);
}

TEST_F(OutputTest, SectionModeUsesThePublishedSection) {
  SimulatedDriversConfig config = QuietConfig();
  config.cameras[3].device.present = false;  // section mode needs no camera device
  SimulatedDrivers drivers(config);
  device_paths::Scan(drivers);
  auto section = PublishSection(3, camera_section::kLayoutVersion);
  ASSERT_NE(section, nullptr);
  uint8_t* s = section->data();
  camera_section::WriteU32(s, camera_section::kDemandedWidth, 1280);
  camera_section::WriteU32(s, camera_section::kDemandedHeight, 720);
  camera_section::WriteU32(s, camera_section::kDemandedCode, kPixelI420);
  const float fps = 60.0f;
  uint32_t bits;
  std::memcpy(&bits, &fps, 4);
  camera_section::WriteU32(s, camera_section::kDemandedFps, bits);
  // Leftovers of an earlier session in the slots are wiped at open.
  std::memset(s + camera_section::kSlot0, 0x5A, 64);
  std::memset(s + camera_section::kSlot1 + FrameSlot::kReadyOffset, 1, 1);
  {
    VirtualCameraOutput output(3, &controls, drivers);
    ASSERT_EQ(output.Open(), 0);
    EXPECT_TRUE(output.sectionMode());
    EXPECT_EQ(s[camera_section::kEngineAttached], 1);
    EXPECT_EQ(s[camera_section::kSlot0], 0);
    EXPECT_EQ(s[camera_section::kSlot1 + FrameSlot::kReadyOffset], 0);
    const OutputFormat format = output.format();
    EXPECT_EQ(format.width, 1280u);
    EXPECT_EQ(format.height, 720);
    EXPECT_EQ(format.code, kPixelI420);
    EXPECT_EQ(format.fps, 60.0f);

    // Consumer count decides whether anyone reads.
    EXPECT_FALSE(output.ConsumerActive());
    camera_section::WriteU32(s, camera_section::kConsumerCount, 1);
    EXPECT_TRUE(output.ConsumerActive());
    camera_section::WriteU32(s, camera_section::kConsumerCount, 0);

    // The format table holds at most two rows: width, height, fps × 1000, 0.
    camera_section::WriteU32(s, camera_section::kFormatTableCapacity, 4);
    EXPECT_EQ(output.FormatTableCapacity(), 4u);
    ASSERT_TRUE(output.WriteFormatTable({{1920, 1080, 30.0f}, {1920, 1080, 60.06f}, {1, 1, 1.0f}}));
    EXPECT_EQ(camera_section::ReadU32(s, camera_section::kFormatTableCount), 2u);
    const size_t row = camera_section::kFormatTableRows + camera_section::kFormatTableRowBytes;
    EXPECT_EQ(camera_section::ReadU32(s, row), 1920u);
    EXPECT_EQ(camera_section::ReadU32(s, row + 4), 1080u);
    EXPECT_EQ(camera_section::ReadU32(s, row + 8), 60060u);
    EXPECT_EQ(camera_section::ReadU32(s, row + 12), 0u);
    ASSERT_TRUE(output.WriteFormatTable({}));
    EXPECT_EQ(camera_section::ReadU32(s, camera_section::kFormatTableCount), 0u);
  }
  EXPECT_EQ(s[camera_section::kEngineAttached], 0);
  EXPECT_EQ(drivers.Camera(3).device.opens, 0u);

  // A section of another layout is not used: the camera is then reached by control codes, and
  // without the camera device the open fails.
  camera_section::WriteU32(s, camera_section::kVersion, 5);
  VirtualCameraOutput output(3, &controls, drivers);
  EXPECT_EQ(output.Open(), VirtualCameraOutput::kCameraMissing);
  EXPECT_FALSE(output.sectionMode());
  EXPECT_EQ(s[camera_section::kEngineAttached], 0);
}

TEST_F(OutputTest, SectionModeNeedsAReadyMicrophone) {
  SimulatedDriversConfig config = QuietConfig();
  config.microphones[2].status = 7;
  SimulatedDrivers drivers(config);
  device_paths::Scan(drivers);
  auto section = PublishSection(2, camera_section::kLayoutVersion);
  VirtualCameraOutput output(2, &controls, drivers);
  EXPECT_EQ(output.Open(), VirtualCameraOutput::kDriverNotReady);
  EXPECT_EQ(StoredError(), "we:s:347");
  // Without a demand the section gets the default format.
  EXPECT_EQ(output.format().width, 640u);
  EXPECT_EQ(output.format().height, 360);
  EXPECT_EQ(output.format().code, kPixelYuy2);
}

TEST_F(OutputTest, ClearingWritesBlackOfTheCurrentLayout) {
  SimulatedDrivers drivers(QuietConfig());
  device_paths::Scan(drivers);
  VirtualCameraOutput output(1, &controls, drivers);
  ASSERT_EQ(output.Open(), 0);
  FrameSlot slot = output.localSlot(1);
  std::memset(slot.data(), 0x11, 64);
  slot.SetLength(99);
  slot.SetTime(2.5f);
  slot.SetReady(true);
  ASSERT_TRUE(output.SetOutputFormat({640, 480, 30.0f, kPixelYuy2}));
  output.ClearFrameSlots();
  EXPECT_EQ(slot.length(), 0u);
  EXPECT_EQ(slot.time(), 0.0f);
  EXPECT_FALSE(slot.ready());
  const uint8_t black[8] = {0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80};
  EXPECT_EQ(std::memcmp(slot.data(), black, 8), 0);
  EXPECT_EQ(slot.data()[3840 * 2160 * 2 - 1], 0x80);
  ASSERT_TRUE(output.SetOutputFormat({640, 480, 30.0f, kPixelRgb24}));
  output.ClearFrameSlots();
  EXPECT_EQ(slot.data()[1], 0);
  EXPECT_EQ(slot.data()[FrameSlot::kDataBytes - 1], 0);
  // A picture that no slot can hold is refused; the format stays.
  EXPECT_FALSE(output.SetOutputFormat({4096, 4096, 30.0f, kPixelArgb}));
  EXPECT_EQ(output.format().width, 640u);
  EXPECT_TRUE(output.SetOutputFormat({3840, 2160, 30.0f, kPixelRgb24}));
}

// A streaming camera read by a consumer: the feeder hands each local picture to the driver, whose
// replies carry the consumer's format and the control state.
class StreamingControlCodeTest : public OutputTest {
 protected:
  void SetUp() override {
    OutputTest::SetUp();
    SimulatedDriversConfig config = QuietConfig();
    config.cameras[0].info.consumerActive = 1;
    config.cameras[0].info.yuy2 = 1;
    drivers = std::make_unique<SimulatedDrivers>(config);
    device_paths::Scan(*drivers);
    output = std::make_unique<VirtualCameraOutput>(0, &controls, *drivers);
    ASSERT_EQ(output->Open(), 0);
    output->SetStreaming(true);
  }
  void TearDown() override {
    output.reset();
    OutputTest::TearDown();
  }
  // Hands the output a decoded picture, as the decoder thread does.
  void OfferPicture(uint8_t fill, float time) { output->WriteDecodedPicture(*Picture(640, 360, fill), time); }
  void SetReply(uint32_t width, int32_t height, uint32_t value, uint32_t flag, uint32_t bytes = 28) {
    drivers->UpdateConfig([=](SimulatedDriversConfig& c) {
      simdrivers::FrameWriteReply reply;
      reply.width = width;
      reply.height = height;
      reply.valid = 1;
      reply.yuy2 = 1;
      reply.controlValue = value;
      reply.controlFlag = flag;
      c.cameras[0].reply = reply;
      c.cameras[0].replyBytes = bytes;
    });
  }
  // Offers a picture until the driver has taken one: a re-forming output clears its slots, and a
  // picture offered just before that clear is wiped, as it should be.
  bool DeliverOne(uint8_t fill, uint64_t framesBefore) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      OfferPicture(fill, static_cast<float>(framesBefore + 1));
      if (drivers->WaitForFrames(0, framesBefore + 1, std::chrono::milliseconds(500))) return true;
    }
    return false;
  }

  std::unique_ptr<SimulatedDrivers> drivers;
  std::unique_ptr<VirtualCameraOutput> output;
};

// Whatever wrote into the slots since the last clear (a decoded picture, a hand-over into the
// section), the next clear leaves black, also when several clears follow each other.
TEST_F(OutputTest, EveryPictureWrittenIsWipedByTheNextClear) {
  SimulatedDriversConfig config = QuietConfig();
  config.cameras[2].device.present = false;
  SimulatedDrivers drivers(config);
  device_paths::Scan(drivers);
  auto section = PublishSection(2, camera_section::kLayoutVersion);
  ASSERT_NE(section, nullptr);
  uint8_t* s = section->data();
  camera_section::WriteU32(s, camera_section::kDemandedWidth, 640);
  camera_section::WriteU32(s, camera_section::kDemandedHeight, 360);
  camera_section::WriteU32(s, camera_section::kDemandedCode, kPixelYuy2);
  VirtualCameraOutput output(2, &controls, drivers);
  ASSERT_EQ(output.Open(), 0);
  ASSERT_TRUE(output.sectionMode());
  const uint8_t* slot0 = s + camera_section::kSlot0;
  const uint8_t* slot1 = s + camera_section::kSlot1;
  auto isBlack = [](const uint8_t* data) {
    return data[0] == 0x00 && data[1] == 0x80 && data[2 * 640 * 360 - 1] == 0x80 && data[3840 * 2160 * 2 - 1] == 0x80;
  };
  output.ClearFrameSlots();
  output.ClearFrameSlots();
  EXPECT_TRUE(isBlack(slot0) && isBlack(slot1));

  // A decoded picture (luma 200) lands in slot 0, the next in slot 1; a clear wipes both.
  output.WriteDecodedPicture(*Picture(640, 360, 200), 1.0f);
  output.WriteDecodedPicture(*Picture(640, 360, 200), 2.0f);
  EXPECT_EQ(slot0[0], 200);
  EXPECT_EQ(slot1[0], 200);
  output.ClearFrameSlots();
  EXPECT_TRUE(isBlack(slot0) && isBlack(slot1));
  output.ClearFrameSlots();
  EXPECT_TRUE(isBlack(slot0));

  // A clear for another layout writes that layout's black even when nothing was drawn since.
  camera_section::WriteU32(s, camera_section::kDemandedCode, kPixelRgb24);
  ASSERT_TRUE(output.SetOutputFormat({640, 360, 30.0f, kPixelRgb24}));
  output.ClearFrameSlots();
  EXPECT_EQ(slot0[1], 0);
  EXPECT_EQ(slot1[FrameSlot::kDataBytes - 1], 0);
  output.Close();

  // A picture handed over whole (the placeholder's way into the section), on the channel alone.
  CameraSignals signals;
  LocalFrameSlots local;
  const OutputFormat yuy2{640, 360, 30.0f, kPixelYuy2};
  std::unique_ptr<SectionChannel> channel = SectionChannel::Open(2, signals, local);
  ASSERT_NE(channel, nullptr);
  channel->ClearSlots(yuy2);
  channel->ClearSlots(yuy2);
  std::vector<uint8_t> grey(2 * 640 * 360, 0x40);
  channel->HandOver(grey.data(), grey.size());
  EXPECT_EQ(slot0[0], 0x40);
  channel->ClearSlots(yuy2);
  EXPECT_TRUE(isBlack(slot0) && isBlack(slot1));
}

// A camera 2 in section mode whose consumer demands this format, with both slots cleared.
class SectionOutputTest : public OutputTest {
 protected:
  void Open(uint32_t width, int32_t height, uint32_t code) {
    SimulatedDriversConfig config = QuietConfig();
    config.cameras[2].device.present = false;
    drivers = std::make_unique<SimulatedDrivers>(config);
    device_paths::Scan(*drivers);
    section = PublishSection(2, camera_section::kLayoutVersion);
    ASSERT_NE(section, nullptr);
    uint8_t* s = section->data();
    camera_section::WriteU32(s, camera_section::kDemandedWidth, width);
    camera_section::WriteU32(s, camera_section::kDemandedHeight, static_cast<uint32_t>(height));
    camera_section::WriteU32(s, camera_section::kDemandedCode, code);
    output = std::make_unique<VirtualCameraOutput>(2, &controls, *drivers);
    ASSERT_EQ(output->Open(), 0);
    ASSERT_TRUE(output->sectionMode());
    output->ClearFrameSlots();
    uint32_t error = 0;
    event = platform::NamedEvent::CreateOrOpen(kEventName2, true, &error);
    ASSERT_NE(event, nullptr) << error;
    event->Reset();
  }
  void TearDown() override {
    output.reset();
    if (section != nullptr) camera_section::WriteU32(section->data(), camera_section::kVersion, 0);
    OutputTest::TearDown();
  }
  FrameSlot slot(int index) const {
    return FrameSlot(section->data() + (index == 0 ? camera_section::kSlot0 : camera_section::kSlot1));
  }

  std::unique_ptr<SimulatedDrivers> drivers;
  std::unique_ptr<platform::SharedSection> section;
  std::unique_ptr<platform::NamedEvent> event;  // the driver's view of the camera's event
  std::unique_ptr<VirtualCameraOutput> output;
};

// The phone turns while the consumer keeps its landscape format: the pillarbox bars of both slots
// are black, not strips of the landscape pictures they held before.
TEST_F(SectionOutputTest, BarsAreBlackAgainWhenThePictureTurns) {
  Open(1280, 720, kPixelYuy2);
  EXPECT_TRUE(output->WriteDecodedPicture(*Picture(1280, 720, 200), 1.0f));
  EXPECT_TRUE(output->WriteDecodedPicture(*Picture(1280, 720, 200), 2.0f));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(slot(i).ready());
    slot(i).SetReady(false);  // the consumer took both
  }
  // 720 x 1280 lands 400 pixels wide at column 440.
  EXPECT_TRUE(output->WriteDecodedPicture(*Picture(720, 1280, 100), 3.0f));
  EXPECT_TRUE(output->WriteDecodedPicture(*Picture(720, 1280, 100), 4.0f));
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const FrameSlot turned = slot(i);
    ASSERT_TRUE(turned.ready());
    const uint8_t* data = turned.data();
    for (const size_t row : {size_t{0}, size_t{359}, size_t{719}}) {
      const uint8_t* line = data + row * 1280 * 2;
      EXPECT_EQ(line[0], 0x00) << row;
      EXPECT_EQ(line[1], 0x80) << row;
      EXPECT_EQ(line[2 * 438], 0x00) << row;
      EXPECT_NEAR(line[2 * 640], 100, 3) << row;
      EXPECT_EQ(line[2 * 842], 0x00) << row;
      EXPECT_EQ(line[2 * 1279], 0x00) << row;
    }
  }
}

// Nothing new reaches a slot when the picture cannot be written: the driver must not be told that
// the slot's old bytes are a new picture.
TEST_F(SectionOutputTest, PicturesThatCannotBeWrittenMarkNoSlotReady) {
  struct Case {
    const char* what;
    OutputFormat format;
    int width, height;
    int pixelFormat;
  };
  const Case cases[] = {
      {"a picture the scaler refuses", {640, 360, 30.0f, kPixelYuy2}, 640, 360, AV_PIX_FMT_VAAPI},
      {"a picture too narrow to show", {640, 360, 30.0f, kPixelYuy2}, 16, 2048, AV_PIX_FMT_YUV420P},
      // The byte count fits a slot, the odd width's last pixel pair does not.
      {"a picture past the slot's end", {777601, 16, 30.0f, kPixelYuy2}, 640, 360, AV_PIX_FMT_YUV420P},
  };
  Open(640, 360, kPixelYuy2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(output->SetOutputFormat(c.format));
    output->ClearFrameSlots();
    event->Reset();
    auto picture = Picture(c.width, c.height, 150);
    ASSERT_NE(picture, nullptr);
    picture->format = c.pixelFormat;
    EXPECT_FALSE(output->WriteDecodedPicture(*picture, 1.0f));
    EXPECT_FALSE(slot(0).ready());
    EXPECT_FALSE(slot(1).ready());
    EXPECT_EQ(slot(0).length(), 0u);
    EXPECT_FALSE(event->Wait(0));
  }
}

// A camera mutex or event that cannot be had (its name taken by another kind of object, or by an
// object this user may not open) leaves the output unable to hand over pictures: each is recorded
// at open with its own code and the system's reason.
TEST_F(OutputTest, NamedObjectsThatCannotBeHadAreRecordedAtOpen) {
  SimulatedDrivers drivers(QuietConfig());
  device_paths::Scan(drivers);
  uint32_t error = 0;
  {
    auto squatter = platform::NamedEvent::CreateOrOpen(kMutexName1, false, &error);
    ASSERT_NE(squatter, nullptr) << error;
    VirtualCameraOutput output(1, &controls, drivers);
    output.Open();
    EXPECT_EQ(StoredError(), "we:s.C1E6:792");
    EXPECT_FALSE(output.SetOutputFormat({640, 360, 30.0f, kPixelYuy2}));
  }
  settings_fixture::DeleteErrorValue();
  {
    auto squatter = platform::NamedMutex::CreateOrOpen(kEventName1, &error);
    ASSERT_NE(squatter, nullptr) << error;
    VirtualCameraOutput output(1, &controls, drivers);
    EXPECT_EQ(output.Open(), VirtualCameraOutput::kOpened);
    EXPECT_EQ(StoredError(), "we:s.C1E6:793");
  }
}

TEST_F(StreamingControlCodeTest, ControlChangesReachTheListenerOncePerChange) {
  SetReply(640, 360, 7, 1);
  uint64_t frames = drivers->Camera(0).frames;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(DeliverOne(static_cast<uint8_t>(i), frames++));
  SetReply(640, 360, 9, 0);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(DeliverOne(static_cast<uint8_t>(i), frames++));
  // A reply shorter than 28 bytes carries no control state.
  SetReply(640, 360, 12, 1, 20);
  ASSERT_TRUE(DeliverOne(5, frames++));
  output->Close();
  EXPECT_EQ(controls.values(), (std::vector<uint32_t>{7, 9}));
  EXPECT_EQ(controls.flags(), (std::vector<bool>{true, false}));
  EXPECT_EQ(drivers->LastPicture(0).size(), 640u * 360u * 2u);
}

TEST_F(StreamingControlCodeTest, TheConsumersDemandReformsTheOutput) {
  SetReply(1280, 720, 0, 0);
  uint64_t frames = drivers->Camera(0).frames;
  ASSERT_TRUE(DeliverOne(1, frames++));
  // The reply is applied after the write returns: the output is re-formed and its slots cleared.
  testkit::WaitUntil([&] { return output->format().width == 1280u; }, 10000, 5);
  EXPECT_EQ(output->format().width, 1280u);
  EXPECT_EQ(output->format().height, 720);
  ASSERT_TRUE(DeliverOne(2, frames++));
  EXPECT_EQ(drivers->LastPicture(0).size(), 1280u * 720u * 2u);

  // A demand no frame slot can hold is refused once and changes nothing.
  SetReply(8192, 8192, 0, 0);
  ASSERT_TRUE(DeliverOne(3, frames++));
  ASSERT_TRUE(DeliverOne(4, frames++));
  output->Close();
  EXPECT_EQ(output->format().width, 1280u);
  EXPECT_EQ(StoredError(), "we:s:791");
}

// A driver that takes its time over a picture: the decoder meanwhile converts the next one into
// the other slot, and a clear waits until the driver is done with the slot it reads.
TEST_F(StreamingControlCodeTest, TheDecoderFillsTheOtherSlotWhileTheDriverTakesAPicture) {
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool open = false;
  };
  // A stream's picture has gone to the driver first: the feeder is past any placeholder picture,
  // whose hand-over the gate below would hold with the slots lock taken.
  ASSERT_TRUE(DeliverOne(0, drivers->Camera(0).frames));
  ASSERT_TRUE(
      testkit::WaitUntil([&] { return !output->localSlot(0).ready() && !output->localSlot(1).ready(); }, 10000, 5))
      << "pictures left waiting for the driver";
  auto gate = std::make_shared<Gate>();
  drivers->UpdateConfig([gate](SimulatedDriversConfig& c) {
    c.cameras[0].beforeRequest = [gate](uint32_t code) {
      if (code < simdrivers::kWriteCode) return;  // attach, detach, query
      std::unique_lock<std::mutex> lock(gate->mutex);
      gate->holding = true;
      gate->changed.notify_all();
      gate->changed.wait(lock, [&] { return gate->open; });
    };
  });
  std::future<bool> second;
  std::future<void> cleared;
  // Whatever fails below, the driver lets its picture go before anything waits for the calls
  // still running (destroyed first, as declared last).
  struct Opener {
    std::shared_ptr<Gate> gate;
    ~Opener() {
      std::lock_guard<std::mutex> lock(gate->mutex);
      gate->open = true;
      gate->changed.notify_all();
    }
  } opener{gate};

  OfferPicture(1, 10.0f);
  {
    std::unique_lock<std::mutex> lock(gate->mutex);
    ASSERT_TRUE(gate->changed.wait_for(lock, std::chrono::seconds(10), [&] { return gate->holding; }))
        << "the feeder never handed the picture over";
  }
  second = std::async(std::launch::async, [&] { return output->WriteDecodedPicture(*Picture(640, 360, 2), 11.0f); });
  ASSERT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the decoder waited for the driver's write";
  EXPECT_TRUE(second.get());
  cleared = std::async(std::launch::async, [&] { output->ClearFrameSlots(); });
  EXPECT_EQ(cleared.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
      << "a clear went through the picture the driver is reading";
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->open = true;
    gate->changed.notify_all();
  }
  EXPECT_EQ(cleared.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  drivers->UpdateConfig([](SimulatedDriversConfig& c) { c.cameras[0].beforeRequest = nullptr; });
}

TEST_F(OutputTest, SectionControlsReachTheListenerOncePerChange) {
  SimulatedDrivers drivers(QuietConfig());
  device_paths::Scan(drivers);
  auto section = PublishSection(1, camera_section::kLayoutVersion);
  uint8_t* s = section->data();
  camera_section::WriteU32(s, camera_section::kConsumerCount, 1);
  VirtualCameraOutput output(1, &controls, drivers, timing);
  ASSERT_EQ(output.Open(), 0);
  output.SetStreaming(true);
  auto waitFor = [&](size_t values, size_t flags) {
    testkit::WaitUntil([&] { return controls.values().size() >= values && controls.flags().size() >= flags; }, 10000);
  };
  camera_section::WriteU32(s, camera_section::kControlValue, 3);
  waitFor(1, 0);
  camera_section::WriteU32(s, camera_section::kControlFlag, 5);  // any non-zero is on
  waitFor(1, 1);
  EXPECT_TRUE(FeederTimePasses(0.2));  // many ticks, no change
  camera_section::WriteU32(s, camera_section::kControlValue, 4);
  camera_section::WriteU32(s, camera_section::kControlFlag, 0);
  waitFor(2, 2);
  output.Close();
  EXPECT_EQ(controls.values(), (std::vector<uint32_t>{3, 4}));
  EXPECT_EQ(controls.flags(), (std::vector<bool>{true, false}));
}

// A consumer that changes its demand re-forms the output whatever the feeder is doing: handing
// over the placeholder (the hand-over reports the demand) or watching a stream.
TEST_F(OutputTest, SectionDemandsReformTheOutputFromEveryTick) {
  SimulatedDrivers drivers(QuietConfig());
  device_paths::Scan(drivers);
  auto section = PublishSection(1, camera_section::kLayoutVersion);
  ASSERT_NE(section, nullptr);
  uint8_t* s = section->data();
  camera_section::WriteU32(s, camera_section::kConsumerCount, 1);
  VirtualCameraOutput output(1, &controls, drivers, timing);
  ASSERT_EQ(output.Open(), 0);
  auto demand = [&](uint32_t width, int32_t height) {
    const float fps = 30.0f;
    uint32_t bits;
    std::memcpy(&bits, &fps, 4);
    camera_section::WriteU32(s, camera_section::kDemandedFps, bits);
    camera_section::WriteU32(s, camera_section::kDemandedCode, kPixelYuy2);
    camera_section::WriteU32(s, camera_section::kDemandedHeight, static_cast<uint32_t>(height));
    camera_section::WriteU32(s, camera_section::kDemandedWidth, width);
    testkit::WaitUntil([&] { return output.format().width == width; }, 10000);
    return output.format().width == width && output.format().height == height;
  };
  EXPECT_TRUE(demand(320, 180));
  output.SetStreaming(true);
  EXPECT_TRUE(demand(480, 270));
  EXPECT_TRUE(output.WriteDecodedPicture(*Picture(480, 270, 90), 1.0f));
  output.Close();
  camera_section::WriteU32(s, camera_section::kConsumerCount, 0);
}

TEST_F(OutputTest, BlankPicturesAreGreenAndSentOncePerSize) {
  SimulatedDriversConfig config = QuietConfig();
  config.cameras[0].info.consumerActive = 1;
  config.cameras[0].info.yuy2 = 0;
  config.cameras[0].info.width = 4;
  config.cameras[0].info.height = 2;
  SimulatedDrivers drivers(config);
  device_paths::Scan(drivers);
  VirtualCameraOutput output(0, &controls, drivers, timing);
  output.SetBlank(true);
  ASSERT_EQ(output.Open(), 0);
  ASSERT_TRUE(drivers.WaitForFrames(0, 1, std::chrono::seconds(10)));
  EXPECT_TRUE(FeederTimePasses(0.3));  // thirty ticks
  EXPECT_EQ(drivers.Camera(0).frames, 1u);
  std::vector<uint8_t> expected;
  for (int i = 0; i < 8; ++i) expected.insert(expected.end(), {0x00, 0xB1, 0x40});
  EXPECT_EQ(drivers.LastPicture(0), expected);

  // The consumer switches to YUY2 at another size: one new blank picture.
  drivers.UpdateConfig([](SimulatedDriversConfig& c) {
    c.cameras[0].info.yuy2 = 1;
    c.cameras[0].info.width = 6;
  });
  ASSERT_TRUE(drivers.WaitForFrames(0, 2, std::chrono::seconds(10)));
  EXPECT_TRUE(FeederTimePasses(0.3));
  EXPECT_EQ(drivers.Camera(0).frames, 2u);
  expected.clear();
  for (int i = 0; i < 6; ++i) expected.insert(expected.end(), {0x6F, 0x65, 0x6F, 0x30});
  EXPECT_EQ(drivers.LastPicture(0), expected);

  // A phone's stream overrides the blank flag.
  output.SetStreaming(true);
  const OutputFormat format = output.format();
  output.WriteDecodedPicture(*Picture(60, 20, 0x42), 1.0f);  // the output's 3:1 aspect
  ASSERT_TRUE(drivers.WaitForFrames(0, 3, std::chrono::seconds(10)));
  const std::vector<uint8_t> streamed = drivers.LastPicture(0);
  EXPECT_EQ(streamed.size(), 2u * format.width * format.rows());
  EXPECT_NE(streamed, expected);
}

}  // namespace
}  // namespace kavex
