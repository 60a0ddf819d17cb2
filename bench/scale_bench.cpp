// Four cameras at once, as a user with four phones sees them: four phone simulators on the test
// network, each announcing itself and streaming the 1280x720 H.264 fixture at 30 fps with Opus
// audio, and one engine with four instances open, which takes the phones by its own choice (lower
// instances first, each the best free phone). Each camera runs in section mode with this program as
// its consumer, demanding 1280x720 YUY2 at 30 fps and taking every picture as a driver would. After
// all four stream and settle, a fixed window is measured: per instance the video packets its phone
// sent, those its decoder took (the phone counts the acknowledgements), the pictures that reached
// the consumer and how many were lost on the way; for the whole process the CPU time it used. Prints
// figures; never judges them. It fails only when an instance never streams, its pictures are not
// the fixture's, or the engine cannot be set up.
//
//   scale_bench --phone KEY=ADDR:PORT (four times, each phone's key and control channel)
//               [--seconds S] [--settle-seconds S] [--stream-timeout S] [--poll-ms N]
//               [--watch NAME=PID ...] (other Linux processes whose CPU time to report)
//
// Started by bench/run_scale_bench.sh, which starts the phones. Under Windows the engine is
// engine-simdrivers.dll, loaded as a host loads it; natively it is the same code linked in, with
// the simulated microphone drivers (section mode needs a microphone but no camera device).
//
// Why section mode: the engine converts each picture straight into the consumer's memory, so the
// consumer's part is a flag and a few loads per picture and the process's CPU time is the engine's
// own; every picture the consumer takes carries the phone's timestamp, so pictures lost between
// the decoder and the consumer can be told apart from packets lost before it. In control-code mode
// the simulated driver would copy and record each 1.8 MB picture in this process and count that
// copy as the engine's.
//
// Threads: main drives everything; the consumer thread polls the four sections; the engine calls
// the callbacks on its own threads, which record under one mutex.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera_section_layout.h"
#include "camera_section_peer.h"
#include "cpu_time.h"
#include "engine_library.h"
#include "kavex_engine.h"
#include "platform/named_objects.h"
#include "common/error_log.h"
#include "sim_control.h"
#include "wait_until.h"
#include "wire_records.h"
#ifndef _WIN32
#include "scoped_simulated_drivers.h"
#endif

namespace {

namespace layout = testkit::camera_section;
using testkit::Clock;
using testkit::ProcessCpuSeconds;
using testkit::RunningUnderWine;
using testkit::ThreadCpuSeconds;

constexpr int kCameras = 4;
constexpr uint32_t kWidth = 1280;
constexpr int32_t kHeight = 720;
constexpr float kFps = 30.0f;
constexpr uint32_t kPictureBytes = 2 * kWidth * kHeight;
constexpr const char* kPhoneFormat = "1280x720@30";

// The fixture's white bar (the leftmost seventh), sampled once per picture: proof that the
// consumer took real pictures of the right size rather than counting flags.
constexpr int kSampleX = 91;
constexpr int kSampleY = 240;
bool LooksWhite(int luma) { return luma >= 170 && luma <= 190; }

struct Options {
  double seconds = 20;
  double settleSeconds = 3;
  // How often the consumer looks for pictures. Two slots hold 66 ms of a 30 fps stream: a consumer
  // slower than that has the engine overwrite pictures it never took.
  int pollMs = 2;
  double streamTimeout = 120;
  std::vector<std::pair<std::string, std::string>> phones;  // key, control address
  std::vector<std::pair<std::string, std::string>> watched;  // name, Linux process id
};

// ---- CPU time of others -----------------------------------------------------------------

// How long the machine's cores were idle, from the kernel's /proc/stat (under Wine through its Z:
// drive), in USER_HZ ticks (100 a second): what is left of the window's core-seconds was spent on
// anything, this program, the phones and whatever else runs. The idle and iowait counts are
// measured; the busy counts beside them are only sampled at the tick and miss short bursts of
// work, such as a picture's, so they are not used.
struct MachineIdle {
  bool valid = false;
  unsigned long long ticks = 0;
};

MachineIdle ReadMachineIdle() {
  MachineIdle idle;
  std::ifstream stat(RunningUnderWine() ? "Z:\\proc\\stat" : "/proc/stat");
  std::string label;
  if (!(stat >> label) || label != "cpu") return idle;
  unsigned long long value = 0;
  for (int field = 0; field < 5 && stat >> value; ++field) {
    if (field == 3 || field == 4) idle.ticks += value;  // idle, iowait
    idle.valid = field == 4;
  }
  return idle;
}

// The kernel's count of another Linux process's CPU seconds (/proc/PID/stat, in USER_HZ ticks,
// 100 a second on Linux). Under Wine the file is opened by the wineserver on the program's behalf
// (so "self" there would be the wineserver): only ever ask for a process by its number. Negative
// when it cannot be read.
double KernelCpuSeconds(const std::string& pid) {
  const std::string path = RunningUnderWine() ? "Z:\\proc\\" + pid + "\\stat" : "/proc/" + pid + "/stat";
  std::ifstream stat(path);
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t nameEnd = text.rfind(')');
  if (nameEnd == std::string::npos) return -1;
  std::istringstream fields(text.substr(nameEnd + 1));
  std::string field;
  unsigned long long user = 0, system = 0;
  // After the name: the state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) user = std::strtoull(field.c_str(), nullptr, 10);
    if (index == 15) system = std::strtoull(field.c_str(), nullptr, 10);
  }
  return fields ? static_cast<double>(user + system) / 100.0 : -1;
}

