// An iPhone on the cable, end to end: this program is the host (under Windows it loads
// engine-simdrivers.dll, natively the same engine is linked in) and camera 0's consumer. The USB
// multiplexing service is usbmuxd-sim on 127.0.0.1:27015 of the host's own network; the phone is a
// phone simulator on the phone side that never announces itself, so the service's connections to
// its ports 4697 and 4699 are the only way to it. The program plugs and unplugs the phone and
// restarts the service through the service's control channel.
//
// Started by run_usbmux_e2e.sh, one case per process (instance 0 is opened once per process).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_zero_consumer.h"
#include "engine_library.h"
#include "host_event_log.h"
#include "kavex_engine.h"
#include "settings_fixture.h"
#include "sim_control.h"
#include "wait_until.h"

namespace {

using testkit::Clock;

constexpr int kFirstStreamWaitMs = 60000;  // the engine's start under Wine included
constexpr int kStreamWaitMs = 30000;       // a probe every 2 s, a list refresh within 1.5 s, the connect
constexpr char kPhoneName[] = "Cable Phone";
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr size_t kPictureBytes = 2u * kWidth * kHeight;  // YUY2

using namespace hostlog;

// The fixture's colour bars, letterboxed into 640 × 480: its white bar where the placeholder is
// black.
int Luma(const std::vector<uint8_t>& picture, int x, int y) {
  return picture[2 * (static_cast<size_t>(y) * kWidth + x)];
}
bool ShowsThePhone(const std::vector<uint8_t>& picture) {
  return picture.size() == kPictureBytes && std::abs(Luma(picture, 45, 150) - 180) <= 8 &&
         std::abs(Luma(picture, 594, 150) - 28) <= 8;
}
bool ShowsThePlaceholder(const std::vector<uint8_t>& picture) {
  return picture.size() == kPictureBytes && Luma(picture, 45, 150) < 40 && Luma(picture, 594, 150) < 40;
}

// The placeholder comes at ten pictures a second, the phone's stream at thirty.
constexpr int kPlaceholderPicturesMin = 5;
constexpr int kPlaceholderPicturesMax = 15;

// What the consumer took in a while.
struct Taken {
  int pictures = 0;
  int ofThePhone = 0;
  std::vector<uint8_t> last;  // when the bytes were copied
};

// Camera 0's consumer (section mode, 640 × 480 YUY2).
class Consumer : public e2e::CameraZeroConsumer {
 public:
  bool Publish() { return CameraZeroConsumer::Publish(kWidth, kHeight); }
  Taken TakeFor(double seconds, bool copyBytes) {
    Taken taken;
    CameraZeroConsumer::TakeFor(seconds, copyBytes ? kPictureBytes : 0, [&](e2e::SlotTake& picture) {
      ++taken.pictures;
      if (!copyBytes) return;
      if (ShowsThePhone(picture.bytes)) ++taken.ofThePhone;
      taken.last = std::move(picture.bytes);
    });
    return taken;
  }
};

class Usbmux : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("KAVEX_USBMUX_SIM_CONTROL").empty()) GTEST_SKIP() << "run through run_usbmux_e2e.sh";
    service_ = std::make_unique<SimControl>(Env("KAVEX_USBMUX_SIM_CONTROL"));
    phone_ = std::make_unique<SimControl>(Env("KAVEX_USBMUX_PHONE_CONTROL"));
    ASSERT_TRUE(service_->connected()) << "no service simulator";
    ASSERT_TRUE(phone_->connected()) << "no phone simulator";
    ASSERT_TRUE(consumer_.Publish());
    settings_fixture::DeleteErrorValue();
    std::string error;
    ASSERT_TRUE(engine_.Load(testkit::EnginePathFor("engine-simdrivers.dll"), &error)) << error;
  }

  void TearDown() override {
    if (open_) engine_.exports().EUninitialize(0);
    engine_.Unload();
    settings_fixture::DeleteErrorValue();
  }

  void Open() {
    ASSERT_TRUE(OpenCameraZero(engine_.exports(), &opened_)) << "the open and its result";
    open_ = true;
  }

  // The cable: the device the runner described, its ports 4697 and 4699 at the phone simulator's.
  void Plug() { ASSERT_EQ(service_->Command("attach " + Env("KAVEX_USBMUX_DEVICE")), "ok"); }
  void Unplug() {
    const std::string device = Env("KAVEX_USBMUX_DEVICE");
    ASSERT_EQ(service_->Command("detach " + device.substr(0, device.find(' '))), "ok");
  }

  int Listeners() { return std::atoi(SimControl::Field(service_->Command("status"), "listeners").c_str()); }

  // Streaming over the cable since `since`: the state, the list's entry, and the phone's pictures
  // in the camera.
  void ExpectStreamingOverTheCable(Clock::time_point since, int timeoutMs, const char* what) {
    Clock::time_point streaming;
    ASSERT_TRUE(testkit::WaitUntil([&] { return StateSince(KAVEX_PHONE_STREAMING, since, &streaming); }, timeoutMs))
        << History(since);
    Timing(what, since, streaming);
    EXPECT_TRUE(
        testkit::WaitUntil([&] { return SelectedEntrySince(std::string(kPhoneName) + " [USB]", since); }, 10000))
        << History(since);
    EXPECT_FALSE(SelectedEntrySince(std::string(kPhoneName) + " [WiFi]", since)) << History(since);
    consumer_.TakeFor(1.0, false);
    const int live = consumer_.TakeFor(3.0, true).ofThePhone;
    std::printf("usbmux: %d of the phone's pictures reached the camera in 3 s\n", live);
    EXPECT_GE(live, 30);
    EXPECT_EQ(SimControl::Field(phone_->Command("state"), "complaints"), "0");
  }

  static void Timing(const char* what, Clock::time_point from, Clock::time_point to) {
    std::printf("[ TIMING   ] %s: %.2f s\n", what, std::chrono::duration<double>(to - from).count());
    std::fflush(stdout);
  }

  std::unique_ptr<SimControl> service_;
  std::unique_ptr<SimControl> phone_;
  Consumer consumer_;  // outlives the engine: the section stays mapped until the engine has closed
  testkit::EngineLibrary engine_;
  Clock::time_point opened_;
  bool open_ = false;
};

