// Several cameras at once, as a user with several phones sees them, and what cameras cost while no
// phone streams.
//
// Scale (the default): up to four phone simulators on the test network, each announcing itself
// and streaming one clip at 30 fps with Opus audio, and one engine with an instance open per
// phone, which takes the phones by its own choice (lower instances first, each the best free
// phone). Each camera runs in section mode with this program as its consumer, demanding the
// clip's size in YUY2 at 30 fps and taking every picture as a driver would. After all stream and
// settle, a fixed window is measured. Per instance: the video packets its phone sent in the window,
// those its decoder took (the phone's acknowledgements), the pictures that reached the consumer,
// and those lost on the way; the window is cut by the phones' own timestamps (the last one each
// counted at either edge), so the counts are exact, not off by the pictures in flight. For the
// process: its CPU time, and each engine thread's by name, so that a run that cannot keep up says
// where the time goes. It fails only when an instance never streams, its pictures are wrong (the
// committed fixture's white bar, or for a realistic stream: not the demanded size, not varied,
// out of order), or the engine cannot be set up. It never judges the figures.
//
// Idle (--idle N): no phone; N instances show their placeholder (ten pictures a second each) to a
// consumer that takes every picture, or (--consumer no) to cameras nobody reads. The window's CPU
// time per camera is the idle cost.
//
//   scale_bench --phone KEY=ADDR:PORT (one to four: each phone's key and control channel)
//               [--width W --height H] [--check bar|varied] [--stream-name TEXT]
//   scale_bench --idle N [--consumer yes|no] [--width W --height H]
//   either:     [--seconds S] [--settle-seconds S] [--stream-timeout S] [--poll-ms N]
//               [--watch NAME=PID ...] (other Linux processes whose CPU time to report)
//               [--json FILE] [--scenario NAME]
//
// Started by bench/run_scale_bench.sh, which starts the phones. Under Windows the engine is
// engine-simdrivers.dll, loaded as a host loads it; natively it is the same code linked in, with
// the simulated microphone drivers (section mode needs a microphone but no camera device).
//
// Why section mode: the engine converts each picture straight into the consumer's memory, so the
// consumer's part is a flag and a few loads per picture and the process's CPU time is the engine's
// own; every picture the consumer takes carries the phone's timestamp, so pictures lost between
// the decoder and the consumer can be told apart from packets lost before it. In control-code mode
// the simulated driver would copy and record each picture in this process and count that copy as
// the engine's.
//
// Threads: main drives everything; the consumer thread polls the sections; the engine calls the
// callbacks on its own threads, which record under one mutex.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_json.h"
#include "camera_host.h"
#include "camera_section_layout.h"
#include "common/error_log.h"
#include "cpu_time.h"
#include "cpu_watch.h"
#include "engine_library.h"
#include "kavex_engine.h"
#include "section_consumer.h"
#include "sim_control.h"
#include "wait_until.h"
#include "wire_records.h"

