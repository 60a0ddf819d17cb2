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

#ifdef _WIN32
#include <windows.h>
#endif

#include "export_table.h"
#include "kavex_engine.h"
#include "platform/named_objects.h"
#include "sim_control.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kSection[] = "Global\\242C35CFE1974E5AB3C65625F6B417DD";
constexpr size_t kSectionSize = 49865088;
constexpr size_t kConsumerCount = 4;
constexpr size_t kSlots[2] = {32, 24883296};
constexpr size_t kLengthOffset = 24883232;
constexpr size_t kTimeOffset = 24883236;
constexpr size_t kReadyOffset = 24883240;
constexpr size_t kDemandedWidth = 49864172;
constexpr size_t kDemandedHeight = 49864176;
constexpr size_t kDemandedFps = 49864180;
constexpr size_t kDemandedCode = 49864184;
constexpr size_t kControlFlag = 49864572;
constexpr size_t kControlValue = 49864576;

uint32_t LoadU32(const uint8_t* at) {
  return __atomic_load_n(reinterpret_cast<const uint32_t*>(at), __ATOMIC_ACQUIRE);
}
void StoreU32(uint8_t* at, uint32_t value) {
  __atomic_store_n(reinterpret_cast<uint32_t*>(at), value, __ATOMIC_RELEASE);
}
float LoadF32(const uint8_t* at) {
  const uint32_t bits = LoadU32(at);
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}

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

#ifndef _WIN32
ExportTable LinkedEngine() {
  ExportTable table;
  table.EInitialize = &EInitialize;
  table.EOpen = &EOpen;
  table.EUninitialize = &EUninitialize;
  table.SetCallback = &SetCallback;
  table.ESetVideoFormat = &ESetVideoFormat;
  return table;
}
#endif

// One picture the consumer took from the section.
struct Taken {
  float time = 0;
  uint32_t length = 0;
  std::vector<uint8_t> bytes;  // only when asked for
};