// Plugged in before the host starts: the monitor hears it at its subscription, probes port 4697
// and reports the phone, which is reached only through the service.
TEST_F(Usbmux, PhoneOnTheCableIsFoundAndStreamsIntoTheCamera) {
  Plug();
  Open();
  ExpectStreamingOverTheCable(opened_, kFirstStreamWaitMs, "open to Streaming over the cable");
  EXPECT_EQ(SimControl::Field(phone_->Command("state"), "announcements"), "0") << "never heard on the network";
}

// The cable is pulled while the phone streams: the stream ends, the camera goes back to the
// placeholder; plugged in again, the same process streams again.
TEST_F(Usbmux, UnpluggedWhileStreamingTheCameraFallsBackAndReplugStreamsAgain) {
  Plug();
  Open();
  ExpectStreamingOverTheCable(opened_, kFirstStreamWaitMs, "open to Streaming over the cable");
  if (HasFatalFailure()) return;

  const Clock::time_point unplugged = Clock::now();
  Unplug();
  ASSERT_TRUE(testkit::WaitUntil([] { return LastState() != KAVEX_PHONE_STREAMING; }, 15000)) << History(unplugged);
  Timing("unplugged to the end of Streaming", unplugged, Clock::now());
  // Natively the engine shares this process: the placeholder overwrites the older slot whether or
  // not it was taken, as the driver contract has it, and the thread sanitizer would take a copy of
  // its bytes for a race. There its pace alone tells it from the stream.
#if defined(__SANITIZE_THREAD__)
  constexpr bool kCopyPlaceholder = false;
#else
  constexpr bool kCopyPlaceholder = true;
#endif
  Taken second;
  EXPECT_TRUE(testkit::WaitUntil(
      [&] {
        second = consumer_.TakeFor(1.0, kCopyPlaceholder);
        return second.pictures >= kPlaceholderPicturesMin && second.pictures <= kPlaceholderPicturesMax &&
               (!kCopyPlaceholder || ShowsThePlaceholder(second.last));
      },
      15000))
      << "the camera does not show the placeholder: " << second.pictures << " pictures in the last second";
  EXPECT_NE(LastState(), KAVEX_PHONE_STREAMING) << History(unplugged);

  const Clock::time_point replugged = Clock::now();
  Plug();
  ExpectStreamingOverTheCable(replugged, kStreamWaitMs, "plugged in again to Streaming");
  EXPECT_GE(std::atoi(SimControl::Field(phone_->Command("state"), "sessions").c_str()), 2);
}