namespace {

namespace layout = testkit::camera_section;
using testkit::Clock;

using camerahost::CameraHost;
using camerahost::InstanceNews;
using camerahost::kMaxCameras;
using camerahost::News;
using camerahost::StateName;
constexpr float kFps = 30.0f;
// The idle targets, of one core per camera.
constexpr double kIdleTargetWithConsumer = 2.0;
constexpr double kIdleTargetWithoutConsumer = 0.5;

struct Options {
  double seconds = 20;
  double settleSeconds = 3;
  // How often the consumer looks for pictures. Two slots hold 66 ms of a 30 fps stream: a consumer
  // slower than that has the engine overwrite pictures it never took.
  int pollMs = 2;
  double streamTimeout = 120;
  uint32_t width = 1280;
  int32_t height = 720;
  bench::PictureCheck check = bench::PictureCheck::kFixtureBar;
  std::string streamName = "tests/fixtures/h264-1280x720.psimpkt (light: flat colour bars)";
  int idleCameras = 0;  // 0: the scale run
  bool consumer = true;
  std::string jsonPath;
  std::string scenario;
  std::vector<std::pair<std::string, std::string>> phones;   // key, control address
  std::vector<std::pair<std::string, std::string>> watched;  // name, Linux process id
};

std::string PhoneFormat(const Options& options) {
  return std::to_string(options.width) + "x" + std::to_string(options.height) + "@30";
}

// Publishes the cameras' sections, starts the consumer when it reads them, loads the engine and
// opens an instance per camera; says why not on stderr.
bool OpenCameras(bench::SectionConsumer& consumer, bool reading, CameraHost& engine, int cameras) {
  std::string problem = consumer.Publish(reading);
  if (problem.empty()) {
    if (reading) consumer.Start();
    problem = engine.Load();
  }
  if (problem.empty()) {
    problem = engine.Open(cameras);
    if (!problem.empty()) problem = "opening failed:" + problem;
  }
  if (!problem.empty()) std::fprintf(stderr, "scale_bench: %s\n", problem.c_str());
  return problem.empty();
}

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

// Where a phone's count of video packets stood: the count and the timestamp of the last packet in
// it (negative before the first).
struct SentMark {
  uint64_t sent = 0;
  float last = -1.0f;
  uint64_t complaints = 0;
};

SentMark Mark(Phone& phone) {
  const std::string state = State(phone);
  const std::string last = SimControl::Field(state, "video_last");
  return SentMark{Number(state, "video_sent"), last.empty() || last == "-" ? -1.0f : std::strtof(last.c_str(), nullptr),
                  Number(state, "complaints")};
}

// The timestamps of the decode acknowledgements a phone received since its records were cleared,
// and the durations the engine measured for the picture before each.
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

Phone* PhoneByKey(std::vector<Phone>& phones, const std::string& key) {
  for (Phone& phone : phones)
    if (phone.key == key) return &phone;
  return nullptr;
}

// ---- options ---------------------------------------------------------------------------------

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
    } else if (arg == "--width") {
      options->width = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (arg == "--height") {
      options->height = std::atoi(value.c_str());
    } else if (arg == "--check") {
      if (value != "bar" && value != "varied") return false;
      options->check = value == "bar" ? bench::PictureCheck::kFixtureBar : bench::PictureCheck::kVaried;
    } else if (arg == "--stream-name") {
      options->streamName = value;
    } else if (arg == "--idle") {
      options->idleCameras = std::atoi(value.c_str());
      if (options->idleCameras < 1 || options->idleCameras > kMaxCameras) return false;
    } else if (arg == "--consumer") {
      if (value != "yes" && value != "no") return false;
      options->consumer = value == "yes";
    } else if (arg == "--json") {
      options->jsonPath = value;
    } else if (arg == "--scenario") {
      options->scenario = value;
    } else if (arg == "--phone" || arg == "--watch") {
      const size_t equals = value.find('=');
      if (equals == std::string::npos || equals == 0) return false;
      (arg == "--phone" ? options->phones : options->watched)
          .emplace_back(value.substr(0, equals), value.substr(equals + 1));
    } else {
      return false;
    }
  }
  const bool sizeFits = options->width >= 16 && options->height >= 16 &&
                        2ull * options->width * static_cast<uint64_t>(options->height) <= layout::kSlotDataBytes;
  const bool cameras = options->idleCameras > 0 ? options->phones.empty()
                                                : !options->phones.empty() && options->phones.size() <= kMaxCameras;
  if (options->scenario.empty()) {
    const std::string size = std::to_string(options->width) + "x" + std::to_string(options->height);
    const std::string reader = options->consumer ? "-consumer" : "-no-consumer";
    options->scenario = options->idleCameras > 0 ? "idle-" + std::to_string(options->idleCameras) + reader
                                                 : std::to_string(options->phones.size()) + "x" + size;
  }
  return options->seconds > 0 && options->settleSeconds >= 0 && options->streamTimeout > 0 && options->pollMs > 0 &&
         sizeFits && cameras && (options->idleCameras > 0 || options->consumer);
}

// ---- CPU over the window ---------------------------------------------------------------------

// The process's and the watched processes' CPU time at one edge of the window.
struct CpuMark {
  Clock::time_point at;
  double process = 0;
  bench::ThreadTimes threads;
  std::vector<double> watched;
  bench::MachineIdle machine;
};

