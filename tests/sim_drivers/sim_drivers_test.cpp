// The simulated camera and microphone drivers, driven through the device seam as the engine does.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "scoped_simulated_drivers.h"
#include "simulated_drivers.h"

namespace kavex::simdrivers {
namespace {

using platform::CaptureDevice;
using platform::CaptureScanResult;
using platform::Device;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> U32s(std::initializer_list<uint32_t> values) {
  std::vector<uint8_t> bytes(values.size() * 4);
  size_t offset = 0;
  for (uint32_t value : values) WriteU32(value, bytes.data() + (offset++) * 4);
  return bytes;
}

// One request; output is sent with the size it has. Returns the driver's answer, and *returned is
// checked to be 0 whenever the request fails.
bool Send(Device& device, uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>* output,
          uint32_t* returned = nullptr) {
  uint32_t count = 12345;
  bool ok = device.Control(code, input.empty() ? nullptr : input.data(), static_cast<uint32_t>(input.size()),
                           output == nullptr || output->empty() ? nullptr : output->data(),
                           output == nullptr ? 0 : static_cast<uint32_t>(output->size()), &count);
  if (!ok) {
    EXPECT_EQ(count, 0u) << "code " << code;
  }
  if (returned != nullptr) *returned = count;
  return ok;
}

// The names the engine asks the scan for.
std::vector<std::wstring> WantedNames() {
  std::vector<std::wstring> names;
  for (int i = 0; i < kDeviceIndexCount; ++i) names.push_back(FriendlyName(CameraDevice(i)));
  for (int i = 0; i < kDeviceIndexCount; ++i) names.push_back(FriendlyName(MicrophoneDevice(i)));
  return names;
}

std::unique_ptr<Device> OpenDevice(SimulatedDrivers& drivers, DeviceId id) {
  uint32_t error = 99;
  std::unique_ptr<Device> device = drivers.Open(drivers.Config().PathOf(id), &error);
  EXPECT_TRUE(device);
  EXPECT_EQ(error, 0u);
  return device;
}

std::vector<uint8_t> Samples(uint32_t count, int16_t first) {
  std::vector<uint8_t> bytes(count * 2);
  for (uint32_t i = 0; i < count; ++i) {
    auto sample = static_cast<uint16_t>(first + static_cast<int16_t>(i));
    bytes[2 * i] = static_cast<uint8_t>(sample);
    bytes[2 * i + 1] = static_cast<uint8_t>(sample >> 8);
  }
  return bytes;
}

TEST(SimDriversScan, ListsWantedPresentDevicesAndReportsFailures) {
  SimulatedDrivers drivers;
  std::vector<CaptureDevice> devices;
  ASSERT_EQ(drivers.ScanCaptureDevices(WantedNames(), &devices), CaptureScanResult::kScanned);
  ASSERT_EQ(devices.size(), 8u);
  EXPECT_EQ(devices[0].friendlyName, L"Kavex Webcam");
  EXPECT_EQ(devices[3].friendlyName, L"Kavex Webcam #4");
  EXPECT_EQ(devices[4].friendlyName, L"Kavex Webcam Audio");
  EXPECT_EQ(devices[5].friendlyName, L"Kavex Webcam Audio #2");
  EXPECT_EQ(devices[5].devicePath, DefaultPath(MicrophoneDevice(1)));

  // Names are matched exactly; devices nobody asked for are not listed.
  drivers.UpdateConfig([](SimulatedDriversConfig& c) {
    for (int i = 1; i < kDeviceIndexCount; ++i) c.cameras[i].device.present = c.microphones[i].device.present = false;
    c.foreignDevices.push_back({L"kavex webcam", L"\\\\?\\other#1"});
  });
  ASSERT_EQ(drivers.ScanCaptureDevices(WantedNames(), &devices), CaptureScanResult::kScanned);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].friendlyName, L"Kavex Webcam");
  EXPECT_EQ(devices[1].friendlyName, L"Kavex Webcam Audio");

