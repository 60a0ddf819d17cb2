// The long run: one engine with four instances (cameras 0-3), four phone simulators that stream
// into them, and faults at random on the phones (goodbyes, drops, vanishing and coming back,
// resets, stalls, broken headers, other formats, garbage), drawn from a seed that is printed and can
// be given back. After each fault every camera must show its phone's pictures again within the
// recovery bound; the process's memory, handles and threads are sampled all along and must not
// grow once the run has settled. Speed is never judged beyond that bound.
//
//   soak --phone KEY=ADDR:PORT (four times) [--minutes M] [--sample-seconds S] [--seed N]
//        [--csv FILE] [--recovery-seconds S] [--warmup-seconds S] [--stream-timeout S]
//
// Started by tests/soak/run_soak.sh, which starts the phones (and starts a vanished one again).
// Under Windows the engine is engine-simdrivers.dll, loaded as a host loads it; natively it is the
// same code linked in, with the simulated drivers.
//
// Threads: main draws and waits; a fault on two phones at once runs one thread per phone; the
// sampler thread samples the process; the camera watcher polls the sections; the engine calls the
// callbacks on its own threads, which record under one mutex.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "camera_host.h"
#include "camera_watcher.h"
#include "faults.h"
#include "phone_link.h"
#include "samples.h"
#include "wait_until.h"

namespace {

using camerahost::InstanceNews;
using camerahost::News;
using camerahost::StateName;
using soak::kCameras;
using testkit::Clock;

struct Options {
  double minutes = 2;
  double sampleSeconds = 10;
  double recoverySeconds = 20;
  double warmupSeconds = 30;
  double streamTimeout = 120;
  bool seedGiven = false;
  uint32_t seed = 0;
  std::string csv;
  std::vector<std::pair<std::string, std::string>> phones;  // key, control address
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--minutes") {
      options->minutes = std::atof(value.c_str());
    } else if (arg == "--sample-seconds") {
      options->sampleSeconds = std::atof(value.c_str());
    } else if (arg == "--recovery-seconds") {
      options->recoverySeconds = std::atof(value.c_str());
    } else if (arg == "--warmup-seconds") {
      options->warmupSeconds = std::atof(value.c_str());
    } else if (arg == "--stream-timeout") {
      options->streamTimeout = std::atof(value.c_str());
    } else if (arg == "--seed") {
      options->seed = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
      options->seedGiven = true;
    } else if (arg == "--csv") {
      options->csv = value;
    } else if (arg == "--phone") {
      const size_t equals = value.find('=');
      if (equals == std::string::npos || equals == 0) return false;
      options->phones.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    } else {
      return false;
    }
  }
  return options->minutes > 0 && options->sampleSeconds > 0 && options->recoverySeconds > 0 &&
         options->phones.size() == kCameras;
}

// ---- sampling --------------------------------------------------------------------------------

// Samples the process every period from the run's start, prints each sample and appends it to the
// CSV file. Thread: its own; Stop and samples() on main.
class Sampler {
 public:
  Sampler(Clock::time_point start, double periodSeconds, const std::string& csvPath)
      : start_(start), period_(std::chrono::milliseconds(static_cast<int64_t>(periodSeconds * 1000))) {
    if (!csvPath.empty()) {
      csv_.open(csvPath, std::ios::trunc);
      if (csv_) csv_ << soak::CsvHeader() << "\n" << std::flush;
    }
  }
  ~Sampler() { Stop(); }

  bool csvOpen() const { return csv_.is_open() && csv_.good(); }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }

  void Count(bool fault, bool recovery) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ += fault ? 1 : 0;
    recoveries_ += recovery ? 1 : 0;
  }

  // Stops the periodic samples and takes the last one.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    Take();
  }

  std::vector<soak::Sample> samples() {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (Clock::time_point due = start_; !stop_; due += period_) {
      if (wake_.wait_until(lock, due, [this] { return stop_; })) return;
      lock.unlock();
      Take();
      lock.lock();
    }
  }

  void Take() {
    soak::Sample sample;
    sample.figures = soak::ReadProcessFigures();
    std::lock_guard<std::mutex> lock(mutex_);
    sample.seconds = testkit::SecondsSince(start_);
    sample.faults = faults_;
    sample.recoveries = recoveries_;
    samples_.push_back(sample);
    std::printf("%s\n", soak::PrintLine(sample).c_str());
    if (csv_.is_open()) csv_ << soak::CsvLine(sample) << "\n" << std::flush;
  }

  const Clock::time_point start_;
  const Clock::duration period_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  int faults_ = 0;
  int recoveries_ = 0;
  std::vector<soak::Sample> samples_;
  std::ofstream csv_;
};

// ---- the run ---------------------------------------------------------------------------------

// Every camera shows its phone's pictures that arrived after `since` and after its last Streaming,
// and every phone says it is connected and streaming.
bool AllStreaming(const soak::CameraWatcher& watcher, std::vector<soak::PhoneLink>& phones, Clock::time_point since) {
  for (int camera = 0; camera < kCameras; ++camera) {
    const InstanceNews news = News(camera);
    if (!news.streaming) return false;
    if (watcher.LastFixturePicture(camera) <= std::max(since, news.streamingSince)) return false;
  }
  for (soak::PhoneLink& phone : phones)
    if (!phone.Streaming()) return false;
  return true;
}