CpuMark MarkCpu(const Options& options) {
  CpuMark mark;
  mark.machine = bench::ReadMachineIdle();
  for (const auto& watched : options.watched) mark.watched.push_back(bench::KernelCpuSeconds(watched.second));
  mark.threads = bench::ReadThreadTimes();
  mark.process = testkit::ProcessCpuSeconds();
  mark.at = Clock::now();
  return mark;
}

// What the window cost: the process, the bench's own consumer, every thread by name, the watched
// processes, the machine.
struct CpuUse {
  double wall = 0;
  double process = 0;
  double consumer = 0;
  double engineShare = 0;  // process - consumer
  std::map<std::string, bench::NamedCpu> threads;
  std::vector<double> watched;  // seconds, negative when unreadable
  double machineBusy = -1;      // fraction of all cores, negative when unknown
  double others = -1;           // seconds of every other process, negative when unknown
  double loadAverage = -1;      // at the end
};

CpuUse CpuBetween(const Options& options, const CpuMark& begin, const CpuMark& end, double consumerSeconds) {
  CpuUse use;
  use.wall = std::chrono::duration<double>(end.at - begin.at).count();
  use.process = end.process - begin.process;
  use.consumer = consumerSeconds;
  use.engineShare = use.process - consumerSeconds;
  use.threads = bench::CpuByThreadName(begin.threads, end.threads);
  for (size_t i = 0; i < options.watched.size(); ++i)
    use.watched.push_back(begin.watched[i] < 0 || end.watched[i] < 0 ? -1 : end.watched[i] - begin.watched[i]);
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  if (begin.machine.valid && end.machine.valid) {
    const double idleSeconds = static_cast<double>(end.machine.ticks - begin.machine.ticks) / 100.0;
    use.machineBusy = std::min(1.0, std::max(0.0, 1.0 - idleSeconds / (use.wall * cores)));
    double others = use.machineBusy * use.wall * cores - use.process;
    for (double seconds : use.watched) others -= std::max(0.0, seconds);
    use.others = std::max(0.0, others);
  }
  use.loadAverage = bench::ReadLoadAverage();
  return use;
}

double Percent(double seconds, double wall) { return wall > 0 ? 100.0 * seconds / wall : 0; }

void PrintCpu(const Options& options, const CpuUse& use, int cameras) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::printf("\nCPU of this process over the window: %.2f s user+system in %.2f s wall\n", use.process, use.wall);
  std::printf("  = %.1f %% of one core, %.1f %% of all %u cores\n", Percent(use.process, use.wall),
              Percent(use.process, use.wall) / cores, cores);
  std::printf(
      "  of which the bench's own consumer thread: %.2f s (%.1f %% of one core); the engine's share:\n"
      "  %.1f %% of one core, %.2f %% per camera\n",
      use.consumer, Percent(use.consumer, use.wall), Percent(use.engineShare, use.wall),
      Percent(use.engineShare, use.wall) / std::max(1, cameras));
  if (use.machineBusy >= 0)
    std::printf(
        "  the whole machine meanwhile: %.1f %% of all cores busy; work of other processes than this one\n"
        "  and the watched ones: %.1f %% of one core (the machine is shared: figures taken beside much other\n"
        "  work are starved, not slow); load average %.1f\n",
        100.0 * use.machineBusy, Percent(use.others, use.wall), use.loadAverage);
  std::vector<std::pair<std::string, bench::NamedCpu>> threads(use.threads.begin(), use.threads.end());
  std::sort(threads.begin(), threads.end(),
            [](const auto& a, const auto& b) { return a.second.seconds > b.second.seconds; });
  std::printf(
      "this process's threads by name (%% of one core; (N): N threads of that name). Natively a thread\n"
      "  inherits its creator's name: FFmpeg's slice workers, made with the decoder on the receive\n"
      "  thread, count under kavex-recv-<i>; under Wine they are among the unnamed:\n ");
  int shown = 0;
  for (const auto& [name, cpu] : threads) {
    if (cpu.seconds <= 0 && shown > 0) continue;
    if (shown > 0 && shown % 6 == 0) std::printf("\n ");
    std::printf(" %s%s %.1f", name.c_str(), cpu.threads > 1 ? (" (" + std::to_string(cpu.threads) + ")").c_str() : "",
                Percent(cpu.seconds, use.wall));
    ++shown;
  }
  std::printf("\n");
  if (!options.watched.empty()) {
    std::printf("other processes over the window (the kernel's ticks, %% of one core):\n ");
    for (size_t i = 0; i < options.watched.size(); ++i) {
      if (use.watched[i] < 0) {
        std::printf(" %s n/a", options.watched[i].first.c_str());
      } else {
        std::printf(" %s %.2f s (%.1f %%)", options.watched[i].first.c_str(), use.watched[i],
                    Percent(use.watched[i], use.wall));
      }
    }
    std::printf("\n");
  }
}