  // Only other devices: the category is not empty, nothing is listed.
  drivers.UpdateConfig(
      [](SimulatedDriversConfig& c) { c.cameras[0].device.present = c.microphones[0].device.present = false; });
  EXPECT_EQ(drivers.ScanCaptureDevices(WantedNames(), &devices), CaptureScanResult::kScanned);
  EXPECT_TRUE(devices.empty());

  // Nothing to list is what the system reports as a failed category.
  drivers.UpdateConfig([](SimulatedDriversConfig& c) { c.foreignDevices.clear(); });
  EXPECT_EQ(drivers.ScanCaptureDevices(WantedNames(), &devices), CaptureScanResult::kCategoryFailed);
  EXPECT_TRUE(devices.empty());

  drivers.SetConfig({});
  drivers.UpdateConfig([](SimulatedDriversConfig& c) { c.scan = CaptureScanResult::kEnumeratorFailed; });
  devices.assign(2, CaptureDevice{});
  EXPECT_EQ(drivers.ScanCaptureDevices(WantedNames(), &devices), CaptureScanResult::kEnumeratorFailed);
  EXPECT_TRUE(devices.empty());
  EXPECT_EQ(drivers.ScanCount(), 5u);
}

TEST(SimDriversOpen, OpensByPathCountsHandlesAndReportsErrors) {
  SimulatedDriversConfig config;
  config.microphones[1].device.path = OverlongPath(MicrophoneDevice(1));
  config.cameras[2].device.openFails = true;
  config.cameras[2].device.openError = 5;
  config.cameras[3].device.present = false;
  config.foreignDevices.push_back({L"Other Camera", L"\\\\?\\other#1"});
  auto drivers = std::make_unique<SimulatedDrivers>(config);

  uint32_t error = 0;
  EXPECT_FALSE(drivers->Open(L"\\\\?\\other#1", &error));
  EXPECT_EQ(error, 2u);
  EXPECT_FALSE(drivers->Open(DefaultPath(CameraDevice(3)), &error));
  EXPECT_EQ(error, 2u);
  EXPECT_FALSE(drivers->Open(DefaultPath(MicrophoneDevice(1)), &error));
  EXPECT_EQ(error, 2u);
  EXPECT_FALSE(drivers->Open(DefaultPath(CameraDevice(2)), &error));
  EXPECT_EQ(error, 5u);
  EXPECT_EQ(drivers->DescribeEvents(CameraDevice(2)), "open!failed");

  std::vector<CaptureDevice> devices;
  drivers->ScanCaptureDevices(WantedNames(), &devices);
  ASSERT_EQ(devices.size(), 7u);
  EXPECT_EQ(devices[4].friendlyName, L"Kavex Webcam Audio #2");
  EXPECT_EQ(devices[4].devicePath.size(), kOverlongPathLength);
  EXPECT_TRUE(OpenDevice(*drivers, MicrophoneDevice(1)));

  std::unique_ptr<Device> first = OpenDevice(*drivers, CameraDevice(0));
  std::unique_ptr<Device> second = OpenDevice(*drivers, CameraDevice(0));
  EXPECT_EQ(drivers->Camera(0).device.openHandles, 2);
  second.reset();
  EXPECT_EQ(drivers->Camera(0).device.openHandles, 1);
  EXPECT_EQ(drivers->DescribeEvents(CameraDevice(0)), "open*2 close");

  // A device the engine still holds keeps working after the drivers are gone.
  drivers.reset();
  std::vector<uint8_t> info(32);
  EXPECT_TRUE(Send(*first, kQueryCode, U32s({100, 0}), &info));
}