// ---- the cameras' consumer -------------------------------------------------------------------

// What the consumer saw of one camera while recording.
struct CameraTakes {
  std::vector<float> times;  // each picture's time (the phone's timestamp), in the order taken
  size_t wrongPictures = 0;  // wrong length or not the fixture's colours
  size_t outOfOrder = 0;     // a time not later than the previous picture's
};

// The consumer of all four cameras, playing the driver: publishes each camera's section with its
// demand before the engine opens, then takes every ready picture (older slot first) and frees its
// slot. It copies nothing, so its CPU time stays small next to the engine's.
// Thread: Publish, Begin, End and Stop on main; the polling loop on its own thread.
class SectionConsumer {
 public:
  explicit SectionConsumer(int pollMs) : poll_(pollMs) {}
  ~SectionConsumer() { Stop(); }

  std::string Publish() {
    for (int camera = 0; camera < kCameras; ++camera) {
      uint32_t error = 0;
      sections_[camera] = kavex::platform::SharedSection::CreateOrOpen(layout::SectionName(camera), layout::kBytes, &error);
      if (sections_[camera] == nullptr)
        return "cannot create camera " + std::to_string(camera) + "'s section (error " + std::to_string(error) + ")";
      peers_[camera] = std::make_unique<testkit::CameraSectionPeer>(sections_[camera]->data());
      peers_[camera]->Publish({kWidth, kHeight, kFps, layout::kYuy2});
    }
    return {};
  }

  void Start() {
    thread_ = std::thread([this] { Run(); });
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    if (thread_.joinable()) thread_.join();
  }

  // From the next poll on, every picture taken is recorded; returns once the loop has started.
  void Begin() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (CameraTakes& takes : takes_) takes = CameraTakes{};
    wantRecording_ = true;
    changed_.wait(lock, [this] { return recording_ || stop_; });
  }

  // Ends the recording after the poll under way; the consumer thread's CPU seconds meanwhile.
  double End() {
    std::unique_lock<std::mutex> lock(mutex_);
    wantRecording_ = false;
    changed_.wait(lock, [this] { return !recording_ || stop_; });
    return cpuEnd_ - cpuBegin_;
  }

  CameraTakes takes(int camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    return takes_[camera];
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      if (wantRecording_ != recording_) {
        (wantRecording_ ? cpuBegin_ : cpuEnd_) = ThreadCpuSeconds();
        recording_ = wantRecording_;
        changed_.notify_all();
      }
      for (int camera = 0; camera < kCameras; ++camera) TakeReady(camera);
      lock.unlock();
      std::this_thread::sleep_for(poll_);
      lock.lock();
    }
  }

  // Under mutex_ (only this thread touches the sections after Publish).
  void TakeReady(int camera) {
    testkit::CameraSectionPeer& peer = *peers_[camera];
    for (;;) {
      const int slot = peer.OldestReady();
      if (slot < 0) return;
      const float slotTime = peer.Time(slot);
      const uint32_t length = peer.Length(slot);
      const int luma = peer.Data(slot)[(static_cast<size_t>(kSampleY) * kWidth + kSampleX) * 2];
      peer.Free(slot);
      if (!recording_) continue;
      CameraTakes& takes = takes_[camera];
      if (length != kPictureBytes || !LooksWhite(luma)) ++takes.wrongPictures;
      if (!takes.times.empty() && slotTime <= takes.times.back()) ++takes.outOfOrder;
      takes.times.push_back(slotTime);
    }
  }

  const std::chrono::milliseconds poll_;
  std::unique_ptr<kavex::platform::SharedSection> sections_[kCameras];
  std::unique_ptr<testkit::CameraSectionPeer> peers_[kCameras];
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  bool wantRecording_ = false;
  bool recording_ = false;
  double cpuBegin_ = 0;
  double cpuEnd_ = 0;
  CameraTakes takes_[kCameras];
};