// Two cameras: camera 1 closes while camera 0 streams the cabled iPhone. The list is both cameras'
// and the phone is reported once per subscription: it must stay listed, so that after its goodbye
// camera 0 takes it again.
TEST_F(Usbmux, ASecondCameraClosedWhileTheFirstStreamsLeavesThePhoneToBeTakenAgain) {
  Plug();
  const testkit::EngineExports& e = engine_.exports();
  opened_ = Clock::now();
  e.EInitialize(2, &OnState);
  e.SetCallback(0, nullptr, nullptr, &OnPhoneList, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                &OnFormatChoice);
  e.SetCallback(1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &OnFormatChoice);
  ASSERT_EQ(e.EOpen(), 0);
  open_ = true;
  ASSERT_EQ(e.EOpen(), 1);  // whether its drivers are there or not: its teardown is what counts
  ExpectStreamingOverTheCable(opened_, kFirstStreamWaitMs, "open to Streaming over the cable");
  if (HasFatalFailure()) return;

  e.EUninitialize(1);
  const Clock::time_point goodbye = Clock::now();
  ASSERT_EQ(phone_->Command("goodbye"), "ok");
  ASSERT_TRUE(testkit::WaitUntil([&] { return StateSince(KAVEX_PHONE_IDLE, goodbye); }, 15000)) << History(goodbye);
  ExpectStreamingOverTheCable(goodbye, kStreamWaitMs, "goodbye to Streaming again");
  EXPECT_GE(std::atoi(SimControl::Field(phone_->Command("state"), "sessions").c_str()), 2);
}

// The service goes away while the phone streams through it: the stream ends with the service's
// connections, and once the service is back and reports the device again the phone streams again.
TEST_F(Usbmux, ServiceRestartedWhileStreamingStreamsAgain) {
  Plug();
  Open();
  ExpectStreamingOverTheCable(opened_, kFirstStreamWaitMs, "open to Streaming over the cable");
  if (HasFatalFailure()) return;

  const Clock::time_point restarted = Clock::now();
  ASSERT_EQ(service_->Command("restart 1000"), "ok");
  ASSERT_TRUE(testkit::WaitUntil([] { return LastState() != KAVEX_PHONE_STREAMING; }, 15000)) << History(restarted);
  Timing("restart to the end of Streaming", restarted, Clock::now());
  ASSERT_TRUE(testkit::WaitUntil([this] { return Listeners() == 1; }, 20000, 100))
      << "the engine's subscription did not come back";
  ExpectStreamingOverTheCable(restarted, kStreamWaitMs, "restart to Streaming again");
  EXPECT_GE(std::atoi(SimControl::Field(phone_->Command("state"), "sessions").c_str()), 2);
}

// The service goes away and comes back while nothing streams: the client's event thread
// subscribes again by itself, and a phone plugged in afterwards is found.
TEST_F(Usbmux, PhonePluggedInAfterAServiceRestartIsFound) {
  Open();
  ASSERT_TRUE(testkit::WaitUntil([this] { return Listeners() == 1; }, 30000)) << "the engine never subscribed";
  ASSERT_EQ(service_->Command("restart 1000"), "ok");
  const Clock::time_point restarted = Clock::now();
  ASSERT_TRUE(testkit::WaitUntil([this] { return Listeners() == 1; }, 20000, 100))
      << "the engine's subscription did not come back";
  Timing("restart to the engine's new subscription", restarted, Clock::now());
  EXPECT_FALSE(StateSince(KAVEX_PHONE_CONNECTING, opened_)) << "a phone before any was plugged in" << History(opened_);

  const Clock::time_point plugged = Clock::now();
  Plug();
  ExpectStreamingOverTheCable(plugged, kStreamWaitMs, "plugged in after the restart to Streaming");
}

}  // namespace