TEST(SimMicrophone, AnswersAttachQueryWriteDetach) {
  SimulatedDriversConfig config;
  config.microphones[2].status = 7;
  SimulatedDrivers drivers(config);
  std::unique_ptr<Device> mic = OpenDevice(drivers, MicrophoneDevice(2));

  EXPECT_TRUE(Send(*mic, kAttachCode, U32s({1, 2}), nullptr));
  EXPECT_EQ(drivers.Microphone(2).device.attachIndex, 2);
  std::vector<uint8_t> status(4);
  uint32_t returned = 0;
  ASSERT_TRUE(Send(*mic, kQueryCode, U32s({0}), &status, &returned));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(ReadU32(status.data()), 7u);

  std::vector<uint8_t> reply(8);
  ASSERT_TRUE(Send(*mic, kWriteCode, Samples(960, -480), &reply, &returned));
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(ReadU32(reply.data()), 1920u);
  EXPECT_EQ(ReadU32(reply.data() + 4), 1920u);  // from empty: the write's own bytes
  ASSERT_TRUE(Send(*mic, kWriteCode, Samples(480, 0), &reply));
  EXPECT_EQ(ReadU32(reply.data()), 960u);
  EXPECT_GT(ReadU32(reply.data() + 4), 1920u);
  EXPECT_LE(ReadU32(reply.data() + 4), 2880u);

  MicrophoneRecord record = drivers.Microphone(2);
  EXPECT_EQ(record.writes, 2u);
  EXPECT_EQ(record.totalSamples, 1440u);
  EXPECT_EQ(record.largestWrite, 960u);
  EXPECT_EQ(record.lastWrite, 480u);
  ASSERT_EQ(record.samples.size(), 1440u);
  EXPECT_EQ(record.samples[0], -480);
  EXPECT_EQ(record.samples[959], 479);
  EXPECT_EQ(record.samples[960], 0);

  drivers.UpdateConfig([](SimulatedDriversConfig& c) {
    c.microphones[2].queryFails = true;
    c.microphones[2].writeFails = true;
  });
  EXPECT_FALSE(Send(*mic, kQueryCode, U32s({0}), &status));
  EXPECT_FALSE(Send(*mic, kWriteCode, Samples(960, 0), &reply));
  EXPECT_EQ(drivers.Microphone(2).failedWrites, 1u);
  EXPECT_EQ(drivers.Microphone(2).totalSamples, 1440u);
  EXPECT_TRUE(Send(*mic, kDetachCode, {}, nullptr));
  mic.reset();
  EXPECT_EQ(drivers.DescribeEvents(MicrophoneDevice(2)),
            "open attach query write*2 query!failed write!failed detach close");
  EXPECT_EQ(drivers.Microphone(2).device.openHandles, 0);
}

TEST(SimMicrophone, RefusesMalformedRequests) {
  SimulatedDrivers drivers;
  std::unique_ptr<Device> mic = OpenDevice(drivers, MicrophoneDevice(0));
  std::vector<uint8_t> small(4), status(4), reply(8), tiny(2);
  EXPECT_FALSE(Send(*mic, kAttachCode, U32s({1}), nullptr));
  EXPECT_FALSE(Send(*mic, kAttachCode, U32s({100, 0}), nullptr));
  EXPECT_FALSE(Send(*mic, kQueryCode, U32s({0, 0}), &status));
  EXPECT_FALSE(Send(*mic, kQueryCode, U32s({0}), &tiny));
  EXPECT_FALSE(Send(*mic, kWriteCode, std::vector<uint8_t>(3), &reply));
  EXPECT_FALSE(Send(*mic, kWriteCode, Samples(10, 0), &small));
  EXPECT_FALSE(Send(*mic, FrameWriteCode(1), Samples(10, 0), &reply));
  EXPECT_FALSE(mic->Control(kWriteCode, nullptr, 20, reply.data(), 8, nullptr));

  MicrophoneRecord record = drivers.Microphone(0);
  EXPECT_EQ(record.device.refused, 8u);
  EXPECT_EQ(record.writes, 0u);
  EXPECT_EQ(record.device.attaches, 0u);
  EXPECT_EQ(drivers.MicrophoneBacklog(0), 0u);
}

