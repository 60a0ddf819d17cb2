// The microphone path: the drop interval from the backlog history, thinning, write requests of at
// most 1,920 samples and the history update, against a microphone driver that answers a scripted
// fill level.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "media/audio_thinning.h"
#include "output/driver_requests.h"
#include "output/microphone_writer.h"
#include "platform/device_drivers.h"

namespace kavex {
namespace {

// A microphone driver whose reported fill level is set by the test: after each write it reports
// `level` plus the bytes just written, so the engine's history holds exactly `level`.
class ScriptedMicrophone : public platform::Device {
 public:
  bool Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
               uint32_t* returned) override {
    *returned = 0;
    if (code != driver_requests::kWrite || outputLength < 8 || inputLength % 2 != 0) return false;
    if (fail) return false;
    const int16_t* samples = static_cast<const int16_t*>(input);
    requests.emplace_back(samples, samples + inputLength / 2);
    const uint32_t reply[2] = {inputLength, level + inputLength};
    std::memcpy(output, reply, sizeof reply);
    *returned = sizeof reply;
    return true;
  }
  uint32_t level = 0;
  bool fail = false;
  std::vector<std::vector<int16_t>> requests;
};

std::vector<int16_t> Ramp(size_t count) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) samples[i] = static_cast<int16_t>(i);
  return samples;
}

uint32_t IntervalForSteadyLevel(uint32_t level) {
  uint32_t history[audio_thinning::kHistoryLength];
  for (uint32_t& value : history) value = level;
  return audio_thinning::DropInterval(history);
}

TEST(AudioThinning, IntervalFollowsTheSteadyBacklog) {
  uint32_t zeros[audio_thinning::kHistoryLength] = {};
  EXPECT_EQ(audio_thinning::DropInterval(zeros), 0u);
  EXPECT_EQ(IntervalForSteadyLevel(799), 0u);
  EXPECT_EQ(IntervalForSteadyLevel(800), 960u);
  EXPECT_EQ(IntervalForSteadyLevel(1600), 480u);
  // k between 481 and 960: every sample but the first goes.
  EXPECT_EQ(IntervalForSteadyLevel(481 * 800), 1u);
  EXPECT_EQ(IntervalForSteadyLevel(960 * 800), 1u);
  // k above 960: the interval truncates to 0 and nothing is dropped.
  EXPECT_EQ(IntervalForSteadyLevel(961 * 800), 0u);
  // Jitter counts against the backlog: min 4,000 with a spread of 3,000 leaves an excess of 500.
  uint32_t jittery[audio_thinning::kHistoryLength];
  for (int i = 0; i < audio_thinning::kHistoryLength; ++i) jittery[i] = i % 2 ? 7000 : 4000;
  EXPECT_EQ(audio_thinning::DropInterval(jittery), 960u);
  // One write still below the steady level keeps min low.
  jittery[7] = 0;
  EXPECT_EQ(audio_thinning::DropInterval(jittery), 0u);
}

class MicrophoneWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { writer.SetDevice(&microphone); }
  // Fills the history with 100 successful writes at this level.
  void SettleAt(uint32_t level) {
    microphone.level = level;
    const std::vector<int16_t> tiny = Ramp(1);
    for (int i = 0; i < audio_thinning::kHistoryLength; ++i) writer.Write(tiny.data(), tiny.size());
    microphone.requests.clear();
  }

  ScriptedMicrophone microphone;
  MicrophoneWriter writer;
};

TEST_F(MicrophoneWriterTest, NothingIsDroppedBeforeAHundredWrites) {
  microphone.level = 100000;
  const std::vector<int16_t> packet = Ramp(960);
  for (int i = 0; i < 99; ++i) writer.Write(packet.data(), packet.size());
  ASSERT_EQ(microphone.requests.size(), 99u);
  for (const std::vector<int16_t>& request : microphone.requests) EXPECT_EQ(request, packet);
  EXPECT_EQ(writer.historyAt(0), 100000u);
  EXPECT_EQ(writer.writeCount(), 99u);
}