// ---- the host's side -------------------------------------------------------------------------

// What the engine told the host, per instance.
struct InstanceNews {
  std::vector<int> states;  // the open result first, then phone states
  Clock::time_point streamingSince{};
  bool streaming = false;
  std::string selectedKey;  // the phone the instance streams from, by its list entry
  std::pair<int, int> videoSize{0, 0};
};

std::mutex g_newsMutex;
InstanceNews g_news[kCameras];

InstanceNews News(int instance) {
  std::lock_guard<std::mutex> lock(g_newsMutex);
  return g_news[instance];
}

void KAVEX_STDCALL OnState(int instance, int value) {
  if (instance < 0 || instance >= kCameras) return;
  std::lock_guard<std::mutex> lock(g_newsMutex);
  InstanceNews& news = g_news[instance];
  const bool openResult = news.states.empty();
  news.states.push_back(value);
  if (openResult) return;
  const bool streaming = value == KAVEX_PHONE_STREAMING;
  if (streaming && !news.streaming) news.streamingSince = Clock::now();
  news.streaming = streaming;
}
void KAVEX_STDCALL OnVideoSize(int instance, int width, int height) {
  if (instance < 0 || instance >= kCameras) return;
  std::lock_guard<std::mutex> lock(g_newsMutex);
  g_news[instance].videoSize = {width, height};
}
void KAVEX_STDCALL OnPhoneList(int instance, int, const char* key, const char*, int selected) {
  if (instance < 0 || instance >= kCameras || selected == 0 || key == nullptr) return;
  std::lock_guard<std::mutex> lock(g_newsMutex);
  g_news[instance].selectedKey = key;
}
int KAVEX_STDCALL OnFormatChoice(int, const char*) { return 0; }  // automatic: the consumer's size

const char* StateName(int state) {
  switch (state) {
    case KAVEX_PHONE_IDLE: return "Idle";
    case KAVEX_PHONE_FAILED: return "Failed";
    case KAVEX_PHONE_CONNECTING: return "Connecting";
    case KAVEX_PHONE_STREAMING: return "Streaming";
    case KAVEX_PHONE_PASSCODE_NEEDED: return "PasscodeNeeded";
    default: return "?";
  }
}

// The engine's exports through the test kit: natively linked in, under Windows from
// engine-simdrivers.dll.
// Thread: main.
class Engine {
 public:
  std::string Load() {
#ifndef _WIN32
    drivers_ = std::make_unique<kavex::simdrivers::ScopedSimulatedDrivers>();
#endif
    std::string error;
    library_.Load("engine-simdrivers.dll", &error);
    return error;
  }

  // Creates and opens the four instances; empty when every open succeeded.
  std::string Open() {
    const testkit::EngineExports& e = library_.exports();
    e.EInitialize(kCameras, &OnState);
    initialized_ = true;
    for (int camera = 0; camera < kCameras; ++camera)
      e.SetCallback(camera, nullptr, &OnVideoSize, &OnPhoneList, nullptr, nullptr, nullptr, nullptr, nullptr,
                    nullptr, &OnFormatChoice);
    std::string problems;
    for (int camera = 0; camera < kCameras; ++camera) {
      const int opened = e.EOpen();
      const InstanceNews news = News(camera);
      const int result = news.states.empty() ? 99 : news.states.front();
      if (opened != camera || result != 0)
        problems += " instance " + std::to_string(camera) + ": EOpen returned " + std::to_string(opened) +
                    ", open result " + std::to_string(result) + ";";
    }
    return problems;
  }