TEST(SimMicrophone, BacklogDrainsAt96000BytesPerSecond) {
  SimulatedDriversConfig config;
  config.microphones[0].initialBacklogBytes = 200000;
  config.sampleCap = 1000;
  SimulatedDrivers drivers(config);
  Clock::time_point opened = Clock::now();
  std::unique_ptr<Device> mic = OpenDevice(drivers, MicrophoneDevice(0));

  // The clock readings around each backlog reading bound the time between the two readings.
  Clock::time_point before1 = Clock::now();
  uint32_t level1 = drivers.MicrophoneBacklog(0);
  Clock::time_point after1 = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Clock::time_point before2 = Clock::now();
  uint32_t level2 = drivers.MicrophoneBacklog(0);
  Clock::time_point after2 = Clock::now();
  auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  EXPECT_LE(level1, 200000u);
  EXPECT_GE(level1, 200000 - 96000 * seconds(after1 - opened) - 1);
  double drained = static_cast<double>(level1) - level2;
  EXPECT_GE(drained, 96000 * seconds(before2 - after1) - 2);
  EXPECT_LE(drained, 96000 * seconds(after2 - before1) + 2);

  // Each write adds its bytes to what is left; an empty backlog stays at 0.
  std::vector<uint8_t> reply(8);
  drivers.SetMicrophoneBacklog(0, 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(drivers.MicrophoneBacklog(0), 0u);
  Clock::time_point firstWrite = Clock::now();
  ASSERT_TRUE(Send(*mic, kWriteCode, Samples(960, 0), &reply));
  EXPECT_EQ(ReadU32(reply.data() + 4), 1920u);
  ASSERT_TRUE(Send(*mic, kWriteCode, Samples(960, 0), &reply));
  double sinceFirst = seconds(Clock::now() - firstWrite);
  EXPECT_LE(ReadU32(reply.data() + 4), 3840u);
  EXPECT_GE(ReadU32(reply.data() + 4), 3840 - 96000 * sinceFirst - 1);

  MicrophoneRecord record = drivers.Microphone(0);
  EXPECT_EQ(record.samples.size(), 1000u);  // the cap
  EXPECT_EQ(record.totalSamples, 1920u);
}

TEST(SimCamera, QueryAnswersTheInfoAtItsOffsets) {
  SimulatedDriversConfig config;
  config.cameras[1].info = {100, 1280, -720, 1, 0, 400000};
  SimulatedDrivers drivers(config);
  std::unique_ptr<Device> camera = OpenDevice(drivers, CameraDevice(1));
  EXPECT_TRUE(Send(*camera, kAttachCode, U32s({100, 1}), nullptr));
  EXPECT_EQ(drivers.Camera(1).device.attachIndex, 1);

  std::vector<uint8_t> info(40, 0xEE);
  uint32_t returned = 0;
  ASSERT_TRUE(Send(*camera, kQueryCode, U32s({100, 1}), &info, &returned));
  EXPECT_EQ(returned, 32u);
  EXPECT_EQ(ReadU32(&info[0]), 100u);
  EXPECT_EQ(ReadU32(&info[4]), 1280u);
  EXPECT_EQ(static_cast<int32_t>(ReadU32(&info[8])), -720);
  EXPECT_EQ(ReadU32(&info[12]), 1u);
  EXPECT_EQ(ReadU32(&info[16]), 0u);
  EXPECT_EQ(ReadU32(&info[20]), 400000u);
  EXPECT_EQ(ReadU32(&info[24]), 0u);
  EXPECT_EQ(ReadU32(&info[28]), 0u);
  EXPECT_EQ(info[32], 0xEE);

  // A consumer that starts streaming shows in the next query.
  drivers.UpdateConfig([](SimulatedDriversConfig& c) {
    c.cameras[1].info.consumerActive = 0;
    c.cameras[1].info.width = 1920;
  });
  ASSERT_TRUE(Send(*camera, kQueryCode, U32s({100, 1}), &info));
  EXPECT_EQ(ReadU32(&info[4]), 1920u);
  EXPECT_EQ(ReadU32(&info[12]), 0u);

  std::vector<uint8_t> shortInfo(31);
  EXPECT_FALSE(Send(*camera, kQueryCode, U32s({100, 1}), &shortInfo));
  EXPECT_FALSE(Send(*camera, kQueryCode, U32s({100}), &info));
  EXPECT_FALSE(Send(*camera, kQueryCode, U32s({1, 1}), &info));
  EXPECT_FALSE(Send(*camera, kAttachCode, U32s({1, 1}), nullptr));
  EXPECT_FALSE(Send(*camera, kDetachCode, {}, nullptr));
  EXPECT_EQ(drivers.Camera(1).device.refused, 5u);
  drivers.UpdateConfig([](SimulatedDriversConfig& c) { c.cameras[1].queryFails = true; });
  EXPECT_FALSE(Send(*camera, kQueryCode, U32s({100, 1}), &info));
  EXPECT_TRUE(Send(*camera, kDetachCode, U32s({100, 1}), nullptr));
  EXPECT_EQ(drivers.Camera(1).device.detaches, 1u);
}

TEST(SimCamera, PictureWritesAreRecordedAndAnswered) {
  SimulatedDrivers drivers;
  std::unique_ptr<Device> camera = OpenDevice(drivers, CameraDevice(1));
  std::vector<uint8_t> picture(640 * 360 * 2);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> reply(28);
  uint32_t returned = 0;

  // Camera 1 of a version-100 driver has its own code; the shared one is not its.
  EXPECT_FALSE(Send(*camera, kWriteCode, picture, &reply));
  ASSERT_TRUE(Send(*camera, FrameWriteCode(1), picture, &reply, &returned));
  EXPECT_EQ(returned, 28u);
  // The default reply repeats the camera's format: 640 x 360 YUY2 at 333,333.
  EXPECT_EQ(reply, U32s({640, 360, 1, 1, 333333, 0, 0}));
  EXPECT_EQ(drivers.LastPicture(1), picture);

  FrameWriteReply explicitReply{1280, -720, 1, 0, 500000, 42, 1};
  drivers.UpdateConfig([&](SimulatedDriversConfig& c) { c.cameras[1].reply = explicitReply; });
  ASSERT_TRUE(Send(*camera, FrameWriteCode(1), {1, 2, 3}, &reply));
  EXPECT_EQ(reply, U32s({1280, static_cast<uint32_t>(-720), 1, 0, 500000, 42, 1}));

  // A short reply fills only its bytes.
  drivers.UpdateConfig([](SimulatedDriversConfig& c) { c.cameras[1].replyBytes = 10; });
  std::vector<uint8_t> marked(28, 0xEE);
  ASSERT_TRUE(Send(*camera, FrameWriteCode(1), {9}, &marked, &returned));
  EXPECT_EQ(returned, 10u);
  EXPECT_EQ(ReadU32(&marked[0]), 1280u);
  EXPECT_EQ(marked[7], 0xFF);  // high byte of -720
  EXPECT_EQ(marked[8], 1);     // valid
  EXPECT_EQ(marked[10], 0xEE);

  std::vector<uint8_t> shortReply(27);
  EXPECT_FALSE(Send(*camera, FrameWriteCode(1), {1}, &shortReply));
  EXPECT_FALSE(Send(*camera, FrameWriteCode(1), {}, &reply));
  drivers.UpdateConfig([](SimulatedDriversConfig& c) { c.cameras[1].writeFails = true; });
  EXPECT_FALSE(Send(*camera, FrameWriteCode(1), {1}, &reply));

  CameraRecord record = drivers.Camera(1);
  EXPECT_EQ(record.frames, 3u);
  EXPECT_EQ(record.failedFrames, 1u);
  EXPECT_EQ(record.lastFrameBytes, 1u);
  EXPECT_EQ(record.device.refused, 3u);
  EXPECT_EQ((std::map<uint32_t, uint64_t>{{0x222014, 3}}), record.frameCodes);
  EXPECT_EQ(drivers.LastPicture(1), std::vector<uint8_t>{9});
  EXPECT_EQ(drivers.DescribeEvents(CameraDevice(1)),
            "open write!refused write(0x222014)*3 write(0x222014)!refused*2 write(0x222014)!failed");
}

TEST(SimCamera, VersionTwoDriverTakesTheSharedCodeOnEveryCamera) {
  SimulatedDriversConfig config;
  config.cameras[3].info.version = 2;
  SimulatedDrivers drivers(config);
  std::unique_ptr<Device> camera = OpenDevice(drivers, CameraDevice(3));
  std::vector<uint8_t> reply(28);
  EXPECT_TRUE(Send(*camera, kWriteCode, {1, 2}, &reply));
  EXPECT_FALSE(Send(*camera, FrameWriteCode(3), {1, 2}, &reply));
  EXPECT_EQ((std::map<uint32_t, uint64_t>{{0x222010, 1}}), drivers.Camera(3).frameCodes);
}

TEST(SimCamera, WaitForFramesSeesWritesOfAnotherThread) {
  SimulatedDrivers drivers;
  std::unique_ptr<Device> camera = OpenDevice(drivers, CameraDevice(0));
  std::thread feeder([&] {
    std::vector<uint8_t> reply(28);
    for (int i = 0; i < 5; ++i) {
      Send(*camera, kWriteCode, {static_cast<uint8_t>(i)}, &reply);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  EXPECT_TRUE(drivers.WaitForFrames(0, 5, std::chrono::seconds(10)));
  feeder.join();
  EXPECT_FALSE(drivers.WaitForFrames(0, 6, std::chrono::milliseconds(30)));
  EXPECT_FALSE(drivers.WaitForAudioWrites(0, 1, std::chrono::milliseconds(1)));
}

TEST(SimDriversEnvironment, ReadsEveryVariable) {
  std::map<std::string, std::string> variables = {
      {"KAVEX_SIMDRIVERS_SCAN", "category"},
      {"KAVEX_SIMDRIVERS_DEVICES", "cam0, mic0,mic3"},
      {"KAVEX_SIMDRIVERS_FOREIGN", "USB Camera|kavex webcam"},
      {"KAVEX_SIMDRIVERS_LONG_PATHS", "mic3"},
      {"KAVEX_SIMDRIVERS_OPEN_FAIL", "cam0:5,mic0"},
      {"KAVEX_SIMDRIVERS_MIC_STATUS", "fail"},
      {"KAVEX_SIMDRIVERS_MIC_WRITE", "fail"},
      {"KAVEX_SIMDRIVERS_MIC_BACKLOG", "48000"},
      {"KAVEX_SIMDRIVERS_CAMERA_VERSION", "2"},
      {"KAVEX_SIMDRIVERS_CAMERA_WIDTH", "1280"},
      {"KAVEX_SIMDRIVERS_CAMERA_HEIGHT", "-720"},
      {"KAVEX_SIMDRIVERS_CAMERA_YUY2", "0"},
      {"KAVEX_SIMDRIVERS_CAMERA_FRAME_DURATION", "0x61A80"},
      {"KAVEX_SIMDRIVERS_CAMERA_CONSUMER_ACTIVE", "0"},
      {"KAVEX_SIMDRIVERS_CAMERA_WRITE", "fail"},
      {"KAVEX_SIMDRIVERS_REPLY", "320,-240,1,666666,7,1"},
      {"KAVEX_SIMDRIVERS_REPLY_BYTES", "20"},
  };
  auto lookup = [&](const std::string& name) -> std::optional<std::string> {
    auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  };
  std::vector<std::string> problems;
  SimulatedDriversConfig config = ConfigFromVariables(lookup, &problems);
  EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems.front());
  EXPECT_EQ(config.scan, CaptureScanResult::kCategoryFailed);
  EXPECT_TRUE(config.cameras[0].device.present);
  EXPECT_FALSE(config.cameras[1].device.present);
  EXPECT_TRUE(config.microphones[3].device.present);
  EXPECT_FALSE(config.microphones[2].device.present);
  ASSERT_EQ(config.foreignDevices.size(), 2u);
  EXPECT_EQ(config.foreignDevices[1].friendlyName, L"kavex webcam");
  EXPECT_EQ(config.PathOf(MicrophoneDevice(3)).size(), kOverlongPathLength);
  EXPECT_EQ(config.cameras[0].device.openError, 5u);
  EXPECT_TRUE(config.microphones[0].device.openFails);
  EXPECT_EQ(config.microphones[0].device.openError, 2u);
  EXPECT_FALSE(config.microphones[1].device.openFails);
  for (int i = 0; i < kDeviceIndexCount; ++i) {
    const MicrophoneConfig& mic = config.microphones[i];
    EXPECT_TRUE(mic.queryFails && mic.writeFails);
    EXPECT_EQ(mic.initialBacklogBytes, 48000u);
    const CameraConfig& camera = config.cameras[i];
    EXPECT_EQ(camera.info.version, 2u);
    EXPECT_EQ(camera.info.width, 1280u);
    EXPECT_EQ(camera.info.height, -720);
    EXPECT_EQ(camera.info.yuy2, 0u);
    EXPECT_EQ(camera.info.frameDuration, 400000u);
    EXPECT_EQ(camera.info.consumerActive, 0u);
    EXPECT_TRUE(camera.writeFails);
    ASSERT_TRUE(camera.reply);
    EXPECT_EQ(camera.reply->height, -240);
    EXPECT_EQ(camera.reply->valid, 1u);
    EXPECT_EQ(camera.reply->frameDuration, 666666u);
    EXPECT_EQ(camera.reply->controlFlag, 1u);
    EXPECT_EQ(camera.replyBytes, 20u);
  }

  // Unparseable values are reported and leave the defaults.
  variables = {{"KAVEX_SIMDRIVERS_SCAN", "maybe"},    {"KAVEX_SIMDRIVERS_DEVICES", "cam0,cam4"},
               {"KAVEX_SIMDRIVERS_MIC_STATUS", "1x"}, {"KAVEX_SIMDRIVERS_CAMERA_WIDTH", "-1"},
               {"KAVEX_SIMDRIVERS_REPLY", "1,2,3"},   {"KAVEX_SIMDRIVERS_REPLY_BYTES", "29"},
               {"KAVEX_SIMDRIVERS_CAMERA_HEIGHT", ""}};
  problems.clear();
  config = ConfigFromVariables(lookup, &problems);
  EXPECT_EQ(problems.size(), 6u);
  EXPECT_EQ(config.scan, CaptureScanResult::kScanned);
  EXPECT_TRUE(config.cameras[3].device.present && config.microphones[3].device.present);
  EXPECT_EQ(config.microphones[0].status, 1u);
  EXPECT_EQ(config.cameras[0].info.width, 640u);
  EXPECT_EQ(config.cameras[0].info.height, 360);
  EXPECT_EQ(config.cameras[0].info.version, 100u);
  EXPECT_FALSE(config.cameras[0].reply);
  EXPECT_EQ(config.cameras[0].replyBytes, 28u);
}

TEST(SimDriversScoped, InstallsForTheScopeOnly) {
  platform::DeviceDrivers* before = &platform::ActiveDeviceDrivers();
  {
    ScopedSimulatedDrivers scoped;
    EXPECT_EQ(&platform::ActiveDeviceDrivers(), &scoped.drivers());
  }
  EXPECT_EQ(&platform::ActiveDeviceDrivers(), before);
  EXPECT_EQ(before, &platform::SystemDeviceDrivers());
}

}  // namespace
}  // namespace kavex::simdrivers
