// What a phone or the network can do wrong to a streaming session, one row each, end to end: this
// program is the host (under Windows it loads engine-simdrivers.dll, natively the same engine is
// linked in) and camera 0's consumer. A phone simulator on the phone side announces itself and
// streams the H.264 fixture. Each row streams, applies one fault, and checks what the host hears
// (the state that ends the session, or none), the error record the engine keeps (it reaches the
// next phone that connects, so the simulator reads it) and the recovery: the same phone is
// chosen again and its pictures reach the camera, in the same process.
//
// Started by run_fault_matrix_e2e.sh. One engine serves every row (instance 0 is opened once per
// process); a row starts only once the phone streams again, so a row that fails leaves the next
// one a clean start. What only the runner can do (the phone's link going down, an address of the
// host's adapter changing) it does on request: a file <name>.req in KAVEX_FAULT_HOOKS is answered
// with <name>.done holding the exit code.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <ostream>
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
#include "wire_records.h"

namespace {

using namespace hostlog;
using testkit::SecondsSince;

// Generous protocol bounds: 10 s of silence ends a session, a drop is followed by a new choice
// within a few seconds, and under Wine everything is slower.
constexpr int kFirstStreamWaitMs = 60000;
constexpr int kEndWaitMs = 30000;
constexpr int kStreamWaitMs = 45000;
constexpr char kPhoneName[] = "Fault Phone";

// The fixture's colour bars in a YUY2 picture of either size the rows ask for: its white bar where
// the placeholder is black.
int Luma(const std::vector<uint8_t>& picture, int width, int x, int y) {
  return picture[2 * (static_cast<size_t>(y) * width + x)];
}
bool ShowsThePhone(const std::vector<uint8_t>& picture, int width, int height) {
  if (picture.size() != 2u * width * height) return false;
  if (width == 640)
    return std::abs(Luma(picture, 640, 45, 150) - 180) <= 8 && std::abs(Luma(picture, 640, 594, 150) - 28) <= 8;
  return std::abs(Luma(picture, 1280, 91, 10) - 180) <= 8 && std::abs(Luma(picture, 1280, 1190, 240) - 28) <= 8;
}

// Natively the engine shares this process, and a failed decode clears the slots without a lock,
// as the driver contract has it (the ready field is the hand-over): the thread sanitizer would
// take a copy of a slot being cleared for a race. There a picture of the phone is told by its
// length field alone, which only decoded pictures set (a clear empties it, the placeholder leaves
// it alone).
#if defined(__SANITIZE_THREAD__)
constexpr bool kCopyPictures = false;
#else
constexpr bool kCopyPictures = true;
#endif

// Camera 0's consumer (section mode, YUY2).
class Consumer : public e2e::CameraZeroConsumer {
 public:
  bool Publish() { return CameraZeroConsumer::Publish(640, 480); }
  // The pictures of the phone taken in `seconds`.
  int PhonePicturesIn(double seconds) {
    int ofThePhone = 0;
    const size_t bytes = Yuy2Bytes();
    TakeFor(seconds, kCopyPictures ? bytes : 0, [&](e2e::SlotTake& taken) {
      if (kCopyPictures ? ShowsThePhone(taken.bytes, width(), height()) : taken.length == bytes) ++ofThePhone;
    });
    return ofThePhone;
  }
};

// How the host hears the session end.
enum class Ending {
  kIdle,          // an orderly end (goodbye, silence)
  kFailed,        // the stream broke
  kIdleOrFailed,  // either: which one depends on whether an acknowledgement of ours was under way
  kNone,          // the stream goes on
  kAny,           // the fault may or may not end the session
};

class FaultMatrix;

struct Row {
  const char* name;
  void (*inject)(FaultMatrix& test);
  Ending ending;
  const char* record;  // the start of the error record; "" none; nullptr not checked
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// One engine, one consumer and the simulator's control channel for every row.
struct Shared {
  std::unique_ptr<SimControl> sim;
  Consumer consumer;  // outlives the engine: the section stays mapped until the engine has closed
  testkit::EngineLibrary engine;
  Clock::time_point opened;
  bool open = false;
  bool linkDown = false;
  bool refusing = false;
};
Shared* g_shared = nullptr;

// The texts of the error reports (type 12) the simulator received since its last `clear`.
std::vector<std::string> ReportTexts(SimControl& sim) {
  std::vector<std::string> texts;
  for (const std::string& line : sim.ListCommand("received 12")) {
    const std::string hex = SimControl::Field(line, "hex");
    std::string text;
    for (size_t i = 24; i + 1 < hex.size(); i += 2) {
      const char c = static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
      if (c == '\0') break;
      text.push_back(c);
    }
    texts.push_back(text);
  }
  return texts;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {
 public:
  static void SetUpTestSuite() {
    g_shared = new Shared;
    if (Env("KAVEX_FAULT_SIM_CONTROL").empty()) return;
    g_shared->sim = std::make_unique<SimControl>(Env("KAVEX_FAULT_SIM_CONTROL"));
    // A record left by another program would reach the first row's phone as if it were its own.
    settings_fixture::DeleteErrorValue();
    std::string error;
    if (!g_shared->sim->connected() || !g_shared->consumer.Publish() ||
        !g_shared->engine.Load(testkit::EnginePathFor("engine-simdrivers.dll"), &error)) {
      std::printf("fault matrix: set-up failed: %s\n", error.c_str());
      return;
    }
    g_shared->open = OpenCameraZero(g_shared->engine.exports(), &g_shared->opened);
  }
  static void TearDownTestSuite() {
    if (g_shared->open) g_shared->engine.exports().EUninitialize(0);
    g_shared->engine.Unload();
    settings_fixture::DeleteErrorValue();
    delete g_shared;
    g_shared = nullptr;
  }

  SimControl& sim() { return *g_shared->sim; }
  Consumer& consumer() { return g_shared->consumer; }

  // Asks the runner for something only it can do.
  void Hook(const std::string& name) {
    const std::string dir = Env("KAVEX_FAULT_HOOKS");
    ASSERT_FALSE(dir.empty()) << "run through run_fault_matrix_e2e.sh";
    const std::string done = dir + "/" + name + ".done";
    std::remove(done.c_str());
    std::ofstream(dir + "/" + name + ".req") << name << "\n";
    int code = -1;
    ASSERT_TRUE(testkit::WaitUntil([&] { return bool(std::ifstream(done) >> code); }, 30000)) << "hook " << name;
    std::remove(done.c_str());
    ASSERT_EQ(code, 0) << "hook " << name;
  }
  void LinkDown() {
    g_shared->linkDown = true;
    Hook("link_down");
  }
  void LinkUp() {
    Hook("link_up");
    g_shared->linkDown = false;
  }
  void Refuse(bool on) {
    g_shared->refusing = on;
    ASSERT_EQ(sim().Command(std::string("refuse ") + (on ? "on" : "off")), "ok");
  }
  void Command(const std::string& command) { ASSERT_EQ(sim().Command(command).substr(0, 2), "ok") << command; }
  static void Wait(double seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
  }
  int Sessions() { return std::atoi(SimControl::Field(sim().Command("state"), "sessions").c_str()); }

  // Waits for the end of the stream after `since`: Idle or Failed, whichever came first.
  int WaitForEnd(Clock::time_point since, int timeoutMs = kEndWaitMs) {
    int ending = -1;
    testkit::WaitUntil(
        [&] {
          Clock::time_point idle, failed;
          const bool isIdle = StateSince(KAVEX_PHONE_IDLE, since, &idle);
          const bool isFailed = StateSince(KAVEX_PHONE_FAILED, since, &failed);
          if (isIdle || isFailed)
            ending = isIdle && (!isFailed || idle <= failed) ? KAVEX_PHONE_IDLE : KAVEX_PHONE_FAILED;
          return ending >= 0;
        },
        timeoutMs);
    return ending;
  }

  // Streaming since `since`, and the phone's pictures in the camera.
  void ExpectStreaming(Clock::time_point since, int timeoutMs, const char* what) {
    ASSERT_TRUE(testkit::WaitUntil(
        [&] { return StateSince(KAVEX_PHONE_STREAMING, since) && LastState() == KAVEX_PHONE_STREAMING; }, timeoutMs))
        << what << History(g_shared->opened);
    // Pictures of the phone, once any earlier picture has been taken away.
    consumer().PhonePicturesIn(0.5);
    int pictures = 0;
    EXPECT_TRUE(testkit::WaitUntil([&] { return (pictures = consumer().PhonePicturesIn(2.0)) >= 10; }, 15000))
        << what << ": " << pictures << " of the phone's pictures in the last 2 s";
  }

 protected:
  void SetUp() override {
    if (g_shared->sim == nullptr) GTEST_SKIP() << "run through run_fault_matrix_e2e.sh";
    ASSERT_TRUE(g_shared->open) << "the engine did not open";
    // Whatever an earlier row left behind.
    if (g_shared->linkDown) LinkUp();
    if (g_shared->refusing) Refuse(false);
    Command("chaos off");
    if (consumer().width() != 640) consumer().Demand(640, 480);
    ASSERT_TRUE(testkit::WaitUntil([&] { return LastState() == KAVEX_PHONE_STREAMING; }, kFirstStreamWaitMs))
        << "the phone does not stream before the fault" << History(g_shared->opened);
    if (SimControl::Field(sim().Command("state"), "silenced") == "1") Command("resume");
    Command("clear");
  }
};

// ---------------------------------------------------------------------------------------------
// The faults

void Goodbye(FaultMatrix& t) { t.Command("goodbye close"); }
void Silence(FaultMatrix& t) { t.Command("silence"); }
// A message that never completes: one byte every half second.
void Trickle(FaultMatrix& t) { t.Command("trickle 500"); }
void Oversize(FaultMatrix& t) { t.Command("oversize 5000000 8"); }
void ShortHeader(FaultMatrix& t) { t.Command("short-header 2 8"); }
void Reset(FaultMatrix& t) { t.Command("reset"); }

// The session ends and the phone's port is closed while it goes on announcing itself: the
// engine's connects are refused for a while, and no stream can start.
void Refused(FaultMatrix& t) {
  t.Refuse(true);
  const int sessions = t.Sessions();
  const Clock::time_point since = Clock::now();
  t.Command("disconnect");
  t.Wait(8);
  EXPECT_FALSE(StateSince(KAVEX_PHONE_STREAMING, since)) << History(since);
  EXPECT_EQ(t.Sessions(), sessions) << "a connection got through the closed port";
  t.Refuse(false);
}

// The phone's link goes down without a word (no close, no reset: nothing leaves the phone's side),
// so the engine hears nothing more. The link comes back once the engine has given the session up;
// the phone's side of the old connection then meets the engine's reset.
void Vanish(FaultMatrix& t) {
  const Clock::time_point since = Clock::now();
  t.LinkDown();
  EXPECT_GE(t.WaitForEnd(since), 0) << "the vanished phone still counts as streaming" << History(since);
  t.LinkUp();
}

// An address of the host's adapter comes and goes (natively the engine hears it and restarts
// discovery; Wine never reports it).
void AddressChange(FaultMatrix& t) {
  t.Hook("address_add");
  t.Wait(3);
  t.Hook("address_del");
  t.Wait(2);
}

// The consumer asks for another size mid-stream, then for the first one again.
void DemandChange(FaultMatrix& t) {
  t.consumer().Demand(1280, 720);
  ASSERT_EQ(t.sim().Command("wait-received 11 30000"), "ok");
  const auto request = testkit::wire_records::DecodeFormatRequest(SimControl::Field(t.sim().Command("last 11"), "hex"));
  ASSERT_TRUE(request);
  EXPECT_EQ(request->width, 1280u);
  EXPECT_EQ(request->height, 720u);
  EXPECT_TRUE(testkit::WaitUntil([&] { return t.consumer().PhonePicturesIn(1.0) >= 5; }, 15000))
      << "no 1280 x 720 pictures of the phone";
  t.Command("clear");
  t.consumer().Demand(640, 480);
  ASSERT_EQ(t.sim().Command("wait-received 11 30000"), "ok");
}

// Random bytes in a second and a half of access units; the next keyframes are whole again.
void CorruptVideo(FaultMatrix& t) {
  t.Command("corrupt 45 20261208");
  t.Wait(3);
}

// A few seconds of hostile messages among the stream, then a plain phone that names itself again
// and says goodbye, and must be chosen again: whatever the hostile goodbyes, capabilities and
// challenges did, the engine connects afresh. (A hostile announcement on the session gives the
// phone's record its kind and name; one of a kind that is no phone's leaves it out of the choice
// until the phone names itself again, so the plain phone does.) The phone does not close: an
// engine still working through the hostile backlog would lose the rest of it to the reset that
// a close over unread acknowledgements brings, the phone's own announcement included; the
// engine ends the old connection itself once it has gone silent.
void Chaos(FaultMatrix& t) {
  t.Command("chaos 20261208 60");
  t.Wait(6);
  t.Command("chaos off");
  t.Wait(1);
  const int sessions = t.Sessions();
  std::string reply;
  std::string replies;
  for (int attempt = 0; attempt < 5 && reply != "ok"; ++attempt) {
    // A hostile goodbye may have the engine choose the phone again just now, and an engine behind
    // on the hostile backlog may leave a send of the phone's blocked until it ends the session:
    // the session to end is the one that streams.
    ASSERT_EQ(t.sim().Command("wait-streaming 30000"), "ok");
    reply = t.sim().Command("announcement");
    if (reply == "ok") reply = t.sim().Command("goodbye");
    replies += " \"" + reply + "\"";
  }
  ASSERT_EQ(reply, "ok") << replies;
  EXPECT_TRUE(testkit::WaitUntil([&] { return t.Sessions() > sessions; }, kStreamWaitMs)) << "not chosen again";
}

const Row kRows[] = {
    {"Goodbye", Goodbye, Ending::kIdle, ""},
    {"Silence", Silence, Ending::kIdle, ""},
    {"TrickleNeverCompletes", Trickle, Ending::kIdle, ""},
    {"OversizedHeader", Oversize, Ending::kFailed, "we:so.5000000.8-"},
    {"HeaderLengthBelowFour", ShortHeader, Ending::kFailed, "we:so.2.8"},
    {"ConnectionReset", Reset, Ending::kIdleOrFailed, nullptr},
    {"ConnectionRefused", Refused, Ending::kIdle, nullptr},
    {"PhoneVanishes", Vanish, Ending::kIdleOrFailed, nullptr},
    {"AddressChange", AddressChange, Ending::kAny, nullptr},
    {"ConsumerDemandsAnotherSize", DemandChange, Ending::kNone, ""},
    // Data the decoder finds invalid is the phone's problem: nothing is recorded.
    {"CorruptVideo", CorruptVideo, Ending::kNone, ""},
    {"ChaosThenAPlainPhone", Chaos, Ending::kAny, nullptr},
};

TEST_P(FaultMatrix, SessionEndsAsItShouldAndThePhoneStreamsAgain) {
  const Row& row = GetParam();
  const int sessionsBefore = Sessions();
  const Clock::time_point faulted = Clock::now();
  row.inject(*this);
  if (HasFatalFailure()) return;

  // What the host heard.
  const int ending = WaitForEnd(faulted, row.ending == Ending::kNone || row.ending == Ending::kAny ? 0 : kEndWaitMs);
  switch (row.ending) {
    case Ending::kIdle:
      EXPECT_EQ(ending, KAVEX_PHONE_IDLE) << History(faulted);
      break;
    case Ending::kFailed:
      EXPECT_EQ(ending, KAVEX_PHONE_FAILED) << History(faulted);
      break;
    case Ending::kIdleOrFailed:
      EXPECT_GE(ending, 0) << History(faulted);
      break;
    case Ending::kNone:
      EXPECT_LT(ending, 0) << "the stream should have gone on" << History(faulted);
      EXPECT_EQ(Sessions(), sessionsBefore);
      break;
    case Ending::kAny:
      break;
  }

  // The same phone again, and its pictures.
  const bool ended = ending >= 0 || Sessions() != sessionsBefore;
  ExpectStreaming(ended ? faulted : g_shared->opened, kStreamWaitMs,
                  ended ? "streaming again after the fault" : "streaming on through the fault");
  if (HasFatalFailure()) return;
  EXPECT_TRUE(SelectedEntrySince(std::string(kPhoneName) + " [WiFi]", g_shared->opened));

  // The error record goes to the next phone that connects: one more session collects it.
  std::string all;
  if (row.record != nullptr) {
    if (Sessions() == sessionsBefore) {
      const Clock::time_point again = Clock::now();
      Command("goodbye close");
      ExpectStreaming(again, kStreamWaitMs, "streaming after a goodbye that collects the record");
    }
    const std::vector<std::string> reports = ReportTexts(sim());
    for (const std::string& text : reports) all += " \"" + text + "\"";
    if (*row.record == '\0') {
      EXPECT_TRUE(reports.empty()) << "records:" << all;
    } else {
      ASSERT_EQ(reports.size(), 1u) << "records:" << all;
      EXPECT_EQ(reports[0].rfind(row.record, 0), 0u) << "record: " << reports[0];
    }
  }
  std::printf("[ FAULT    ] %s: ended with %d, streaming again %.1f s after the fault, %d sessions, records:%s\n",
              row.name, ending, SecondsSince(faulted), Sessions() - sessionsBefore, all.empty() ? " -" : all.c_str());
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