void PrintWhyNotStreaming(const soak::CameraWatcher& watcher, std::vector<soak::PhoneLink>& phones,
                          Clock::time_point since) {
  for (int camera = 0; camera < kCameras; ++camera) {
    const InstanceNews news = News(camera);
    const double lastPicture = std::chrono::duration<double>(watcher.LastFixturePicture(camera) - since).count();
    std::printf(
        "  instance %d: state %s, phone %s, last phone picture %.1f s after the fault, pictures %llu (others %llu)\n",
        camera, StateName(news.lastState), news.selectedKey.empty() ? "none" : news.selectedKey.c_str(), lastPicture,
        static_cast<unsigned long long>(watcher.FixturePictures(camera)),
        static_cast<unsigned long long>(watcher.OtherPictures(camera)));
  }
  for (soak::PhoneLink& phone : phones) std::printf("  phone %s: %s\n", phone.key().c_str(), phone.State().c_str());
}

struct FaultTally {
  std::map<std::string, int> perKind;
  int recoveries = 0;
  int failures = 0;
  double slowest = 0;
  std::string slowestWhat;
};

std::string Figure(int64_t value) { return value < 0 ? "n/a" : std::to_string(value); }

void PrintSummary(const std::vector<soak::Sample>& samples, const FaultTally& tally, double seconds, uint32_t seed) {
  std::printf("\nsoak summary (seed %u, %.1f min):\n", seed, seconds / 60);
  if (!samples.empty()) {
    std::printf("  %-14s %12s %12s %12s\n", "figure", "start", "end", "max");
    for (const soak::FigureRule& rule : soak::FigureRules()) {
      int64_t max = samples.front().figures.*rule.field;
      for (const soak::Sample& sample : samples) max = std::max(max, sample.figures.*rule.field);
      std::printf("  %-14s %12s %12s %12s\n", rule.name, Figure(samples.front().figures.*rule.field).c_str(),
                  Figure(samples.back().figures.*rule.field).c_str(), Figure(max).c_str());
    }
  }
  std::printf("  faults:");
  int total = 0;
  for (const auto& [kind, count] : tally.perKind) {
    std::printf(" %s %d", kind.c_str(), count);
    total += count;
  }
  std::printf(" (total %d)\n", total);
  std::printf("  recoveries %d, failed %d, slowest %.1f s (%s)\n", tally.recoveries, tally.failures, tally.slowest,
              tally.slowestWhat.empty() ? "-" : tally.slowestWhat.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: soak --phone KEY=ADDR:PORT (x4) [--minutes M] [--sample-seconds S] [--seed N] [--csv FILE]\n"
                 "            [--recovery-seconds S] [--warmup-seconds S] [--stream-timeout S]\n"
                 "  (run through tests/soak/run_soak.sh)\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (!options.seedGiven) options.seed = std::random_device{}() ^ static_cast<uint32_t>(std::time(nullptr));
  std::mt19937 random(options.seed);
  std::printf("soak: seed %u (--seed %u repeats the faults), %.1f min, a sample every %.0f s, recovery bound %.0f s\n",
              options.seed, options.seed, options.minutes, options.sampleSeconds, options.recoverySeconds);

  std::vector<soak::PhoneLink> phones;
  for (const auto& [key, control] : options.phones) {
    phones.emplace_back(key, control);
    if (!phones.back().connected()) {
      std::fprintf(stderr, "soak: no phone simulator control channel at %s\n", control.c_str());
      return 2;
    }
  }

  soak::CameraWatcher watcher;
  const std::string published = watcher.Publish();
  if (!published.empty()) {
    std::fprintf(stderr, "soak: %s\n", published.c_str());
    return 1;
  }
  watcher.Start();

  camerahost::CameraHost engine;
  const std::string loaded = engine.Load();
  if (!loaded.empty()) {
    std::fprintf(stderr, "soak: %s\n", loaded.c_str());
    return 1;
  }
  const std::string opened = engine.Open(kCameras);
  if (!opened.empty()) {
    std::fprintf(stderr, "soak: opening failed:%s\n", opened.c_str());
    return 1;
  }
  const Clock::time_point openedAt = Clock::now();
  if (!testkit::WaitUntil([&] { return AllStreaming(watcher, phones, openedAt); },
                          static_cast<int>(options.streamTimeout * 1000), 250)) {
    std::printf("soak: not every camera streams after %.0f s:\n", options.streamTimeout);
    PrintWhyNotStreaming(watcher, phones, openedAt);
    return 1;
  }
  std::printf("soak: all four cameras stream after %.1f s\n", testkit::SecondsSince(openedAt));

  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::milliseconds(static_cast<int64_t>(options.minutes * 60000));
  Sampler sampler(start, options.sampleSeconds, options.csv);
  if (!options.csv.empty() && !sampler.csvOpen()) {
    std::fprintf(stderr, "soak: cannot write %s\n", options.csv.c_str());
    return 1;
  }
  sampler.Start();

  FaultTally tally;
  bool stuck = false;
  for (int number = 1; Clock::now() < end && !stuck; ++number) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(1000, 5000)(random)));
    if (Clock::now() >= end) break;

    // One phone, now and then two at once.
    std::vector<size_t> targets = {std::uniform_int_distribution<size_t>(0, kCameras - 1)(random)};
    if (std::uniform_int_distribution<int>(0, 3)(random) == 0)
      targets.push_back((targets[0] + std::uniform_int_distribution<size_t>(1, kCameras - 1)(random)) % kCameras);
    std::vector<soak::Fault> faults;
    std::string what;
    for (size_t target : targets) {
      faults.push_back(soak::DrawFault(random));
      tally.perKind[soak::FaultName(faults.back().kind)]++;
      what += (what.empty() ? "" : " + ") + std::string("phone ") + phones[target].key() + " " +
              soak::FaultName(faults.back().kind);
      std::printf("fault %d t=%.0fs phone %s %s\n", number, testkit::SecondsSince(start), phones[target].key().c_str(),
                  faults.back().Describe().c_str());
      sampler.Count(true, false);
    }

    std::vector<std::string> problems(targets.size());
    std::vector<std::thread> players;
    for (size_t i = 0; i < targets.size(); ++i)
      players.emplace_back([&, i] { problems[i] = soak::ApplyFault(faults[i], phones[targets[i]]); });
    for (std::thread& player : players) player.join();
    for (size_t i = 0; i < targets.size(); ++i)
      if (!problems[i].empty()) std::printf("  phone %s:%s\n", phones[targets[i]].key().c_str(), problems[i].c_str());

    const Clock::time_point since = Clock::now();
    const int boundMs = static_cast<int>(options.recoverySeconds * 1000);
    if (testkit::WaitUntil([&] { return AllStreaming(watcher, phones, since); }, boundMs, 250)) {
      const double took = testkit::SecondsSince(since);
      ++tally.recoveries;
      sampler.Count(false, true);
      if (took > tally.slowest) {
        tally.slowest = took;
        tally.slowestWhat = "fault " + std::to_string(number) + ": " + what;
      }
      std::printf("  recovered in %.1f s\n", took);
      continue;
    }
    ++tally.failures;
    std::printf("FAIL: fault %d (%s): not every camera shows its phone %.0f s later:\n", number, what.c_str(),
                options.recoverySeconds);
    PrintWhyNotStreaming(watcher, phones, since);
    // Carry on if it comes back after all, so that the run still shows what else happens.
    if (!testkit::WaitUntil([&] { return AllStreaming(watcher, phones, since); }, 60000, 250)) {
      std::printf("soak: still not streaming a minute later; ending the run\n");
      stuck = true;
    }
  }

  sampler.Stop();
  const double ranSeconds = testkit::SecondsSince(start);
  const std::vector<soak::Sample> samples = sampler.samples();

  // Closing must not hang either: a watchdog ends the process if it does.
  std::mutex closeMutex;
  std::condition_variable closed;
  bool closeDone = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(closeMutex);
    if (!closed.wait_for(lock, std::chrono::seconds(60), [&] { return closeDone; })) {
      std::printf("FAIL: closing the engine took more than 60 s\n");
      std::_Exit(3);
    }
  });
  engine.Close();
  {
    std::lock_guard<std::mutex> lock(closeMutex);
    closeDone = true;
  }
  closed.notify_all();
  watchdog.join();
  watcher.Stop();

  PrintSummary(samples, tally, ranSeconds, options.seed);
  const bool longRun = options.minutes >= 10;
  const std::vector<soak::Growth> growth =
      soak::JudgeGrowth(samples, longRun, options.minutes * 60, options.warmupSeconds);
  bool grew = false;
  std::printf("  growth (%s):\n",
              longRun ? "second half: its first sample to its largest" : "first sample after the warm-up to the last");
  for (const soak::Growth& g : growth) {
    std::printf("    %-14s %lld at %.0f s -> %lld at %.0f s: %+lld (allowed %lld) %s\n", g.figure.c_str(),
                static_cast<long long>(g.from), g.fromSeconds, static_cast<long long>(g.to), g.toSeconds,
                static_cast<long long>(g.to - g.from), static_cast<long long>(g.allowed), g.grew ? "GREW" : "ok");
    grew = grew || g.grew;
  }
  if (growth.empty()) std::printf("    too few samples to judge\n");
  for (soak::PhoneLink& phone : phones) {
    const std::string complaints = SimControl::Field(phone.State(), "complaints");
    if (!complaints.empty() && complaints != "0")
      std::printf("  phone %s: %s complaints about what the engine sent (this session)\n", phone.key().c_str(),
                  complaints.c_str());
  }
  const bool passed = tally.failures == 0 && !stuck && !grew;
  std::printf("soak: %s (seed %u)\n", passed ? "PASS" : "FAIL", options.seed);
  return passed ? 0 : 1;
}