  void Close() {
    if (initialized_) {
      for (int camera = kCameras - 1; camera >= 0; --camera) library_.exports().EUninitialize(camera);
      initialized_ = false;
    }
    library_.Unload();
#ifndef _WIN32
    drivers_.reset();
#endif
  }

  ~Engine() { Close(); }

 private:
  testkit::EngineLibrary library_;
  bool initialized_ = false;
#ifndef _WIN32
  std::unique_ptr<kavex::simdrivers::ScopedSimulatedDrivers> drivers_;
#endif
};

// ---- the phones ------------------------------------------------------------------------------

struct Phone {
  std::string key;
  std::string control;
  std::unique_ptr<SimControl> sim;
};

std::string State(Phone& phone) { return phone.sim->Command("state", 5000); }

uint64_t Number(const std::string& reply, const char* key) {
  return std::strtoull(SimControl::Field(reply, key).c_str(), nullptr, 10);
}

// The decode acknowledgements a phone received: the timestamp each echoes, and the durations the
// engine measured for the picture before it.
struct Acks {
  std::vector<float> times;
  std::vector<double> decodeMs;
  std::vector<double> deliveryMs;
};

Acks ReadAcks(Phone& phone) {
  Acks acks;
  for (const std::string& line : phone.sim->ListCommand("received 9", 30000)) {
    const auto ack = testkit::wire_records::DecodeAcknowledgement(SimControl::Field(line, "hex"));
    if (!ack) continue;
    acks.times.push_back(ack->timestamp);
    acks.decodeMs.push_back(ack->decodeSeconds * 1000.0);
    acks.deliveryMs.push_back(ack->deliverySeconds * 1000.0);
  }
  return acks;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// ---- the run ---------------------------------------------------------------------------------

struct InstanceResult {
  bool measured = false;
  std::string key;
  uint64_t sent = 0;
  uint64_t decoded = 0;  // acknowledged: taken by the decoder
  uint64_t delivered = 0;
  uint64_t lostAfterDecoder = 0;  // acknowledged, within the taken range, never taken
  size_t wrongPictures = 0;
  size_t outOfOrder = 0;
  double decodeMs = 0;
  double deliveryMs = 0;
  int stateChanges = 0;  // states reported during the window: the stream was interrupted
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--seconds") {
      options->seconds = std::atof(value.c_str());
    } else if (arg == "--settle-seconds") {
      options->settleSeconds = std::atof(value.c_str());
    } else if (arg == "--poll-ms") {
      options->pollMs = std::atoi(value.c_str());
    } else if (arg == "--stream-timeout") {
      options->streamTimeout = std::atof(value.c_str());
    } else if (arg == "--phone" || arg == "--watch") {
      const size_t equals = value.find('=');
      if (equals == std::string::npos || equals == 0) return false;
      (arg == "--phone" ? options->phones : options->watched)
          .emplace_back(value.substr(0, equals), value.substr(equals + 1));
    } else {
      return false;
    }
  }
  return options->seconds > 0 && options->settleSeconds >= 0 && options->streamTimeout > 0 && options->pollMs > 0 &&
         options->phones.size() == kCameras;
}

Phone* PhoneByKey(std::vector<Phone>& phones, const std::string& key) {
  for (Phone& phone : phones)
    if (phone.key == key) return &phone;
  return nullptr;
}