TEST_F(MicrophoneWriterTest, ThinsAtTheIntervalAndKeepsTheFirstSample) {
  SettleAt(1600);  // interval 480
  const std::vector<int16_t> packet = Ramp(960);
  writer.Write(packet.data(), packet.size());
  ASSERT_EQ(microphone.requests.size(), 1u);
  std::vector<int16_t> expected = packet;
  expected.erase(expected.begin() + 480);
  EXPECT_EQ(microphone.requests[0], expected);

  SettleAt(800);  // interval 960: a 20 ms packet is whole, a 40 ms one loses sample 960
  writer.Write(packet.data(), packet.size());
  const std::vector<int16_t> longPacket = Ramp(1920);
  writer.Write(longPacket.data(), longPacket.size());
  ASSERT_EQ(microphone.requests.size(), 2u);
  EXPECT_EQ(microphone.requests[0], packet);
  expected = longPacket;
  expected.erase(expected.begin() + 960);
  EXPECT_EQ(microphone.requests[1], expected);

  SettleAt(600 * 800);  // interval 1: only the first sample survives
  writer.Write(packet.data(), packet.size());
  ASSERT_EQ(microphone.requests.size(), 1u);
  EXPECT_EQ(microphone.requests[0], std::vector<int16_t>{0});
}

TEST_F(MicrophoneWriterTest, LongPacketsGoOutInRequestsOfAtMost1920Samples) {
  // 120 ms of sound in one Opus packet, nothing to drop: three full requests.
  const std::vector<int16_t> packet = Ramp(5760);
  writer.Write(packet.data(), packet.size());
  ASSERT_EQ(microphone.requests.size(), 3u);
  std::vector<int16_t> joined;
  for (const std::vector<int16_t>& request : microphone.requests) {
    EXPECT_LE(request.size(), MicrophoneWriter::kMaxSamplesPerRequest);
    joined.insert(joined.end(), request.begin(), request.end());
  }
  EXPECT_EQ(joined, packet);

  // Thinned, the positions are those of the whole packet: 1,600 → interval 480 drops 11 samples.
  SettleAt(1600);
  writer.Write(packet.data(), packet.size());
  joined.clear();
  for (const std::vector<int16_t>& request : microphone.requests) {
    EXPECT_LE(request.size(), MicrophoneWriter::kMaxSamplesPerRequest);
    joined.insert(joined.end(), request.begin(), request.end());
  }
  ASSERT_EQ(joined.size(), 5760u - 11u);
  for (int16_t sample : joined) EXPECT_FALSE(sample != 0 && sample % 480 == 0) << sample;
}

TEST_F(MicrophoneWriterTest, FailedWritesAndMissingDevicesLeaveTheHistoryAlone) {
  SettleAt(5000);
  const uint32_t before = writer.writeCount();
  microphone.fail = true;
  microphone.level = 0;
  const std::vector<int16_t> packet = Ramp(960);
  writer.Write(packet.data(), packet.size());
  EXPECT_EQ(writer.writeCount(), before);
  for (int slot = 0; slot < audio_thinning::kHistoryLength; ++slot) EXPECT_EQ(writer.historyAt(slot), 5000u);

  microphone.fail = false;
  writer.SetDevice(nullptr);
  writer.Write(packet.data(), packet.size());
  EXPECT_TRUE(microphone.requests.empty());
  EXPECT_EQ(writer.writeCount(), before);
}

TEST_F(MicrophoneWriterTest, LevelBelowTheWriteCountsAsEmpty) {
  // A driver reporting less than what was just written has no backlog: level 0, not a wrapped
  // number that would thin everything.
  class ShortReport : public platform::Device {
   public:
    bool Control(uint32_t, const void*, uint32_t, void* output, uint32_t, uint32_t* returned) override {
      const uint32_t reply[2] = {0, 10};
      std::memcpy(output, reply, sizeof reply);
      *returned = 8;
      return true;
    }
  } device;
  writer.SetDevice(&device);
  const std::vector<int16_t> packet = Ramp(960);
  writer.Write(packet.data(), packet.size());
  EXPECT_EQ(writer.historyAt(0), 0u);
  EXPECT_EQ(writer.writeCount(), 1u);
}

}  // namespace
}  // namespace kavex
