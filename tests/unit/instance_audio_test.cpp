// Sound from the phone to the microphone through an opened instance: a real Opus stream decodes to
// 960 samples per 20 ms packet and reaches the simulated microphone; bad packets reach nothing;
// a backlog in the microphone is worn down by thinning.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "fixture_file.h"
#include "instance/engine_instance.h"
#include "instance/instance_registry.h"
#include "output/microphone_writer.h"
#include "platform/device_drivers.h"
#include "recording_connection.h"
#include "simulated_drivers.h"
#include "test_drivers.h"

namespace kavex {
namespace {

class InstanceAudioTest : public ::testing::Test {
 protected:
  static constexpr int kIndex = 2;  // instance 0 would start network discovery
  void SetUp() override {
    test_drivers::Drivers().ClearRecords();
    instance = EngineInstance::Create(kIndex, InstanceRegistry::Broker(), InstanceRegistry::Cameras());
    ASSERT_EQ(instance->Open(), 0);
  }
  void TearDown() override {
    instance->Destroy();
    test_drivers::Drivers().ClearRecords();
  }
  std::shared_ptr<EngineInstance> instance;
  RecordingConnection connection{PhoneId{}, SocketAddress{}};
};

TEST_F(InstanceAudioTest, OpusFixtureReachesTheMicrophoneAs960SamplesPerPacket) {
  std::vector<std::vector<uint8_t>> packets = fixture_file::ReadPackets("opus-tone-48k.psimpkt");
  ASSERT_EQ(packets.size(), 200u) << "fixture " << fixture_file::Path("opus-tone-48k.psimpkt");
  // Fewer writes than the backlog history holds: nothing can be thinned, every sample arrives.
  packets.resize(99);
  for (const std::vector<uint8_t>& packet : packets) instance->OnAudioPacket(packet.data(), packet.size());
  const simdrivers::MicrophoneRecord record = test_drivers::Drivers().Microphone(kIndex);
  EXPECT_EQ(record.writes, packets.size());
  EXPECT_EQ(record.totalSamples, 960u * packets.size());
  EXPECT_EQ(record.largestWrite, 960u);
  // The tone is there: after the decoder's first packets the level is well above silence.
  ASSERT_EQ(record.samples.size(), 960u * 99);
  double energy = 0;
  for (size_t i = 960 * 10; i < 960 * 20; ++i) energy += double(record.samples[i]) * record.samples[i];
  EXPECT_GT(std::sqrt(energy / (960 * 10)), 1000.0);
}

TEST_F(InstanceAudioTest, PacketsLibopusRefusesOrThatAreEmptyWriteNothing) {
  const uint8_t garbage[] = {0xFF, 0xFF, 0xFF};  // code 3 with an impossible frame count
  instance->OnAudioPacket(garbage, sizeof garbage);
  instance->OnAudioPacket(garbage, 0);
  EXPECT_EQ(test_drivers::Drivers().Microphone(kIndex).writes, 0u);
}

// The simulated microphone drains at 48,000 samples a second while 20 ms packets arrive at the same
// pace (both on one fake clock), so a backlog stays where it is unless thinning wears it down.
TEST(MicrophoneBacklog, ThinningBringsAHeldBacklogDown) {
  FakeClock clock;
  simdrivers::SimulatedDriversConfig config = test_drivers::QuietConfig();
  config.clock = &clock;
  simdrivers::SimulatedDrivers drivers(config);
  uint32_t error = 0;
  std::unique_ptr<platform::Device> microphone =
      drivers.Open(drivers.Config().PathOf(simdrivers::MicrophoneDevice(0)), &error);
  ASSERT_NE(microphone, nullptr);
  constexpr uint32_t kStartBytes = 96000;  // one second of sound
  drivers.SetMicrophoneBacklog(0, kStartBytes);
  MicrophoneWriter writer;
  writer.SetDevice(microphone.get());
  const std::vector<int16_t> packet(960, 100);
  double secondsToHalf = 0;
  for (int i = 1; i <= 400; ++i) {  // 8 s of sound
    clock.Advance(0.02);
    writer.Write(packet.data(), packet.size());
    if (secondsToHalf == 0 && drivers.MicrophoneBacklog(0) < kStartBytes / 2) secondsToHalf = 0.02 * i;
  }
  const uint32_t end = drivers.MicrophoneBacklog(0);
  if (secondsToHalf > 0)
    std::printf("microphone backlog: start %u bytes, after 8 s %u bytes, half after %.1f s\n", kStartBytes, end,
                secondsToHalf);
  else
    std::printf("microphone backlog: start %u bytes, after 8 s %u bytes (not yet half)\n", kStartBytes, end);
  writer.SetDevice(nullptr);
  EXPECT_LT(end, kStartBytes * 3 / 4);
}

}  // namespace
}  // namespace kavex