const char* Tier() {
#ifdef _WIN32
  return "win32";
#else
  return "native";
#endif
}

// The members every run's JSON object has.
bench::JsonObject RunJson(const Options& options, const CpuUse& use, int cameras) {
  bench::JsonObject watched;
  for (size_t i = 0; i < options.watched.size(); ++i)
    watched.Add(options.watched[i].first, use.watched[i] < 0 ? NAN : Percent(use.watched[i], use.wall));
  bench::JsonObject threads;
  for (const auto& [name, cpu] : use.threads) threads.Add(name, Percent(cpu.seconds, use.wall));
  bench::JsonObject json;
  json.Add("bench", options.idleCameras > 0 ? "idle" : "scale")
      .Add("tier", Tier())
      .Add("platform", testkit::PlatformName())
      .Add("scenario", options.scenario)
      .Add("cameras", cameras)
      .Add("width", static_cast<long long>(options.width))
      .Add("height", static_cast<long long>(options.height))
      .Add("consumer", options.consumer)
      .Add("seconds", use.wall)
      .Add("process_cpu_percent", Percent(use.process, use.wall))
      .Add("consumer_cpu_percent", Percent(use.consumer, use.wall))
      .Add("cpu_percent_per_camera", Percent(use.engineShare, use.wall) / std::max(1, cameras))
      .Add("machine_busy_percent", use.machineBusy < 0 ? NAN : 100.0 * use.machineBusy)
      .Add("others_cpu_percent", use.others < 0 ? NAN : Percent(use.others, use.wall))
      .Add("load_average", use.loadAverage < 0 ? NAN : use.loadAverage)
      .Add("watched", watched)
      .Add("threads", threads);
  return json;
}

bool WriteJson(const Options& options, const bench::JsonObject& json) {
  if (options.jsonPath.empty()) return true;
  if (bench::WriteJsonFile(options.jsonPath, json)) return true;
  std::fprintf(stderr, "scale_bench: cannot write %s\n", options.jsonPath.c_str());
  return false;
}

// ---- the scale run ---------------------------------------------------------------------------

struct InstanceResult {
  bool measured = false;
  std::string key;
  uint64_t sent = 0;
  uint64_t decoded = 0;           // acknowledged: taken by the decoder
  uint64_t delivered = 0;         // taken by the consumer
  uint64_t lost = 0;              // sent, never taken
  uint64_t lostAfterDecoder = 0;  // acknowledged, never taken
  size_t wrongPictures = 0;
  size_t outOfOrder = 0;
  double decodeMs = 0;
  double deliveryMs = 0;
  int stateChanges = 0;  // states reported during the window: the stream was interrupted
};