// Waits until every instance streams from one of the phones, each phone at the consumer's size;
// prints each instance as it gets there. True when all four did.
bool WaitForStreams(std::vector<Phone>& phones, double timeoutSeconds, Clock::time_point start) {
  bool reported[kCameras] = {};
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
  for (;;) {
    int ready = 0;
    for (int camera = 0; camera < kCameras; ++camera) {
      const InstanceNews news = News(camera);
      Phone* phone = news.streaming ? PhoneByKey(phones, news.selectedKey) : nullptr;
      if (phone == nullptr) continue;
      const std::string state = State(*phone);
      if (SimControl::Field(state, "streaming") != "1" || SimControl::Field(state, "format") != kPhoneFormat) continue;
      ++ready;
      if (!reported[camera]) {
        reported[camera] = true;
        std::printf("  instance %d streams from phone %s (%s) at %.1f s\n", camera, phone->key.c_str(),
                    phone->control.c_str(), testkit::SecondsSince(start));
      }
    }
    if (ready == kCameras) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

void PrintWhyNotStreaming(std::vector<Phone>& phones) {
  std::printf("\nNot every instance streams; what each was told and what each phone says:\n");
  for (int camera = 0; camera < kCameras; ++camera) {
    const InstanceNews news = News(camera);
    std::string states;
    for (size_t i = 1; i < news.states.size(); ++i) states += std::string(" ") + StateName(news.states[i]);
    std::printf("  instance %d: open result %d, states:%s, selected phone %s\n", camera,
                news.states.empty() ? 99 : news.states.front(), states.empty() ? " none" : states.c_str(),
                news.selectedKey.empty() ? "none" : news.selectedKey.c_str());
  }
  for (Phone& phone : phones) std::printf("  phone %s: %s\n", phone.key.c_str(), State(phone).c_str());
}

InstanceResult Evaluate(const CameraTakes& takes, const Acks& acks, uint64_t sent) {
  InstanceResult result;
  result.measured = true;
  result.sent = sent;
  result.decoded = acks.times.size();
  result.delivered = takes.times.size();
  result.wrongPictures = takes.wrongPictures;
  result.outOfOrder = takes.outOfOrder;
  if (!takes.times.empty()) {
    const std::set<float> taken(takes.times.begin(), takes.times.end());
    const float first = *taken.begin();
    const float last = *taken.rbegin();
    for (float time : acks.times)
      if (time >= first && time <= last && taken.count(time) == 0) ++result.lostAfterDecoder;
  }
  result.decodeMs = Median(acks.decodeMs);
  result.deliveryMs = Median(acks.deliveryMs);
  return result;
}

void PrintResults(const InstanceResult (&results)[kCameras], double wall, double processCpu,
                  double benchCpu, const MachineIdle& machineBegin, const MachineIdle& machineEnd) {
  std::printf("\nPer instance, over the %.1f s window (the window's edges shift the counts by a picture or two):\n", wall);
  std::printf("  sent: video packets the phone sent; decoded: packets the decoder took (the phone's\n"
              "  acknowledgements); delivered: pictures the consumer took; dropped: sent - delivered;\n"
              "  after decoder: decoded but never taken (overwritten in the section before the consumer\n"
              "  took them, or no picture came out); ms: medians of the engine's decode and delivery\n"
              "  times as the acknowledgements report them\n");
  std::printf("  %-8s %-5s %7s %8s %9s %8s %7s %13s %10s %12s\n", "instance", "phone", "sent", "decoded",
              "delivered", "dropped", "%", "after decoder", "decode ms", "delivery ms");
  InstanceResult total;
  int streaming = 0;
  for (int camera = 0; camera < kCameras; ++camera) {
    const InstanceResult& r = results[camera];
    if (!r.measured) {
      std::printf("  %-8d never streamed\n", camera);
      continue;
    }
    ++streaming;
    const long long dropped = static_cast<long long>(r.sent) - static_cast<long long>(r.delivered);
    std::printf("  %-8d %-5s %7llu %8llu %9llu %8lld %7.2f %13llu %10.3f %12.3f\n", camera, r.key.c_str(),
                static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.decoded),
                static_cast<unsigned long long>(r.delivered), dropped,
                r.sent > 0 ? 100.0 * static_cast<double>(dropped) / static_cast<double>(r.sent) : 0.0,
                static_cast<unsigned long long>(r.lostAfterDecoder), r.decodeMs, r.deliveryMs);
    total.sent += r.sent;
    total.decoded += r.decoded;
    total.delivered += r.delivered;
    total.lostAfterDecoder += r.lostAfterDecoder;
  }
  const long long dropped = static_cast<long long>(total.sent) - static_cast<long long>(total.delivered);
  std::printf("  %-8s %-5s %7llu %8llu %9llu %8lld %7.2f %13llu\n", "total", "", static_cast<unsigned long long>(total.sent),
              static_cast<unsigned long long>(total.decoded), static_cast<unsigned long long>(total.delivered), dropped,
              total.sent > 0 ? 100.0 * static_cast<double>(dropped) / static_cast<double>(total.sent) : 0.0,
              static_cast<unsigned long long>(total.lostAfterDecoder));
  std::printf("  delivered pictures per second, all instances: %.1f (the phones send %.1f)\n",
              static_cast<double>(total.delivered) / wall, static_cast<double>(total.sent) / wall);

  for (int camera = 0; camera < kCameras; ++camera) {
    const InstanceResult& r = results[camera];
    if (r.wrongPictures > 0)
      std::printf("  instance %d: %zu pictures of the wrong length or not the fixture's colours\n", camera, r.wrongPictures);
    if (r.outOfOrder > 0) std::printf("  instance %d: %zu pictures out of order\n", camera, r.outOfOrder);
    if (r.stateChanges > 0)
      std::printf("  instance %d: %d phone state changes during the window (the stream was interrupted)\n", camera,
                  r.stateChanges);
  }

  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::printf("\nCPU of this process over the window: %.2f s user+system in %.2f s wall\n", processCpu, wall);
  std::printf("  = %.1f %% of one core, %.1f %% of all %u cores\n", 100.0 * processCpu / wall,
              100.0 * processCpu / wall / cores, cores);
  std::printf("  of which the bench's own consumer thread: %.2f s (%.1f %% of one core); the engine's share:\n"
              "  %.1f %% of one core, %.1f %% per streaming instance\n",
              benchCpu, 100.0 * benchCpu / wall, 100.0 * (processCpu - benchCpu) / wall,
              100.0 * (processCpu - benchCpu) / wall / std::max(1, streaming));
  if (machineBegin.valid && machineEnd.valid) {
    const double idleSeconds = static_cast<double>(machineEnd.ticks - machineBegin.ticks) / 100.0;
    const double busy = std::min(1.0, std::max(0.0, 1.0 - idleSeconds / (wall * cores)));
    std::printf("  the whole machine meanwhile (every process, the phones and other work included): %.1f %% of\n"
                "  all cores busy\n", 100.0 * busy);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: scale_bench --phone KEY=ADDR:PORT (x4) [--seconds S] [--settle-seconds S]"
                 " [--stream-timeout S] [--poll-ms N] [--watch NAME=PID ...]\n  (run through bench/run_scale_bench.sh)\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const Clock::time_point start = Clock::now();
  // Whatever an earlier program left in the error log is not this run's.
  kavex::ErrorLog::TakeStoredEntry();

  std::printf("scale_bench: four phones stream 1280x720 H.264 at 30 fps (and Opus audio) into four cameras at once\n");
  std::printf("machine: %s, cores %u, build %s\n", testkit::PlatformName().c_str(), std::thread::hardware_concurrency(),
              KAVEX_BENCH_BUILD_TYPE);
  std::printf("cameras: section mode, each consumer demands 1280x720 YUY2 at 30 fps; this program takes\n"
              "  every picture (older slot first, polled every %d ms) without copying it\n",
              options.pollMs);
  std::printf("fixture: tests/fixtures/h264-1280x720.psimpkt, LIGHT content (flat colour bars, about 110\n"
              "  bytes a packet): decoding it costs far less than a phone's stream, so the CPU figures are\n"
              "  a floor, weighted towards the engine's fixed costs per packet and picture\n");

  std::vector<Phone> phones;
  for (const auto& [key, control] : options.phones) {
    Phone phone{key, control, std::make_unique<SimControl>(control)};
    if (!phone.sim->connected()) {
      std::fprintf(stderr, "scale_bench: no phone simulator control channel at %s\n", control.c_str());
      return 2;
    }
    phones.push_back(std::move(phone));
  }

  SectionConsumer consumer(options.pollMs);
  const std::string published = consumer.Publish();
  if (!published.empty()) {
    std::fprintf(stderr, "scale_bench: %s\n", published.c_str());
    return 1;
  }
  consumer.Start();

  Engine engine;
  const std::string loaded = engine.Load();
  if (!loaded.empty()) {
    std::fprintf(stderr, "scale_bench: %s\n", loaded.c_str());
    return 1;
  }
  const std::string opened = engine.Open();
  if (!opened.empty()) {
    std::fprintf(stderr, "scale_bench: opening failed:%s\n", opened.c_str());
    return 1;
  }
  std::printf("four instances open at %.1f s; waiting for four streams (up to %.0f s)\n", testkit::SecondsSince(start),
              options.streamTimeout);

  const bool allStream = WaitForStreams(phones, options.streamTimeout, start);
  if (!allStream) PrintWhyNotStreaming(phones);

  // Which instance streams from which phone, fixed for the window.
  Phone* phoneOf[kCameras] = {};
  size_t statesBefore[kCameras] = {};
  std::set<std::string> keysInUse;
  for (int camera = 0; camera < kCameras; ++camera) {
    const InstanceNews news = News(camera);
    Phone* phone = news.streaming ? PhoneByKey(phones, news.selectedKey) : nullptr;
    if (phone != nullptr && keysInUse.insert(phone->key).second) phoneOf[camera] = phone;
    statesBefore[camera] = news.states.size();
  }

  std::printf("settling %.0f s, then measuring %.0f s\n", options.settleSeconds, options.seconds);
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(options.settleSeconds * 1000)));

  // The window. The consumer starts recording first and the phones' counts are read right after;
  // at the end the phones are read first and the consumer stops right after, so that the pictures
  // in flight at either edge roughly cancel out.
  // Clearing the phone's records starts its count of acknowledgements (and of complaints).
  uint64_t sentBefore[kCameras] = {};
  uint64_t complaintsBefore[kCameras] = {};
  consumer.Begin();
  for (int camera = 0; camera < kCameras; ++camera) {
    if (phoneOf[camera] == nullptr) continue;
    const std::string state = State(*phoneOf[camera]);
    phoneOf[camera]->sim->Command("clear", 5000);
    sentBefore[camera] = Number(state, "video_sent");
    complaintsBefore[camera] = Number(state, "complaints");
  }
  const MachineIdle machineBegin = ReadMachineIdle();
  const double cpuBegin = ProcessCpuSeconds();
  std::vector<double> watchedBegin;
  for (const auto& watched : options.watched) watchedBegin.push_back(KernelCpuSeconds(watched.second));
  const Clock::time_point windowStart = Clock::now();

  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));

  const double wall = testkit::SecondsSince(windowStart);
  const double cpuEnd = ProcessCpuSeconds();
  std::vector<double> watchedEnd;
  for (const auto& watched : options.watched) watchedEnd.push_back(KernelCpuSeconds(watched.second));
  const MachineIdle machineEnd = ReadMachineIdle();
  uint64_t sentAfter[kCameras] = {};
  for (int camera = 0; camera < kCameras; ++camera)
    if (phoneOf[camera] != nullptr) sentAfter[camera] = Number(State(*phoneOf[camera]), "video_sent");
  const double consumerCpu = consumer.End();

  InstanceResult results[kCameras];
  bool picturesRight = true;
  for (int camera = 0; camera < kCameras; ++camera) {
    if (phoneOf[camera] == nullptr) continue;
    const CameraTakes takes = consumer.takes(camera);
    results[camera] = Evaluate(takes, ReadAcks(*phoneOf[camera]), sentAfter[camera] - sentBefore[camera]);
    results[camera].key = phoneOf[camera]->key;
    const InstanceNews news = News(camera);
    results[camera].stateChanges = static_cast<int>(news.states.size() - statesBefore[camera]);
    if (news.selectedKey != phoneOf[camera]->key) results[camera].stateChanges += 1;
    if (takes.times.empty() || takes.wrongPictures > 0) picturesRight = false;
  }
  PrintResults(results, wall, cpuEnd - cpuBegin, consumerCpu, machineBegin, machineEnd);
  if (!options.watched.empty()) {
    std::printf("other processes over the window (the kernel's tick count, %% of one core):\n ");
    for (size_t i = 0; i < options.watched.size(); ++i) {
      if (watchedBegin[i] < 0 || watchedEnd[i] < 0) {
        std::printf(" %s n/a", options.watched[i].first.c_str());
      } else {
        std::printf(" %s %.2f s (%.1f %%)", options.watched[i].first.c_str(), watchedEnd[i] - watchedBegin[i],
                    100.0 * (watchedEnd[i] - watchedBegin[i]) / wall);
      }
    }
    std::printf("\n");
  }

  // The phone checks every message the engine sends against its layout.
  for (int camera = 0; camera < kCameras; ++camera) {
    if (phoneOf[camera] == nullptr) continue;
    const uint64_t complaints = complaintsBefore[camera] + Number(State(*phoneOf[camera]), "complaints");
    if (complaints != 0)
      std::printf("phone %s: %llu complaints about what the engine sent\n", phoneOf[camera]->key.c_str(),
                  static_cast<unsigned long long>(complaints));
  }

  engine.Close();
  consumer.Stop();
  const std::string logged = kavex::ErrorLog::TakeStoredEntry().text;
  if (!logged.empty()) std::printf("\nengine error log: %s\n", logged.c_str());
  return allStream && picturesRight ? 0 : 1;
}
