// A phone on the test network works as a webcam from end to end: this program plays the host (it
// loads the engine, with simulated microphone drivers, and opens camera 0) and the camera's consumer
// (it publishes camera 0's shared section, asks for a size and takes every picture). The phone
// simulator on the phone side announces itself, offers HEVC and streams the 1280 × 720 fixture.
// Under Windows the engine is engine-simdrivers.dll, loaded as a host loads it; natively it is the
// same code linked in, with the simulated drivers of the test support.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera_zero_consumer.h"
#include "engine_library.h"
#include "kavex_engine.h"
#include "sim_control.h"
#include "wait_until.h"
#include "wire_records.h"

namespace {

namespace wire = testkit::wire_records;
using testkit::Clock;

std::mutex g_mutex;
std::vector<int> g_states;
std::vector<std::pair<int, int>> g_sizes;

void KAVEX_STDCALL OnState(int instance, int value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (instance == 0) g_states.push_back(value);
}
void KAVEX_STDCALL OnVideoSize(int, int width, int height) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_sizes.emplace_back(width, height);
}
int KAVEX_STDCALL OnFormatChoice(int, const char*) { return 0; }

using Consumer = e2e::CameraZeroConsumer;
using Taken = e2e::SlotTake;

// Every ready picture for `seconds`, with up to `keepBytes` of each.
std::vector<Taken> TakeFor(Consumer& consumer, double seconds, size_t keepBytes) {
  std::vector<Taken> taken;
  consumer.TakeFor(seconds, keepBytes, [&](Taken& picture) { taken.push_back(std::move(picture)); });
  return taken;
}

// Luma of pixel (x, y) in a YUY2 picture of the given width.
int Luma(const std::vector<uint8_t>& picture, int width, int x, int y) {
  return picture[2 * (static_cast<size_t>(y) * width + x)];
}

bool Near(int value, int expected, int tolerance) { return std::abs(value - expected) <= tolerance; }

bool WaitForState(int value, int timeoutMs) {
  return testkit::WaitUntil(
      [value] {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (int state : g_states)
          if (state == value) return true;
        return false;
      },
      timeoutMs);
}

uint64_t VideoSent(SimControl& sim) {
  return std::strtoull(SimControl::Field(sim.Command("state"), "video_sent").c_str(), nullptr, 10);
}