// Waits until every instance streams from one of the phones, each phone at the consumer's size;
// prints each instance as it gets there. True when all did.
bool WaitForStreams(std::vector<Phone>& phones, const Options& options, Clock::time_point start) {
  const int cameras = static_cast<int>(phones.size());
  std::vector<bool> reported(static_cast<size_t>(cameras));
  const Clock::time_point end =
      Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(options.streamTimeout * 1000));
  for (;;) {
    int ready = 0;
    for (int camera = 0; camera < cameras; ++camera) {
      const InstanceNews news = News(camera);
      Phone* phone = news.streaming ? PhoneByKey(phones, news.selectedKey) : nullptr;
      if (phone == nullptr) continue;
      const std::string state = State(*phone);
      if (SimControl::Field(state, "streaming") != "1" || SimControl::Field(state, "format") != PhoneFormat(options))
        continue;
      ++ready;
      if (!reported[camera]) {
        reported[camera] = true;
        std::printf("  instance %d streams from phone %s (%s) at %.1f s\n", camera, phone->key.c_str(),
                    phone->control.c_str(), testkit::SecondsSince(start));
      }
    }
    if (ready == cameras) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

void PrintWhyNotStreaming(std::vector<Phone>& phones) {
  std::printf("\nNot every instance streams; what each was told and what each phone says:\n");
  for (int camera = 0; camera < static_cast<int>(phones.size()); ++camera) {
    const InstanceNews news = News(camera);
    std::string states;
    if (news.stateCount > news.states.size()) states = " ...";
    for (const int state : news.states) states += std::string(" ") + StateName(state);
    std::printf("  instance %d: open result %d, states:%s, selected phone %s\n", camera, news.openResult,
                states.empty() ? " none" : states.c_str(),
                news.selectedKey.empty() ? "none" : news.selectedKey.c_str());
  }
  for (Phone& phone : phones) std::printf("  phone %s: %s\n", phone.key.c_str(), State(phone).c_str());
}

// The window's pictures are those the phone sent after `begin.last` up to `end.last`: counted by
// the phone, found again among the acknowledgements and the consumer's takes by their timestamps.
InstanceResult Evaluate(const bench::CameraTakes& takes, const Acks& acks, const SentMark& begin, const SentMark& end) {
  const auto inWindow = [&](float time) { return time > begin.last && time <= end.last; };
  InstanceResult result;
  result.measured = true;
  // A count that went back belongs to a new session (the stream was interrupted, which the
  // instance's state changes show): nothing of it is comparable.
  result.sent = end.sent >= begin.sent ? end.sent - begin.sent : 0;
  result.wrongPictures = takes.wrongPictures;
  result.outOfOrder = takes.outOfOrder;
  std::set<float> taken;
  for (float time : takes.times)
    if (inWindow(time)) taken.insert(time);
  std::set<float> acknowledged;
  for (float time : acks.times)
    if (inWindow(time)) acknowledged.insert(time);
  result.decoded = acknowledged.size();
  result.delivered = taken.size();
  result.lost = result.sent > result.delivered ? result.sent - result.delivered : 0;
  for (float time : acknowledged)
    if (taken.count(time) == 0) ++result.lostAfterDecoder;
  result.decodeMs = Median(acks.decodeMs);
  result.deliveryMs = Median(acks.deliveryMs);
  return result;
}

uint64_t PrintResults(const std::vector<InstanceResult>& results, double wall) {
  std::printf("\nPer instance, over the %.1f s window (the pictures each phone sent in it, by its timestamps):\n",
              wall);
  std::printf(
      "  sent: video packets the phone sent; decoded: packets the decoder took (the phone's\n"
      "  acknowledgements); delivered: pictures the consumer took; lost: sent, never taken;\n"
      "  after decoder: decoded but never taken (overwritten in the section before the consumer\n"
      "  took them, or no picture came out); ms: medians of the engine's decode and delivery\n"
      "  times as the acknowledgements report them\n");
  std::printf("  %-8s %-5s %7s %8s %9s %6s %7s %13s %10s %12s\n", "instance", "phone", "sent", "decoded", "delivered",
              "lost", "%", "after decoder", "decode ms", "delivery ms");
  InstanceResult total;
  for (size_t camera = 0; camera < results.size(); ++camera) {
    const InstanceResult& r = results[camera];
    if (!r.measured) {
      std::printf("  %-8zu never streamed\n", camera);
      continue;
    }
    std::printf("  %-8zu %-5s %7llu %8llu %9llu %6llu %7.2f %13llu %10.3f %12.3f\n", camera, r.key.c_str(),
                static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.decoded),
                static_cast<unsigned long long>(r.delivered), static_cast<unsigned long long>(r.lost),
                r.sent > 0 ? 100.0 * static_cast<double>(r.lost) / static_cast<double>(r.sent) : 0.0,
                static_cast<unsigned long long>(r.lostAfterDecoder), r.decodeMs, r.deliveryMs);
    total.sent += r.sent;
    total.decoded += r.decoded;
    total.delivered += r.delivered;
    total.lost += r.lost;
    total.lostAfterDecoder += r.lostAfterDecoder;
  }
  std::printf("  %-8s %-5s %7llu %8llu %9llu %6llu %7.2f %13llu\n", "total", "",
              static_cast<unsigned long long>(total.sent), static_cast<unsigned long long>(total.decoded),
              static_cast<unsigned long long>(total.delivered), static_cast<unsigned long long>(total.lost),
              total.sent > 0 ? 100.0 * static_cast<double>(total.lost) / static_cast<double>(total.sent) : 0.0,
              static_cast<unsigned long long>(total.lostAfterDecoder));
  std::printf("  delivered pictures per second, all instances: %.1f (the phones send %.1f); dropped: %llu\n",
              static_cast<double>(total.delivered) / wall, static_cast<double>(total.sent) / wall,
              static_cast<unsigned long long>(total.lost));
  for (size_t camera = 0; camera < results.size(); ++camera) {
    const InstanceResult& r = results[camera];
    if (r.wrongPictures > 0)
      std::printf("  instance %zu: %zu pictures of the wrong length or content\n", camera, r.wrongPictures);
    if (r.outOfOrder > 0) std::printf("  instance %zu: %zu pictures out of order\n", camera, r.outOfOrder);
    if (r.stateChanges > 0)
      std::printf("  instance %zu: %d phone state changes during the window (the stream was interrupted)\n", camera,
                  r.stateChanges);
  }
  return total.lost;
}

