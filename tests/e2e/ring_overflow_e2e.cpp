// A decoder thread that falls behind costs the phone some pictures, never its session. This program
// is the host (natively the engine linked in, with the simulated drivers of the test support; under
// Windows engine-simdrivers.dll, loaded as a host loads it: either way camera 0 is reached by control
// codes and has a consumer) and, for a few seconds, a camera driver that keeps camera 0's named
// mutex. The output step waits for that mutex on the decoder thread for every picture, so the
// thread falls behind while the phone goes on streaming; its pictures are the 1920 × 1080 fixture's
// keyframes padded to a fixed size with filler (run_ring_overflow_e2e.sh), heavy enough to fill the
// packet ring within two seconds. The ring then drops packets with record 144, and once the mutex
// is free the pictures reach the camera again on the same session.
// What the phone sees is checked in both builds: the records, the session, and the acknowledgements
// (one per packet the decoder thread takes, carrying the previous picture's decode and delivery
// durations), which slow to one a second while the output step waits out the mutex and catch up
// after the release. The simulated camera's pictures and the microphone's writes are read natively
// only: under Windows they live inside the DLL. The mutex is a real named object there, the one
// the DLL's output step waits for.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "camera_section_layout.h"
#include "engine_library.h"
#include "kavex_engine.h"
#include "platform/named_objects.h"
#include "settings_fixture.h"
#include "sim_control.h"
#include "wait_until.h"
#include "wire_records.h"
#ifndef _WIN32
#include "test_drivers.h"
#endif

namespace {

namespace wire = testkit::wire_records;
using testkit::Clock;
// Camera 0's consumer size (the simulated camera's default answer): the 16:9 fixture fills it.
constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr unsigned long kRingBytes = 7000000;

std::mutex g_mutex;
std::vector<int> g_states;

void KAVEX_STDCALL OnState(int instance, int value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (instance == 0) g_states.push_back(value);
}
int KAVEX_STDCALL OnFormatChoice(int, const char*) { return 0; }

std::vector<int> States() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_states;
}

bool WaitForState(int value, int timeoutMs) {
  return testkit::WaitUntil(
      [value] {
        for (int state : States())
          if (state == value) return true;
        return false;
      },
      timeoutMs);
}

#ifndef _WIN32
// Luma of pixel (x, y) of a YUY2 picture kWidth wide.
int Luma(const std::vector<uint8_t>& picture, int x, int y) {
  return picture[2 * (static_cast<size_t>(y) * kWidth + x)];
}

bool Near(int value, int expected) { return std::abs(value - expected) <= 8; }

// The fixture's picture scaled to kWidth × kHeight: the bars' top two thirds and the band's rows
// below the moving square.
void ExpectFixturePicture(const std::vector<uint8_t>& picture, const char* when) {
  ASSERT_EQ(picture.size(), 2u * kWidth * kHeight) << when;
  EXPECT_TRUE(Near(Luma(picture, 45, 120), 180)) << when << ": white bar " << Luma(picture, 45, 120);
  EXPECT_TRUE(Near(Luma(picture, 137, 120), 168)) << when << ": yellow bar " << Luma(picture, 137, 120);
  EXPECT_TRUE(Near(Luma(picture, 594, 120), 28)) << when << ": blue bar " << Luma(picture, 594, 120);
  EXPECT_TRUE(Near(Luma(picture, 320, 350), 16)) << when << ": band " << Luma(picture, 320, 350);
}

// Which of the stream's two keyframes a picture shows, by where the white square in the band is:
// 0 at the left edge (packet 0), 1 in the middle (packet 30), -1 neither.
int Keyframe(const std::vector<uint8_t>& picture) {
  if (picture.size() != 2u * kWidth * kHeight) return -1;
  const bool left = Near(Luma(picture, 30, 300), 235);
  const bool middle = Near(Luma(picture, 310, 300), 235);
  if (left && Near(Luma(picture, 310, 300), 16)) return 0;
  if (middle && Near(Luma(picture, 30, 300), 16)) return 1;
  return -1;
}