TEST(Video, ThePhonesPicturesReachTheCameraAtTheConsumersSize) {
  const char* control = std::getenv("KAVEX_VIDEO_SIM_CONTROL");
  ASSERT_NE(control, nullptr) << "run through run_video_e2e.sh";
  SimControl sim(control);
  ASSERT_TRUE(sim.connected());

  Consumer consumer;
  ASSERT_TRUE(consumer.Publish(640, 480, 1));  // YUY2, 640 × 480

  testkit::EngineLibrary engine;
  std::string error;
  ASSERT_TRUE(engine.Load("engine-simdrivers.dll", &error)) << error;
  const testkit::EngineExports& e = engine.exports();
  e.EInitialize(1, &OnState);
  // Closed on every way out, before the library goes: no engine thread outlives the test.
  struct CloseEngine {
    EUninitializeFn uninitialize;
    ~CloseEngine() { uninitialize(0); }
  } close{e.EUninitialize};
  e.SetCallback(0, nullptr, &OnVideoSize, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                &OnFormatChoice);
  ASSERT_EQ(e.EOpen(), 0);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ASSERT_FALSE(g_states.empty());
    ASSERT_EQ(g_states[0], 0) << "open result";
  }

  // Found by its announcements, connected, streaming.
  ASSERT_TRUE(WaitForState(KAVEX_PHONE_STREAMING, 60000));
  ASSERT_EQ(sim.Command("wait-received 11 30000"), "ok");
  // The phone offers HEVC; without hardware decoding the engine asks for H.264.
  const std::string requestHex = SimControl::Field(sim.Command("last 11"), "hex");
  const auto request = wire::DecodeFormatRequest(requestHex);
  ASSERT_TRUE(request) << requestHex;
  EXPECT_EQ(request->codec, 1u);
  EXPECT_EQ(request->width, 640u);
  EXPECT_EQ(request->height, 480u);

  // Let the stream settle, then count what reaches the consumer against what the phone sent.
  TakeFor(consumer, 1.0, 0);
  const uint64_t sentBefore = VideoSent(sim);
  const std::vector<Taken> pictures = TakeFor(consumer, 4.0, 2 * 640 * 480);
  const uint64_t sent = VideoSent(sim) - sentBefore;
  std::set<float> times;
  for (const Taken& picture : pictures) times.insert(picture.time);
  std::printf("video: %zu of %llu pictures reached the consumer in 4 s\n", times.size(),
              static_cast<unsigned long long>(sent));
  ASSERT_GE(sent, 90u);
  EXPECT_GE(times.size() + 2, sent * 9 / 10);

  // The picture: 1280 × 720 letterboxed into 640 × 480 (360 rows from row 60), bars and band as
  // the fixture draws them, black above and below.
  ASSERT_FALSE(pictures.empty());
  const std::vector<uint8_t>& last = pictures.back().bytes;
  EXPECT_EQ(pictures.back().length, 2u * 640 * 480);
  EXPECT_TRUE(Near(Luma(last, 640, 320, 30), 0, 2)) << "bar above";
  EXPECT_TRUE(Near(Luma(last, 640, 320, 450), 0, 2)) << "bar below";
  EXPECT_TRUE(Near(Luma(last, 640, 45, 150), 180, 8)) << "white bar";
  EXPECT_TRUE(Near(Luma(last, 640, 137, 150), 168, 8)) << "yellow bar";
  EXPECT_TRUE(Near(Luma(last, 640, 594, 150), 28, 8)) << "blue bar";
  EXPECT_TRUE(Near(Luma(last, 640, 10, 400), 16, 8)) << "band";

  // Every acknowledgement echoes a timestamp the phone sent (the simulator complains otherwise) and,
  // after the first pictures, carries the decode and delivery durations.
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "complaints"), "0");
  const std::vector<std::string> acks = sim.ListCommand("received 9");
  ASSERT_GT(acks.size(), 30u);
  const auto lastAck = wire::DecodeAcknowledgement(SimControl::Field(acks.back(), "hex"));
  ASSERT_TRUE(lastAck) << acks.back();
  EXPECT_GT(lastAck->decodeSeconds, 0.0f);
  EXPECT_GT(lastAck->deliverySeconds, 0.0f);
  EXPECT_LT(lastAck->decodeSeconds, 1.0f);

  // The consumer switches to 1280 × 720: the output re-forms, and the phone is asked for that size.
  ASSERT_EQ(sim.Command("clear"), "ok");
  consumer.Demand(1280, 720, 1);
  ASSERT_EQ(sim.Command("wait-received 11 30000"), "ok");
  const auto second = wire::DecodeFormatRequest(SimControl::Field(sim.Command("last 11"), "hex"));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->width, 1280u);
  EXPECT_EQ(second->height, 720u);
  TakeFor(consumer, 1.0, 0);
  const std::vector<Taken> large = TakeFor(consumer, 1.0, 2 * 1280 * 720);
  ASSERT_FALSE(large.empty());
  EXPECT_EQ(large.back().length, 2u * 1280 * 720);
  EXPECT_TRUE(Near(Luma(large.back().bytes, 1280, 91, 10), 180, 8)) << "white bar at the top row";
  EXPECT_TRUE(Near(Luma(large.back().bytes, 1280, 1190, 240), 28, 8)) << "blue bar";

  // The driver's control changes reach the phone once each: type 16 with code 4 and the value,
  // code 2 and the flag.
  ASSERT_EQ(sim.Command("clear"), "ok");
  consumer.Controls(7, 1);
  ASSERT_EQ(sim.Command("wait-received 16 10000 2"), "ok");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // many feeder ticks, no change
  const std::vector<std::string> controls = sim.ListCommand("received 16");
  ASSERT_EQ(controls.size(), 2u);
  std::set<std::pair<uint32_t, uint32_t>> seen;
  for (const std::string& line : controls) {
    const auto control = wire::DecodePhoneControl(SimControl::Field(line, "hex"));
    ASSERT_TRUE(control) << line;
    seen.emplace(control->code, control->value);
  }
  const std::set<std::pair<uint32_t, uint32_t>> expectedControls = {{4, 7}, {2, 1}};
  EXPECT_EQ(seen, expectedControls);

  // The host heard the picture size once: it never changed.
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::vector<std::pair<int, int>> expected = {{1280, 720}};
    EXPECT_EQ(g_sizes, expected);
  }
}

}  // namespace