int RunScale(const Options& options, Clock::time_point start) {
  const int cameras = static_cast<int>(options.phones.size());
  std::printf("scale_bench: %d phones stream %ux%d H.264 at 30 fps (and Opus audio) into %d cameras at once\n", cameras,
              options.width, options.height, cameras);
  std::printf("machine: %s, cores %u, build %s\n", testkit::PlatformName().c_str(), std::thread::hardware_concurrency(),
              KAVEX_BENCH_BUILD_TYPE);
  std::printf(
      "cameras: section mode, each consumer demands %ux%d YUY2 at 30 fps; this program takes\n"
      "  every picture (older slot first, polled every %d ms) without copying it\n",
      options.width, options.height, options.pollMs);
  std::printf("stream: %s\n", options.streamName.c_str());

  std::vector<Phone> phones;
  for (const auto& [key, control] : options.phones) {
    Phone phone{key, control, std::make_unique<SimControl>(control)};
    if (!phone.sim->connected()) {
      std::fprintf(stderr, "scale_bench: no phone simulator control channel at %s\n", control.c_str());
      return 2;
    }
    phones.push_back(std::move(phone));
  }

  bench::SectionConsumer consumer(cameras, {options.width, options.height, kFps, layout::kYuy2}, options.check,
                                  options.pollMs);
  CameraHost engine;
  if (!OpenCameras(consumer, true, engine, cameras)) return 1;
  std::printf("%d instances open at %.1f s; waiting for %d streams (up to %.0f s)\n", cameras,
              testkit::SecondsSince(start), cameras, options.streamTimeout);

  const bool allStream = WaitForStreams(phones, options, start);
  if (!allStream) PrintWhyNotStreaming(phones);

  // Which instance streams from which phone, fixed for the window.
  std::vector<Phone*> phoneOf(static_cast<size_t>(cameras));
  std::vector<size_t> statesBefore(static_cast<size_t>(cameras));
  std::set<std::string> keysInUse;
  for (int camera = 0; camera < cameras; ++camera) {
    const InstanceNews news = News(camera);
    Phone* phone = news.streaming ? PhoneByKey(phones, news.selectedKey) : nullptr;
    if (phone != nullptr && keysInUse.insert(phone->key).second) phoneOf[camera] = phone;
    statesBefore[camera] = news.stateCount;
  }

  std::printf("settling %.0f s, then measuring %.0f s\n", options.settleSeconds, options.seconds);
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(options.settleSeconds * 1000)));

  // The window. The consumer records from before the phones' marks at the start; clearing each
  // phone's records first starts its count of acknowledgements after the mark's last picture.
  std::vector<SentMark> begin(static_cast<size_t>(cameras)), end(static_cast<size_t>(cameras));
  consumer.Begin();
  for (int camera = 0; camera < cameras; ++camera) {
    if (phoneOf[camera] == nullptr) continue;
    phoneOf[camera]->sim->Command("clear", 5000);
    begin[camera] = Mark(*phoneOf[camera]);
  }
  const CpuMark cpuBegin = MarkCpu(options);
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
  const CpuMark cpuEnd = MarkCpu(options);
  for (int camera = 0; camera < cameras; ++camera)
    if (phoneOf[camera] != nullptr) end[camera] = Mark(*phoneOf[camera]);
  // The consumer records on until each camera's last picture of the window came or a picture would
  // have been late by far more than a viewer waits for it.
  testkit::WaitUntil(
      [&] {
        for (int camera = 0; camera < cameras; ++camera)
          if (phoneOf[camera] != nullptr && consumer.LatestTime(camera) < end[camera].last) return false;
        return true;
      },
      1000, 5);
  const double consumerCpu = consumer.End();
  const double pollGapMs = consumer.LongestPollGapMs();
  const CpuUse use = CpuBetween(options, cpuBegin, cpuEnd, consumerCpu);

  std::vector<InstanceResult> results(static_cast<size_t>(cameras));
  bool picturesRight = true;
  for (int camera = 0; camera < cameras; ++camera) {
    if (phoneOf[camera] == nullptr) continue;
    const bench::CameraTakes takes = consumer.Takes(camera);
    results[camera] = Evaluate(takes, ReadAcks(*phoneOf[camera]), begin[camera], end[camera]);
    results[camera].key = phoneOf[camera]->key;
    const InstanceNews news = News(camera);
    results[camera].stateChanges = static_cast<int>(news.stateCount - statesBefore[camera]);
    if (news.selectedKey != phoneOf[camera]->key) results[camera].stateChanges += 1;
    if (takes.times.empty() || takes.wrongPictures > 0 || takes.outOfOrder > 0) picturesRight = false;
  }
  const uint64_t dropped = PrintResults(results, use.wall);
  std::printf("  the consumer's longest time between two polls: %.1f ms\n", pollGapMs);
  if (pollGapMs > 1000.0 / kFps)
    std::printf(
        "  (longer than a picture's interval: a picture lost after the decoder may be one the engine\n"
        "  overwrote while this program was not scheduled)\n");
  PrintCpu(options, use, cameras);

  // The phone checks every message the engine sends against its layout.
  for (int camera = 0; camera < cameras; ++camera) {
    if (phoneOf[camera] == nullptr) continue;
    const uint64_t complaints = begin[camera].complaints + end[camera].complaints;
    if (complaints != 0)
      std::printf("phone %s: %llu complaints about what the engine sent\n", phoneOf[camera]->key.c_str(),
                  static_cast<unsigned long long>(complaints));
  }

  engine.Close();
  consumer.Stop();
  const std::string logged = kavex::ErrorLog::TakeStoredEntry().text;
  if (!logged.empty()) std::printf("\nengine error log: %s\n", logged.c_str());

  const bool ok = allStream && picturesRight;
  std::printf("\n%s: %llu dropped (target 0), %.2f %% of one core per camera%s\n", options.scenario.c_str(),
              static_cast<unsigned long long>(dropped), Percent(use.engineShare, use.wall) / cameras,
              ok ? "" : "; FAILED: not every camera streamed the right pictures");
  std::vector<bench::JsonObject> perCamera;
  for (size_t camera = 0; camera < results.size(); ++camera) {
    const InstanceResult& r = results[camera];
    perCamera.push_back(bench::JsonObject()
                            .Add("camera", static_cast<int>(camera))
                            .Add("phone", r.key)
                            .Add("streamed", r.measured)
                            .Add("sent", r.sent)
                            .Add("decoded", r.decoded)
                            .Add("delivered", r.delivered)
                            .Add("lost", r.lost)
                            .Add("lost_after_decoder", r.lostAfterDecoder)
                            .Add("wrong_pictures", static_cast<uint64_t>(r.wrongPictures))
                            .Add("decode_ms_median", r.decodeMs)
                            .Add("delivery_ms_median", r.deliveryMs));
  }
  bench::JsonObject json = RunJson(options, use, cameras);
  json.Add("stream", options.streamName)
      .Add("per_camera", perCamera)
      .Add("dropped", dropped)
      .Add("consumer_longest_poll_gap_ms", pollGapMs)
      .Add("target", "0 dropped pictures")
      .Add("target_met", ok && dropped == 0)
      .Add("ok", ok);
  const bool written = WriteJson(options, json);
  return ok && written ? 0 : 1;
}