// The consumer of camera 0: publishes the section and takes pictures as the driver would.
class Consumer {
 public:
  bool Publish(uint32_t width, int32_t height, uint32_t code) {
    uint32_t error = 0;
    section_ = kavex::platform::SharedSection::CreateOrOpen(kSection, kSectionSize, &error);
    if (section_ == nullptr) return false;
    uint8_t* s = section_->data();
    Demand(width, height, code);
    StoreU32(s + kConsumerCount, 1);
    StoreU32(s, 6);  // the layout, last: the section is complete
    return true;
  }
  void Demand(uint32_t width, int32_t height, uint32_t code) {
    uint8_t* s = section_->data();
    const float fps = 30.0f;
    uint32_t bits;
    std::memcpy(&bits, &fps, 4);
    StoreU32(s + kDemandedFps, bits);
    StoreU32(s + kDemandedCode, code);
    StoreU32(s + kDemandedHeight, static_cast<uint32_t>(height));
    StoreU32(s + kDemandedWidth, width);
  }
  // The driver's control state, as its consumer changes it.
  void Controls(uint32_t value, uint32_t flag) {
    StoreU32(section_->data() + kControlValue, value);
    StoreU32(section_->data() + kControlFlag, flag);
  }
  // Takes every ready picture for `seconds`; keeps the bytes of the last one.
  std::vector<Taken> TakeFor(double seconds, size_t keepBytes) {
    std::vector<Taken> taken;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    uint8_t* s = section_->data();
    while (Clock::now() < end) {
      for (size_t slot : kSlots) {
        uint8_t* base = s + slot;
        if (LoadU32(base + kReadyOffset) == 0) continue;
        Taken picture;
        picture.time = LoadF32(base + kTimeOffset);
        picture.length = LoadU32(base + kLengthOffset);
        if (keepBytes != 0) picture.bytes.assign(base, base + keepBytes);
        StoreU32(base + kReadyOffset, 0);
        taken.push_back(std::move(picture));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return taken;
  }

 private:
  std::unique_ptr<kavex::platform::SharedSection> section_;
};

// Luma of pixel (x, y) in a YUY2 picture of the given width.
int Luma(const std::vector<uint8_t>& picture, int width, int x, int y) {
  return picture[2 * (static_cast<size_t>(y) * width + x)];
}

bool Near(int value, int expected, int tolerance) { return std::abs(value - expected) <= tolerance; }

bool WaitForState(int value, int timeoutMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      for (int state : g_states)
        if (state == value) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
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

#ifdef _WIN32
  HMODULE module = LoadLibraryA("engine-simdrivers.dll");
  ASSERT_NE(module, nullptr) << GetLastError();
  ExportTable e;
  e.EInitialize = reinterpret_cast<EInitializeFn>(reinterpret_cast<void*>(GetProcAddress(module, "EInitialize")));
  e.EOpen = reinterpret_cast<EOpenFn>(reinterpret_cast<void*>(GetProcAddress(module, "EOpen")));
  e.EUninitialize = reinterpret_cast<EUninitializeFn>(reinterpret_cast<void*>(GetProcAddress(module, "EUninitialize")));
  e.SetCallback = reinterpret_cast<SetCallbackFn>(reinterpret_cast<void*>(GetProcAddress(module, "SetCallback")));
  ASSERT_TRUE(e.EInitialize && e.EOpen && e.EUninitialize && e.SetCallback);
#else
  const ExportTable e = LinkedEngine();
#endif
  e.EInitialize(1, &OnState);
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
  const std::string request = SimControl::Field(sim.Command("last 11"), "hex");
  ASSERT_EQ(request.size(), 48u) << request;
  EXPECT_EQ(SimControl::HexU32(request, 8), 1u) << "codec";
  EXPECT_EQ(SimControl::HexU32(request, 12), 640u);
  EXPECT_EQ(SimControl::HexU32(request, 16), 480u);

  // Let the stream settle, then count what reaches the consumer against what the phone sent.
  consumer.TakeFor(1.0, 0);
  const uint64_t sentBefore = VideoSent(sim);
  const std::vector<Taken> pictures = consumer.TakeFor(4.0, 2 * 640 * 480);
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
  const std::string lastAck = SimControl::Field(acks.back(), "hex");
  EXPECT_GT(SimControl::HexF32(lastAck, 8), 0.0f) << "decode seconds";
  EXPECT_GT(SimControl::HexF32(lastAck, 12), 0.0f) << "delivery seconds";
  EXPECT_LT(SimControl::HexF32(lastAck, 8), 1.0f);

  // The consumer switches to 1280 × 720: the output re-forms, and the phone is asked for that size.
  ASSERT_EQ(sim.Command("clear"), "ok");
  consumer.Demand(1280, 720, 1);
  ASSERT_EQ(sim.Command("wait-received 11 30000"), "ok");
  const std::string second = SimControl::Field(sim.Command("last 11"), "hex");
  EXPECT_EQ(SimControl::HexU32(second, 12), 1280u);
  EXPECT_EQ(SimControl::HexU32(second, 16), 720u);
  consumer.TakeFor(1.0, 0);
  const std::vector<Taken> large = consumer.TakeFor(1.0, 2 * 1280 * 720);
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
    const std::string hex = SimControl::Field(line, "hex");
    seen.emplace(SimControl::HexU32(hex, 4), SimControl::HexU32(hex, 8));
  }
  const std::set<std::pair<uint32_t, uint32_t>> expectedControls = {{4, 7}, {2, 1}};
  EXPECT_EQ(seen, expectedControls);

  // The host heard the picture size once: it never changed.
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::vector<std::pair<int, int>> expected = {{1280, 720}};
    EXPECT_EQ(g_sizes, expected);
  }
  e.EUninitialize(0);
}

}  // namespace