// New pictures keep reaching the camera: within 2 s the last one shows each keyframe in turn.
bool CameraShowsBothKeyframes(const kavex::simdrivers::SimulatedDrivers& drivers) {
  bool seen[2] = {false, false};
  const Clock::time_point end = Clock::now() + std::chrono::seconds(2);
  while (!(seen[0] && seen[1]) && Clock::now() < end) {
    const int keyframe = Keyframe(drivers.LastPicture(0));
    if (keyframe >= 0) seen[keyframe] = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return seen[0] && seen[1];
}

#endif

// The engine hands its stored error entry to a phone only in answer to the phone's hello (or
// capabilities), and stores one entry at a time: later records are dropped until it is taken. So
// the phone says hello now and then, each time taking whatever was recorded since the last time.
class ErrorReports {
 public:
  explicit ErrorReports(SimControl& sim) : sim_(sim) {}

  // The texts of the ErrorReports that arrived since the last call, after one more hello.
  std::vector<std::string> Take() {
    const std::string answers = sim_.Command("count 4");
    EXPECT_EQ(answers.rfind("ok ", 0), 0u) << answers;
    const unsigned long expected = std::strtoul(answers.c_str() + 3, nullptr, 10) + 1;
    EXPECT_EQ(sim_.Command("hello").rfind("ok", 0), 0u);
    // The report, if any, goes out before the hello's answer on the same connection.
    EXPECT_EQ(sim_.Command("wait-received 4 10000 " + std::to_string(expected)), "ok");
    const std::vector<std::string> lines = sim_.ListCommand("received 12");
    std::vector<std::string> texts;
    for (size_t i = seen_; i < lines.size(); ++i) {
      const std::optional<std::string> text = wire::DecodeErrorReport(SimControl::Field(lines[i], "hex"));
      if (!text) {
        ADD_FAILURE() << "not an ErrorReport: " << lines[i];
        continue;
      }
      texts.push_back(*text);
    }
    seen_ = lines.size();
    return texts;
  }

 private:
  SimControl& sim_;
  size_t seen_ = 0;
};

// The records that reach the phone while and after the driver keeps the mutex: the overflow's (its
// tag checked against the packets' size), the two mutex waits', and anything else, which is a fault.
class RecordTally {
 public:
  explicit RecordTally(unsigned long packetBytes) : packetBytes_(packetBytes) {}

  void Add(const std::string& text) {
    std::smatch parts;
    if (std::regex_match(text, parts, overflowText_)) {
      if (overflow_.empty()) overflow_ = text;
      // A whole packet refused for want of room: with packets of one size, the ring holds as many
      // as fit and the rest of it is free.
      EXPECT_EQ(std::stoul(parts[1]), packetBytes_) << text;
      EXPECT_EQ(std::stoul(parts[2]), kRingBytes % packetBytes_) << text;
    } else if (text == "we:s:673") {
      ++outputWaits_;  // the output step's wait for the mutex (decoder thread)
    } else if (text == "we:s:633") {
      ++feederWaits_;  // the feeder's
    } else {
      ADD_FAILURE() << "unexpected record: " << text;
    }
  }
  const std::string& overflow() const { return overflow_; }
  int outputWaits() const { return outputWaits_; }
  int feederWaits() const { return feederWaits_; }

 private:
  const unsigned long packetBytes_;
  const std::regex overflowText_{"we:sd\\.L([0-9]+)\\.F([0-9]+):144"};
  std::string overflow_;
  int outputWaits_ = 0;
  int feederWaits_ = 0;
};

// The latest acknowledgement. lag: the simulator's clock when it arrived minus the timestamp it
// echoes, i.e. how far decoding lags behind the phone, plus a constant. decode and delivery: the
// durations it reports for the picture before.
struct Ack {
  double lag = 0;
  float decode = 0;
  float delivery = 0;
};
Ack LastAck(SimControl& sim) {
  const std::string last = sim.Command("last 9");
  const std::optional<wire::Acknowledgement> decoded = wire::DecodeAcknowledgement(SimControl::Field(last, "hex"));
  Ack ack;
  if (!decoded) {
    ADD_FAILURE() << last;
    return ack;
  }
  ack.decode = decoded->decodeSeconds;
  ack.delivery = decoded->deliverySeconds;
  ack.lag = std::strtod(SimControl::Field(last, "ms").c_str(), nullptr) / 1000.0 - decoded->timestamp;
  return ack;
}

// The acknowledgements the simulator has received so far (the test never clears its records).
unsigned long AckCount(SimControl& sim) {
  const std::string answer = sim.Command("count 9");
  EXPECT_EQ(answer.rfind("ok ", 0), 0u) << answer;
  return std::strtoul(answer.c_str() + 3, nullptr, 10);
}

unsigned long VideoSent(SimControl& sim) {
  return std::strtoul(SimControl::Field(sim.Command("state"), "video_sent").c_str(), nullptr, 10);
}

// The phone's view of a running stream over two seconds: the decoder thread takes every packet the
// phone sends (an acknowledgement each) as fast as they come.
void ExpectAcknowledgedStream(SimControl& sim, const char* when) {
  const unsigned long acks = AckCount(sim);
  const unsigned long sent = VideoSent(sim);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const unsigned long ackedNow = AckCount(sim) - acks;
  const unsigned long sentNow = VideoSent(sim) - sent;
  std::printf("ring overflow: %lu of %lu video packets acknowledged in 2 s %s\n", ackedNow, sentNow, when);
  EXPECT_GE(sentNow, 40u) << when;
  EXPECT_GE(ackedNow + 3, sentNow) << when;
}

TEST(RingOverflow, AStalledDecoderDropsPacketsWithRecord144AndTheStreamGoesOn) {
  const char* control = std::getenv("KAVEX_RING_SIM_CONTROL");
  const char* packetBytesText = std::getenv("KAVEX_RING_PACKET_BYTES");
  ASSERT_TRUE(control != nullptr && packetBytesText != nullptr) << "run through run_ring_overflow_e2e.sh";
  const unsigned long packetBytes = std::strtoul(packetBytesText, nullptr, 10);
  SimControl sim(control);
  ASSERT_TRUE(sim.connected());
  ErrorReports reports(sim);
  // The store keeps one entry until a phone takes it: one that an earlier program left (under Wine
  // the registry outlives the process) would hold back this run's records.
  settings_fixture::DeleteErrorValue();

#ifdef _WIN32
  // The DLL's camera 0 at its drivers' defaults: no section is published and its consumer is
  // active, so it is reached by control codes and the feeder hands it every picture.
#else
  // Camera 0 without a section, read by a consumer: control-code mode, and the feeder hands every
  // picture to the camera. The microphone's writes show that the receive thread keeps going.
  auto& drivers = test_drivers::Drivers();
  drivers.UpdateConfig([](kavex::simdrivers::SimulatedDriversConfig& c) { c.cameras[0].info.consumerActive = 1; });
  struct RestoreDrivers {
    ~RestoreDrivers() { test_drivers::Drivers().SetConfig(test_drivers::QuietConfig()); }
  } restore;
#endif
  testkit::EngineLibrary engine;
  std::string loadError;
  ASSERT_TRUE(engine.Load("engine-simdrivers.dll", &loadError)) << loadError;
  const testkit::EngineExports& e = engine.exports();

  e.EInitialize(1, &OnState);
  e.SetCallback(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &OnFormatChoice);
  ASSERT_EQ(e.EOpen(), 0);
  // Closed on every way out, so that no engine thread outlives the test into the program's exit.
  struct CloseEngine {
    EUninitializeFn uninitialize;
    ~CloseEngine() { uninitialize(0); }
  } close{e.EUninitialize};
  ASSERT_FALSE(States().empty());
  ASSERT_EQ(States()[0], 0) << "open result";

  // Found by its announcements, streaming, pictures in the camera, every packet acknowledged.
  ASSERT_TRUE(WaitForState(KAVEX_PHONE_STREAMING, 60000));
  const size_t statesWhileStreaming = States().size();
  ASSERT_EQ(sim.Command("wait-streaming 10000"), "ok");
#ifndef _WIN32
  ASSERT_TRUE(drivers.WaitForFrames(0, drivers.Camera(0).frames + 20, std::chrono::seconds(20)));
  ExpectFixturePicture(drivers.LastPicture(0), "before the stall");
  ASSERT_TRUE(CameraShowsBothKeyframes(drivers)) << "before the stall";
#endif
  ASSERT_EQ(sim.Command("wait-received 9 20000 " + std::to_string(AckCount(sim) + 20)), "ok");
  ExpectAcknowledgedStream(sim, "before the stall");
  for (const std::string& text : reports.Take()) ADD_FAILURE() << "recorded before the stall: " << text;
  const std::string session = SimControl::Field(sim.Command("state"), "session");
  const Ack before = LastAck(sim);
  EXPECT_GT(before.decode, 0.0f) << "no picture decoded before the stall";
  EXPECT_LT(before.delivery, 0.5f) << "the output step waited before the stall";

  // The driver keeps the mutex: no picture reaches the camera, the decoder thread falls behind and
  // the ring overflows.
  uint32_t error = 0;
  std::unique_ptr<kavex::platform::NamedMutex> mutex =
      kavex::platform::NamedMutex::CreateOrOpen(testkit::camera_section::MutexName(0), &error);
  ASSERT_NE(mutex, nullptr) << error;
  ASSERT_TRUE(mutex->Wait(5000));
  const Clock::time_point heldAt = Clock::now();
  const unsigned long acksAtHold = AckCount(sim);
#ifndef _WIN32
  const uint64_t framesAtHold = drivers.Camera(0).frames;
  const uint64_t audioAtHold = drivers.Microphone(0).writes;
#endif
  // Held for 4 s at least: the ring fills in about two, then drops what arrives for a while.
  RecordTally records(packetBytes);
  while ((records.overflow().empty() || Clock::now() < heldAt + std::chrono::seconds(4)) &&
         Clock::now() < heldAt + std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const std::string& text : reports.Take()) records.Add(text);
  }
  const double heldSeconds = std::chrono::duration<double>(Clock::now() - heldAt).count();
  const unsigned long acksWhileHeld = AckCount(sim) - acksAtHold;
  const Ack held = LastAck(sim);
#ifndef _WIN32
  const uint64_t framesWhileHeld = drivers.Camera(0).frames - framesAtHold;
  const uint64_t audioWhileHeld = drivers.Microphone(0).writes - audioAtHold;
#endif
  mutex->Release();
  std::printf(
      "ring overflow: \"%s\" after %.1f s with the mutex held; %lu packets acknowledged meanwhile, "
      "the last reporting a delivery of %.2f s\n",
      records.overflow().c_str(), heldSeconds, acksWhileHeld, held.delivery);
  ASSERT_FALSE(records.overflow().empty()) << "no record 144 within 20 s";
  // The output step waits its second for the mutex on every picture, so the decoder thread takes
  // about one packet a second (the phone sends 30).
  EXPECT_GE(held.delivery, 0.9f) << "the output step did not wait for the driver's mutex";
  EXPECT_LE(acksWhileHeld, heldSeconds + 3) << "the decoder thread kept pace past the driver's mutex";
#ifndef _WIN32
  std::printf("ring overflow: %llu microphone writes while the mutex was held\n",
              static_cast<unsigned long long>(audioWhileHeld));
  EXPECT_LE(framesWhileHeld, 1u) << "pictures reached the camera past the driver's mutex";
  EXPECT_GE(audioWhileHeld, 20u) << "the receive thread stalled with the decoder";
#endif

  // Released: pictures flow again, and the backlog is worked off (acknowledgements catch up with
  // the phone's clock).
  const Clock::time_point releasedAt = Clock::now();
  const unsigned long acksAtRelease = AckCount(sim);
  ASSERT_EQ(sim.Command("wait-received 9 20000 " + std::to_string(acksAtRelease + 30)), "ok")
      << AckCount(sim) - acksAtRelease << " packets acknowledged after the release; " << sim.Command("state");
#ifndef _WIN32
  const uint64_t framesAtRelease = drivers.Camera(0).frames;
  ASSERT_TRUE(drivers.WaitForFrames(0, framesAtRelease + 30, std::chrono::seconds(20)))
      << drivers.Camera(0).frames - framesAtRelease << " pictures after the release; " << sim.Command("state");
  ExpectFixturePicture(drivers.LastPicture(0), "after the stall");
  EXPECT_TRUE(CameraShowsBothKeyframes(drivers)) << "after the stall";
#endif
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Ack after = LastAck(sim);
  EXPECT_LT(after.lag - before.lag, 0.5) << "decoding still lags: " << before.lag << " s before, " << after.lag
                                         << " s after";
  EXPECT_GT(after.decode, 0.0f) << "no picture decoded after the stall";
  EXPECT_LT(after.delivery, 0.5f) << "the output step still waits after the release";
  ExpectAcknowledgedStream(sim, "after the stall");
  const unsigned long acksAfter = AckCount(sim) - acksAtRelease;
  const double afterSeconds = std::chrono::duration<double>(Clock::now() - releasedAt).count();
#ifndef _WIN32
  const uint64_t framesAfter = drivers.Camera(0).frames - framesAtRelease;
  std::printf("ring overflow: %llu pictures reached the camera in the %.1f s after the release\n",
              static_cast<unsigned long long>(framesAfter), afterSeconds);
#endif

  // The same session throughout, nothing the simulator objects to, no other record, and the host
  // never heard the phone leave Streaming.
  for (const std::string& text : reports.Take()) records.Add(text);
  const std::string state = sim.Command("state");
  EXPECT_EQ(SimControl::Field(state, "connected"), "1") << state;
  EXPECT_EQ(SimControl::Field(state, "session"), session) << state;
  EXPECT_EQ(SimControl::Field(state, "rejected"), "0") << state;
  EXPECT_EQ(SimControl::Field(state, "complaints"), "0") << ::testing::PrintToString(sim.ListCommand("complaints"));
  EXPECT_EQ(States().size(), statesWhileStreaming) << ::testing::PrintToString(States());
  std::printf(
      "ring overflow: %lu packets acknowledged in the %.1f s after the release; decoding lag %.2f s "
      "before the stall, %.2f s after (decode %.1f ms, delivery %.1f ms); mutex waits reported: "
      "%d output, %d feeder\n",
      acksAfter, afterSeconds, before.lag, after.lag, after.decode * 1000.0, after.delivery * 1000.0,
      records.outputWaits(), records.feederWaits());
}

}  // namespace