// ---- the idle run ----------------------------------------------------------------------------

int RunIdle(const Options& options) {
  const int cameras = options.idleCameras;
  const double target = options.consumer ? kIdleTargetWithConsumer : kIdleTargetWithoutConsumer;
  std::printf("scale_bench: idle cost, %d camera%s showing the placeholder (no phone), %s\n", cameras,
              cameras == 1 ? "" : "s",
              options.consumer ? "a consumer taking every picture" : "nobody reading the cameras");
  std::printf("machine: %s, cores %u, build %s\n", testkit::PlatformName().c_str(), std::thread::hardware_concurrency(),
              KAVEX_BENCH_BUILD_TYPE);
  std::printf("cameras: section mode, %ux%d YUY2 demanded%s\n", options.width, options.height,
              options.consumer ? "" : ", consumer count 0");

  bench::SectionConsumer consumer(cameras, {options.width, options.height, kFps, layout::kYuy2},
                                  bench::PictureCheck::kPlaceholder, options.pollMs);
  CameraHost engine;
  if (!OpenCameras(consumer, options.consumer, engine, cameras)) return 1;
  std::printf("settling %.0f s, then measuring %.0f s\n", options.settleSeconds, options.seconds);
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(options.settleSeconds * 1000)));

  if (options.consumer) consumer.Begin();
  const CpuMark cpuBegin = MarkCpu(options);
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
  const CpuMark cpuEnd = MarkCpu(options);
  const double consumerCpu = options.consumer ? consumer.End() : 0;
  const CpuUse use = CpuBetween(options, cpuBegin, cpuEnd, consumerCpu);

  bool ok = true;
  double slowest = 0;
  if (options.consumer) {
    std::printf("\nplaceholder pictures taken per second:");
    for (int camera = 0; camera < cameras; ++camera) {
      const bench::CameraTakes takes = consumer.Takes(camera);
      const double rate = static_cast<double>(takes.times.size()) / use.wall;
      slowest = camera == 0 ? rate : std::min(slowest, rate);
      std::printf(" camera %d %.1f%s", camera, rate, takes.outOfOrder > 0 ? " (out of order!)" : "");
      if (takes.times.empty() || takes.outOfOrder > 0) ok = false;
    }
    std::printf(" (the engine paces ten a second)\n");
  }
  PrintCpu(options, use, cameras);
  engine.Close();
  consumer.Stop();
  const std::string logged = kavex::ErrorLog::TakeStoredEntry().text;
  if (!logged.empty()) std::printf("\nengine error log: %s\n", logged.c_str());

  const double perCamera = Percent(use.engineShare, use.wall) / cameras;
  std::printf("\n%s: %.2f %% of one core per camera (target below %.1f %%)%s\n", options.scenario.c_str(), perCamera,
              target, ok ? "" : "; FAILED: a camera showed no placeholder");
  bench::JsonObject json = RunJson(options, use, cameras);
  if (options.consumer) json.Add("pictures_per_second_slowest_camera", slowest);
  json.Add("dropped", 0)
      .Add("target", std::string("below ") + (options.consumer ? "2" : "0.5") + " % of a core per camera")
      .Add("target_met", ok && perCamera < target)
      .Add("ok", ok);
  const bool written = WriteJson(options, json);
  return ok && written ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: scale_bench --phone KEY=ADDR:PORT (1-4) [--width W --height H] [--check bar|varied]\n"
                 "                   [--stream-name TEXT]\n"
                 "       scale_bench --idle N [--consumer yes|no] [--width W --height H]\n"
                 "  either: [--seconds S] [--settle-seconds S] [--stream-timeout S] [--poll-ms N]\n"
                 "          [--watch NAME=PID ...] [--json FILE] [--scenario NAME]\n"
                 "  (run through bench/run_scale_bench.sh)\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const Clock::time_point start = Clock::now();
  // Whatever an earlier program left in the error log is not this run's.
  kavex::ErrorLog::TakeStoredEntry();
  return options.idleCameras > 0 ? RunIdle(options) : RunScale(options, start);
}
