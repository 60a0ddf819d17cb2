// The video path's costs, measured on the committed H.264 clips: the engine's decoder and output
// step against bare FFmpeg doing the same work in this process, and the latency from a packet's
// arrival to its picture waiting in the camera's frame slot. Prints figures; never judges them.
//
//   video_bench [--frames N] [--runs N] [--latency-seconds S] [--clips DIR] [--json FILE]
//               [--wineserver PID]
//
// --clips: the realistic streams of bench/make-bench-streams.sh (DIR as this program's file
// functions name it: under Wine on drive Z:) instead of the light committed clips.
// --json: the figures again, machine-readable, with every paced picture's latency (bench/plot.py
// draws them).
// --wineserver: under Wine, the Linux process number of the wineserver that serves this program,
// whose CPU time each path costs is reported beside the path's own.
//
// Thread: main drives everything; the decoder thread runs the sink (the output step), which hands
// its timings back through a mutex.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_json.h"
#include "common/error_log.h"
#include "cpu_time.h"
#include "cpu_watch.h"
#include "fixture_file.h"
#include "media/decoded_frame_pair.h"
#include "media/decoder_sink.h"
#include "media/video_decoder.h"
#include "output/device_paths.h"
#include "output/frame_slot.h"
#include "output/virtual_camera_output.h"
#include "platform/clock.h"
#include "simulated_drivers.h"

namespace {

using kavex::EngineClock;
using Packets = std::vector<std::vector<uint8_t>>;

constexpr double kFramePeriodSeconds = 1.0 / 30.0;
constexpr double kOverheadTarget = 1.05;
constexpr auto kResultTimeout = std::chrono::seconds(120);  // Wine on a busy machine is slow

struct Options {
  size_t frames = 300;
  int runs = 9;
  // Long enough for a real percentile: 1,800 pictures, 30 keyframes of the realistic streams.
  double latencySeconds = 60.0;
  std::string clips;  // empty: the committed clips
  std::string json;
  std::string wineserver;  // Linux process number, or empty
};

struct Clip {
  const char* file;
  int width;
  int height;
  Packets packets;
  size_t largestPacket = 0;
  double meanPacketBytes = 0;
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Nearest rank: the smallest value that at least `percent` of the values do not exceed.
double Percentile(std::vector<double> values, double percent) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(percent / 100.0 * static_cast<double>(values.size()) + 0.999999);
  rank = std::min(std::max<size_t>(rank, 1), values.size());
  return values[rank - 1];
}

// Luma of the white bar's middle (nominal 180) in a YUY2 picture of the clip's size: the check
// that a run really drew pictures rather than timing an empty path.
int WhiteBarLuma(const uint8_t* yuy2, const Clip& clip) {
  const int x = clip.width * 90 / 1280;  // the white bar is the leftmost seventh
  const int y = clip.height / 3;
  return yuy2[(static_cast<size_t>(y) * clip.width + x) * 2];
}

bool LumaLooksWhite(int luma) { return luma >= 170 && luma <= 190; }

// The engine's output step on the decoder thread, as the instance runs it (without the host's
// preview and size callbacks), timed. Afterwards it plays the feeder and takes the picture off
// the slot at once, so every picture finds a free slot.
class OutputStepSink : public kavex::DecoderSink {
 public:
  OutputStepSink(kavex::DecodedFramePair& pair, kavex::VirtualCameraOutput& output) : pair_(pair), output_(output) {}

  // Packets of the next run carry the timestamps 0..frames-1.
  void Begin(size_t frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    taken_.assign(frames, 0);
    resultAt_.assign(frames, 0);
    doneAt_.assign(frames, 0);
    results_ = 0;
    failures_ = 0;
  }

  void OnPacketTaken(float timestamp) override {
    const size_t index = static_cast<size_t>(timestamp);
    if (index < taken_.size()) taken_[index] = EngineClock::Now();
  }

  void OnDecodeResult(bool failed, float timestamp) override {
    const double resultAt = EngineClock::Now();
    bool delivered = false;
    if (failed) {
      output_.ClearFrameSlots();
    } else {
      const int slot = pair_.TakeReady();
      if (slot >= 0) {
        output_.WriteDecodedPicture(*pair_.frame(slot), timestamp);
        pair_.Release(slot);
        delivered = true;
      }
    }
    const double doneAt = EngineClock::Now();
    for (int slot = 0; slot < 2; ++slot) output_.localSlot(slot).SetReady(false);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const size_t index = static_cast<size_t>(timestamp);
      if (index < doneAt_.size()) {
        resultAt_[index] = resultAt;
        doneAt_[index] = doneAt;
      }
      ++results_;
      if (!delivered) ++failures_;
    }
    resultSeen_.notify_all();
  }

  bool WaitForResults(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return resultSeen_.wait_for(lock, kResultTimeout, [&] { return results_ >= count; });
  }

  // Read after WaitForResults: the mutex orders the decoder thread's writes before them.
  size_t failures() const { return failures_; }
  const std::vector<double>& taken() const { return taken_; }
  const std::vector<double>& resultAt() const { return resultAt_; }
  const std::vector<double>& doneAt() const { return doneAt_; }

 private:
  kavex::DecodedFramePair& pair_;
  kavex::VirtualCameraOutput& output_;
  std::mutex mutex_;
  std::condition_variable resultSeen_;
  std::vector<double> taken_;
  std::vector<double> resultAt_;
  std::vector<double> doneAt_;
  size_t results_ = 0;
  size_t failures_ = 0;
};

// One camera output of the clip's size in YUY2, reached by control codes through the simulated
// drivers; nobody reads the camera, so its feeder only polls.
class BenchOutput {
 public:
  explicit BenchOutput(const Clip& clip) : drivers_(Config(clip)) {
    kavex::device_paths::Scan(drivers_);
    output_ = std::make_unique<kavex::VirtualCameraOutput>(0, nullptr, drivers_);
  }
  ~BenchOutput() {
    if (output_ != nullptr) output_->Close();
  }

  // Empty when the output is usable, else what went wrong.
  std::string Open(const Clip& clip) {
    const int result = output_->Open();
    if (result != kavex::VirtualCameraOutput::kOpened) return "open failed: " + std::to_string(result);
    if (output_->sectionMode()) return "opened in section mode; the bench drives control-code mode";
    const kavex::OutputFormat format = output_->format();
    if (format.width != static_cast<uint32_t>(clip.width) || format.height != clip.height ||
        format.code != kavex::kPixelYuy2)
      return "the output did not take the camera's " + std::to_string(clip.width) + "x" + std::to_string(clip.height) +
             " YUY2 format";
    output_->SetStreaming(true);
    return {};
  }

  kavex::VirtualCameraOutput& output() { return *output_; }

 private:
  static kavex::simdrivers::SimulatedDriversConfig Config(const Clip& clip) {
    kavex::simdrivers::SimulatedDriversConfig config;
    for (auto& camera : config.cameras) camera.info.consumerActive = 0;
    config.cameras[0].info.width = static_cast<uint32_t>(clip.width);
    config.cameras[0].info.height = clip.height;
    config.cameras[0].info.yuy2 = 1;
    return config;
  }

  kavex::simdrivers::SimulatedDrivers drivers_;
  std::unique_ptr<kavex::VirtualCameraOutput> output_;
};

// Everything the engine path needs for one clip: the output, the picture pair and the sink.
struct EnginePath {
  explicit EnginePath(const Clip& clip) : bench(clip), sink(pair, bench.output()) {}
  BenchOutput bench;
  kavex::DecodedFramePair pair;
  OutputStepSink sink;
};

struct RunResult {
  bool ok = false;
  double msPerFrame = 0;
  // Of which, per frame: the codec's send and receive, and the output step (bare: the conversion).
  double decodeMs = 0;
  double outputMs = 0;
  int whiteLuma = -1;
};

float Timestamp(size_t index) { return static_cast<float>(index); }

// A phone's pace: packet i is due 1/30 s after packet i-1, the first shortly after the start.
class PhonePace {
 public:
  PhonePace()
      : period_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(kFramePeriodSeconds))),
        first_(std::chrono::steady_clock::now() + std::chrono::milliseconds(50)) {}
  void WaitFor(size_t index) const { std::this_thread::sleep_until(first_ + period_ * static_cast<int64_t>(index)); }

 private:
  std::chrono::steady_clock::duration period_;
  std::chrono::steady_clock::time_point first_;
};

constexpr size_t kBurstWindow = 32;  // packets a burst has waiting at most

// The engine: one packet submitted at a time, each awaited through OnDecodeResult (one by one),
// or packets submitted as fast as the decoder takes them and the clock stopped at the last result
// (burst).
RunResult RunEngine(EnginePath& path, const Clip& clip, size_t frames, bool oneByOne) {
  RunResult run;
  path.pair.FreeAll();
  std::unique_ptr<kavex::VideoDecoder> decoder = kavex::VideoDecoder::Create(false, path.pair, path.sink);
  if (decoder == nullptr) return run;
  path.sink.Begin(frames);
  const double start = EngineClock::Now();
  for (size_t i = 0; i < frames; ++i) {
    const std::vector<uint8_t>& packet = clip.packets[i % clip.packets.size()];
    // A burst keeps the decoder busy without overflowing its packet ring (7 MB): a phone's
    // pictures are tens of kilobytes each.
    if (!oneByOne && i >= kBurstWindow && !path.sink.WaitForResults(i - kBurstWindow + 1)) return run;
    decoder->Submit(packet.data(), packet.size(), Timestamp(i));
    if (oneByOne && !path.sink.WaitForResults(i + 1)) return run;
  }
  if (!path.sink.WaitForResults(frames)) return run;
  const double elapsed = EngineClock::Now() - start;
  decoder.reset();
  for (size_t i = 0; i < frames; ++i) {
    run.decodeMs += (path.sink.resultAt()[i] - path.sink.taken()[i]) * 1000.0;
    run.outputMs += (path.sink.doneAt()[i] - path.sink.resultAt()[i]) * 1000.0;
  }
  run.decodeMs /= static_cast<double>(frames);
  run.outputMs /= static_cast<double>(frames);
  const kavex::FrameSlot slot = path.bench.output().localSlot(0);
  run.ok = path.sink.failures() == 0 && slot.length() == static_cast<uint32_t>(clip.width * clip.height * 2);
  run.whiteLuma = WhiteBarLuma(slot.data(), clip);
  run.msPerFrame = elapsed * 1000.0 / static_cast<double>(frames);
  return run;
}

// Bare FFmpeg in this process with the engine's settings: the same decoder configuration, one
// copy of each packet into a padded payload (as the engine takes it out of its ring), and one
// SWS_FAST_BILINEAR conversion into a buffer of a frame slot's size.
class BarePath {
 public:
  explicit BarePath(const Clip& clip)
      : clip_(clip), slot_(static_cast<uint8_t*>(av_malloc(kavex::FrameSlot::kBytes))) {}
  ~BarePath() {
    sws_freeContext(scaler_);
    av_free(slot_);
  }

  // Packets back to back.
  RunResult Run(size_t frames) { return Decode(frames, nullptr); }
  // Packets at a phone's pace; each packet's copy + decode + conversion time, ms, into `latencies`.
  RunResult RunPaced(size_t frames, std::vector<double>* latencies) { return Decode(frames, latencies); }

 private:
  RunResult Decode(size_t frames, std::vector<double>* pacedLatencies) {
    RunResult run;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool ready = context != nullptr && packet != nullptr && frame != nullptr && slot_ != nullptr;
    if (ready) {
      context->thread_count = 0;
      context->thread_type = FF_THREAD_SLICE;
      av_opt_set_int(context, "refcounted_frames", 1, 0);
      ready = avcodec_open2(context, codec, nullptr) == 0 &&
              av_new_packet(packet, static_cast<int>(clip_.largestPacket) + AV_INPUT_BUFFER_PADDING_SIZE) == 0;
    }
    size_t pictures = 0;
    double elapsed = 0;
    double decoding = 0;
    double converting = 0;
    if (ready) {
      const PhonePace pace;
      if (pacedLatencies != nullptr) pacedLatencies->clear();
      const double start = EngineClock::Now();
      for (size_t i = 0; i < frames; ++i) {
        if (pacedLatencies != nullptr) pace.WaitFor(i);
        const double packetAt = EngineClock::Now();
        const std::vector<uint8_t>& data = clip_.packets[i % clip_.packets.size()];
        std::memcpy(packet->data, data.data(), data.size());
        std::memset(packet->data + data.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);
        packet->size = static_cast<int>(data.size());
        const double decodeStart = EngineClock::Now();
        avcodec_send_packet(context, packet);
        const bool decoded = avcodec_receive_frame(context, frame) == 0;
        const double decodeEnd = EngineClock::Now();
        if (decoded && Convert(*frame)) ++pictures;
        const double convertEnd = EngineClock::Now();
        decoding += decodeEnd - decodeStart;
        converting += convertEnd - decodeEnd;
        if (pacedLatencies != nullptr) pacedLatencies->push_back((convertEnd - packetAt) * 1000.0);
      }
      elapsed = EngineClock::Now() - start;
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    if (!ready) return run;
    run.ok = pictures == frames;
    run.whiteLuma = WhiteBarLuma(slot_, clip_);
    run.msPerFrame = elapsed * 1000.0 / static_cast<double>(frames);
    run.decodeMs = decoding * 1000.0 / static_cast<double>(frames);
    run.outputMs = converting * 1000.0 / static_cast<double>(frames);
    return run;
  }

  bool Convert(const AVFrame& frame) {
    const AVPixelFormat source =
        frame.format == AV_PIX_FMT_YUVJ420P ? AV_PIX_FMT_YUV420P : static_cast<AVPixelFormat>(frame.format);
    scaler_ = sws_getCachedContext(scaler_, frame.width, frame.height, source, frame.width, frame.height,
                                   AV_PIX_FMT_YUYV422, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) return false;
    uint8_t* planes[4] = {slot_, nullptr, nullptr, nullptr};
    const int strides[4] = {frame.width * 2, 0, 0, 0};
    return sws_scale(scaler_, frame.data, frame.linesize, 0, frame.height, planes, strides) > 0;
  }

  const Clip& clip_;
  uint8_t* slot_;
  SwsContext* scaler_ = nullptr;
};

struct PathRuns {
  std::vector<double> ms;
  std::vector<double> decodeMs;
  std::vector<double> outputMs;
  double serverSeconds = 0;  // the wineserver's CPU time over all the runs of this path
  size_t frames = 0;

  void Add(const RunResult& run, size_t runFrames, double serverCpu) {
    ms.push_back(run.msPerFrame);
    decodeMs.push_back(run.decodeMs);
    outputMs.push_back(run.outputMs);
    serverSeconds += serverCpu;
    frames += runFrames;
  }
  double ServerMsPerFrame() const { return frames > 0 ? serverSeconds * 1000.0 / static_cast<double>(frames) : 0; }
};

struct ThroughputRow {
  PathRuns bare;
  PathRuns oneByOne;
  PathRuns burst;
};

// Spread of a set of runs, as a share of its median.
double SpreadPercent(const std::vector<double>& values) {
  const double median = Median(values);
  if (values.empty() || median <= 0) return 0;
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  return (*high - *low) * 100.0 / median;
}

// The median of each round's engine / bare ratio: the two runs of a round follow each other, so
// they share whatever else the machine was doing then.
double PairedRatio(const std::vector<double>& engine, const std::vector<double>& bare) {
  std::vector<double> ratios;
  for (size_t i = 0; i < engine.size() && i < bare.size(); ++i)
    if (bare[i] > 0) ratios.push_back(engine[i] / bare[i]);
  return Median(ratios);
}

struct LatencyRow {
  bool ok = false;
  size_t frames = 0;
  std::vector<double> totalMs;   // Submit to the picture in the slot
  std::vector<double> outputMs;  // of which the output step
  std::vector<double> queueMs;   // of which Submit to the decoder thread taking the packet
  std::vector<double> bareMs;    // bare FFmpeg at the same pace: copy + decode + conversion
  std::vector<bool> keyframe;    // the picture's packet starts a keyframe
};

// Whether an H.264 packet (Annex B) holds an IDR slice.
bool StartsKeyframe(const std::vector<uint8_t>& packet) {
  for (size_t i = 0; i + 3 < packet.size(); ++i)
    if (packet[i] == 0 && packet[i + 1] == 0 && packet[i + 2] == 1 && (packet[i + 3] & 0x1f) == 5) return true;
  return false;
}

// Engine minus bare, picture by picture (the same packet at the same pace), keyframes or the others.
std::vector<double> PerPictureExcess(const LatencyRow& row, bool keyframes) {
  std::vector<double> excess;
  for (size_t i = 0; i < row.totalMs.size() && i < row.bareMs.size(); ++i)
    if (row.keyframe[i] == keyframes) excess.push_back(row.totalMs[i] - row.bareMs[i]);
  return excess;
}

// Packets submitted at 30 fps, each when its time comes, as the receive thread would.
LatencyRow MeasureLatency(EnginePath& path, BarePath& bare, const Clip& clip, double seconds) {
  LatencyRow row;
  const size_t frames = static_cast<size_t>(seconds * 30.0);
  if (frames == 0) return row;
  path.pair.FreeAll();
  std::unique_ptr<kavex::VideoDecoder> decoder = kavex::VideoDecoder::Create(false, path.pair, path.sink);
  if (decoder == nullptr) return row;
  path.sink.Begin(frames);
  std::vector<double> submitAt(frames, 0);
  const PhonePace pace;
  for (size_t i = 0; i < frames; ++i) {
    pace.WaitFor(i);
    const std::vector<uint8_t>& packet = clip.packets[i % clip.packets.size()];
    submitAt[i] = EngineClock::Now();
    decoder->Submit(packet.data(), packet.size(), Timestamp(i));
  }
  if (!path.sink.WaitForResults(frames)) return row;
  decoder.reset();
  for (size_t i = 0; i < frames; ++i) {
    row.totalMs.push_back((path.sink.doneAt()[i] - submitAt[i]) * 1000.0);
    row.outputMs.push_back((path.sink.doneAt()[i] - path.sink.resultAt()[i]) * 1000.0);
    row.queueMs.push_back((path.sink.taken()[i] - submitAt[i]) * 1000.0);
    row.keyframe.push_back(StartsKeyframe(clip.packets[i % clip.packets.size()]));
  }
  row.frames = frames;
  row.ok = path.sink.failures() == 0 && bare.RunPaced(frames, &row.bareMs).ok;
  return row;
}

std::string SizeName(const Clip& clip) { return std::to_string(clip.width) + "x" + std::to_string(clip.height); }

// The distribution of one path's paced latencies, with every sample for the plots.
bench::JsonObject JsonLatency(const std::vector<double>& ms) {
  return bench::JsonObject()
      .Add("median", Median(ms))
      .Add("p99", Percentile(ms, 99))
      .Add("max", Percentile(ms, 100))
      .Add("samples", ms);
}

bench::JsonObject JsonExcess(const std::vector<double>& ms) {
  return bench::JsonObject()
      .Add("pictures", static_cast<long long>(ms.size()))
      .Add("median", Median(ms))
      .Add("p99", Percentile(ms, 99))
      .Add("max", Percentile(ms, 100));
}

bool WriteJson(const Options& options, const std::vector<Clip>& clips, const std::vector<ThroughputRow>& throughput,
               const std::vector<LatencyRow>& latency) {
  std::vector<bench::JsonObject> sizes;
  for (size_t c = 0; c < clips.size(); ++c) {
    const ThroughputRow& row = throughput[c];
    const LatencyRow& paced = latency[c];
    bench::JsonObject size;
    size.Add("size", SizeName(clips[c]))
        .Add("mean_packet_bytes", clips[c].meanPacketBytes)
        .Add("bare_ms", Median(row.bare.ms))
        .Add("one_by_one_ms", Median(row.oneByOne.ms))
        .Add("one_by_one_ratio", PairedRatio(row.oneByOne.ms, row.bare.ms))
        .Add("burst_ms", Median(row.burst.ms))
        .Add("burst_ratio", PairedRatio(row.burst.ms, row.bare.ms))
        .Add("wineserver_ms_per_frame", bench::JsonObject()
                                            .Add("bare", row.bare.ServerMsPerFrame())
                                            .Add("one_by_one", row.oneByOne.ServerMsPerFrame())
                                            .Add("burst", row.burst.ServerMsPerFrame()));
    if (paced.ok) {
      size.Add("paced_ratio", Median(paced.totalMs) / Median(paced.bareMs))
          .Add("p99_gap_ms", Percentile(paced.totalMs, 99) - Percentile(paced.bareMs, 99))
          .Add("latency_ms",
               bench::JsonObject().Add("engine", JsonLatency(paced.totalMs)).Add("bare", JsonLatency(paced.bareMs)))
          .Add("excess_ms", bench::JsonObject()
                                .Add("keyframes", JsonExcess(PerPictureExcess(paced, true)))
                                .Add("others", JsonExcess(PerPictureExcess(paced, false))));
    }
    sizes.push_back(size);
  }
  return bench::WriteJsonFile(options.json, bench::JsonObject()
                                                .Add("bench", "video")
                                                .Add("tier", testkit::RunningUnderWine() ? "win32" : "native")
                                                .Add("platform", testkit::PlatformName())
                                                .Add("content", options.clips.empty() ? "light" : "realistic")
                                                .Add("frames", static_cast<long long>(options.frames))
                                                .Add("runs", options.runs)
                                                .Add("target_ratio", kOverheadTarget)
                                                .Add("sizes", sizes));
}

// The wineserver's CPU seconds so far, or 0 when there is none to watch.
double ServerCpuSeconds(const Options& options) {
  if (options.wineserver.empty()) return 0;
  return std::max(bench::KernelCpuSeconds(options.wineserver), 0.0);
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--frames") {
      options->frames = static_cast<size_t>(std::strtoul(value, nullptr, 10));
    } else if (arg == "--runs") {
      options->runs = std::atoi(value);
    } else if (arg == "--latency-seconds") {
      options->latencySeconds = std::atof(value);
    } else if (arg == "--clips") {
      options->clips = value;
    } else if (arg == "--json") {
      options->json = value;
    } else if (arg == "--wineserver") {
      options->wineserver = value;
    } else {
      return false;
    }
  }
  return options->frames > 0 && options->runs > 0 && options->latencySeconds >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: video_bench [--frames N] [--runs N] [--latency-seconds S] [--clips DIR] [--json FILE]\n"
                 "                   [--wineserver PID]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  av_log_set_level(AV_LOG_ERROR);
  // Whatever an earlier program left in the error log is not this run's.
  kavex::ErrorLog::TakeStoredEntry();

  std::vector<Clip> clips = {{"h264-1280x720.psimpkt", 1280, 720, {}}, {"h264-1920x1080.psimpkt", 1920, 1080, {}}};
  for (Clip& clip : clips) {
    const std::string path = options.clips.empty() ? fixture_file::Path(clip.file) : options.clips + "/" + clip.file;
    clip.packets = fixture_file::ReadPacketsAt(path);
    if (clip.packets.empty()) {
      std::fprintf(stderr, "video_bench: cannot read %s\n", path.c_str());
      return 2;
    }
    size_t total = 0;
    for (const auto& packet : clip.packets) {
      total += packet.size();
      clip.largestPacket = std::max(clip.largestPacket, packet.size());
    }
    clip.meanPacketBytes = static_cast<double>(total) / static_cast<double>(clip.packets.size());
  }

  std::printf("video_bench: the engine's H.264 video path against bare FFmpeg\n");
  std::printf("machine: %s, nproc %u, build %s, FFmpeg %s\n", testkit::PlatformName().c_str(),
              std::thread::hardware_concurrency(), KAVEX_BENCH_BUILD_TYPE, av_version_info());
  if (options.clips.empty()) {
    std::printf(
        "fixtures: the %zu-packet clips of tests/fixtures, looped (keyframes at 0 and 30);"
        " mean %.0f / %.0f bytes a packet.\n",
        clips[0].packets.size(), clips[0].meanPacketBytes, clips[1].meanPacketBytes);
    std::printf(
        "  LIGHT content (flat colour bars): decoding costs far less than a phone's stream, so\n"
        "  the engine's fixed per-frame costs weigh more here than they would in use.\n");
  } else {
    std::printf(
        "streams: %s, %zu / %zu packets, looped; mean %.0f / %.0f bytes a packet\n"
        "  (camera-like content, constant bit rate, a keyframe every 2 s).\n",
        options.clips.c_str(), clips[0].packets.size(), clips[1].packets.size(), clips[0].meanPacketBytes,
        clips[1].meanPacketBytes);
  }
  std::printf(
      "output: control-code mode on the simulated drivers, YUY2 at the clip's size, one\n"
      "  SWS_FAST_BILINEAR conversion a picture into a %zu-byte frame slot.\n\n",
      kavex::FrameSlot::kBytes);

  bool allOk = true;
  std::vector<ThroughputRow> throughput(clips.size());
  std::vector<LatencyRow> latency(clips.size());
  for (size_t c = 0; c < clips.size(); ++c) {
    const Clip& clip = clips[c];
    EnginePath engine(clip);
    const std::string problem = engine.bench.Open(clip);
    if (!problem.empty() || !engine.pair.valid()) {
      std::fprintf(stderr, "video_bench: %dx%d output: %s\n", clip.width, clip.height,
                   problem.empty() ? "no decoded-frame pair" : problem.c_str());
      return 1;
    }
    BarePath bare(clip);
    std::printf("%dx%d: %d runs of %zu frames per path", clip.width, clip.height, options.runs, options.frames);
    // Run -1 warms caches, scalers and the allocator and is not counted. The order of the three
    // paths rotates, so that none always follows the same neighbour.
    for (int run = -1; run < options.runs; ++run) {
      for (int step = 0; step < 3; ++step) {
        const int which = (step + run + 3) % 3;
        RunResult result;
        const double serverBefore = ServerCpuSeconds(options);
        if (which == 0) result = bare.Run(options.frames);
        if (which == 1) result = RunEngine(engine, clip, options.frames, true);
        if (which == 2) result = RunEngine(engine, clip, options.frames, false);
        // The committed clips' white bar shows that pictures were really drawn; a realistic
        // stream's content has none, and the slot's length and the decode results say it.
        if (!result.ok || (options.clips.empty() && !LumaLooksWhite(result.whiteLuma))) {
          std::fprintf(stderr, "\nvideo_bench: %s path at %dx%d failed (white bar luma %d)\n",
                       which == 0   ? "bare"
                       : which == 1 ? "engine one-by-one"
                                    : "engine burst",
                       clip.width, clip.height, result.whiteLuma);
          return 1;
        }
        const double serverCpu = ServerCpuSeconds(options) - serverBefore;
        if (run < 0) continue;
        (which == 0   ? throughput[c].bare
         : which == 1 ? throughput[c].oneByOne
                      : throughput[c].burst)
            .Add(result, options.frames, serverCpu);
      }
      std::printf(".");
    }
    std::printf(" latency %.0f s", options.latencySeconds);
    latency[c] = MeasureLatency(engine, bare, clip, options.latencySeconds);
    if (options.latencySeconds > 0 && !latency[c].ok) {
      std::fprintf(stderr, "\nvideo_bench: latency run at %dx%d failed\n", clip.width, clip.height);
      allOk = false;
    }
    std::printf("\n");
  }

  std::printf(
      "\nThroughput, ms/frame: median of %d runs x %zu frames (+-: max-min of the runs, %% of the median);\n"
      "  ratio: median over the rounds of engine / bare, each round running the paths back to back\n",
      options.runs, options.frames);
  std::printf("  engine 1-by-1: each packet submitted and its OnDecodeResult awaited before the next\n");
  std::printf("  engine burst:  packets submitted up to %zu ahead of the decoder, timed to the last result\n",
              kBurstWindow);
  std::printf("  %-10s %16s %16s %8s %16s %8s\n", "size", "bare FFmpeg", "engine 1-by-1", "ratio", "engine burst",
              "ratio");
  for (size_t c = 0; c < clips.size(); ++c) {
    const ThroughputRow& row = throughput[c];
    const double bareMs = Median(row.bare.ms);
    const double oneMs = Median(row.oneByOne.ms);
    const double burstMs = Median(row.burst.ms);
    const std::string size = SizeName(clips[c]);
    std::printf("  %-10s %8.3f +-%4.1f%% %8.3f +-%4.1f%% %8.3f %8.3f +-%4.1f%% %8.3f\n", size.c_str(), bareMs,
                SpreadPercent(row.bare.ms), oneMs, SpreadPercent(row.oneByOne.ms),
                PairedRatio(row.oneByOne.ms, row.bare.ms), burstMs, SpreadPercent(row.burst.ms),
                PairedRatio(row.burst.ms, row.bare.ms));
  }
  std::printf("  target %.2f (engine / bare)\n", kOverheadTarget);
  std::printf(
      "\n  where a frame's time goes, ms (medians of the runs): decode + output step (bare: the\n"
      "  conversion) + the rest (engine 1-by-1: the packet copies and the two thread hand-offs)\n");
  for (size_t c = 0; c < clips.size(); ++c) {
    const ThroughputRow& row = throughput[c];
    const std::string size = SizeName(clips[c]);
    const double bareDecode = Median(row.bare.decodeMs);
    const double bareOutput = Median(row.bare.outputMs);
    const double oneDecode = Median(row.oneByOne.decodeMs);
    const double oneOutput = Median(row.oneByOne.outputMs);
    std::printf("  %-10s bare %.3f + %.3f + %.3f   engine 1-by-1 %.3f + %.3f + %.3f\n", size.c_str(), bareDecode,
                bareOutput, Median(row.bare.ms) - bareDecode - bareOutput, oneDecode, oneOutput,
                Median(row.oneByOne.ms) - oneDecode - oneOutput);
  }

  if (!options.wineserver.empty()) {
    std::printf(
        "\n  the wineserver's CPU per frame, ms (its requests are the output step's named mutex and\n"
        "  event and the decoder's waits): the ratio without it takes the engine's extra share out\n");
    for (size_t c = 0; c < clips.size(); ++c) {
      const ThroughputRow& row = throughput[c];
      const double extra = row.oneByOne.ServerMsPerFrame() - row.bare.ServerMsPerFrame();
      std::printf("  %-10s bare %.3f  engine 1-by-1 %.3f  burst %.3f   1-by-1 ratio without it %.3f\n",
                  SizeName(clips[c]).c_str(), row.bare.ServerMsPerFrame(), row.oneByOne.ServerMsPerFrame(),
                  row.burst.ServerMsPerFrame(), (Median(row.oneByOne.ms) - extra) / Median(row.bare.ms));
    }
  }

  if (options.latencySeconds > 0) {
    std::printf(
        "\nPaced at 30 fps for %.0f s, ms from the packet to its picture in the frame slot (engine:\n"
        "  Submit to the output step's end; bare: copy + decode + conversion). paced ratio: engine /\n"
        "  bare medians (target %.2f); p99 gap: engine p99 - bare p99 (target 1 ms)\n",
        options.latencySeconds, kOverheadTarget);
    std::printf("  %-10s %7s %8s %8s %8s %8s %8s %8s %8s %8s\n", "size", "frames", "median", "p99", "max", "bare med",
                "bare p99", "bare max", "ratio", "p99 gap");
    for (size_t c = 0; c < clips.size(); ++c) {
      const LatencyRow& row = latency[c];
      if (!row.ok) {
        std::printf("  %-10s failed\n", SizeName(clips[c]).c_str());
        continue;
      }
      std::printf("  %-10s %7zu %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f\n", SizeName(clips[c]).c_str(),
                  row.frames, Median(row.totalMs), Percentile(row.totalMs, 99), Percentile(row.totalMs, 100),
                  Median(row.bareMs), Percentile(row.bareMs, 99), Percentile(row.bareMs, 100),
                  Median(row.totalMs) / Median(row.bareMs), Percentile(row.totalMs, 99) - Percentile(row.bareMs, 99));
    }
    std::printf("  picture by picture, engine - bare on the same packet (ms): median / p99 / max\n");
    for (size_t c = 0; c < clips.size(); ++c) {
      if (!latency[c].ok) continue;
      for (const bool keyframes : {false, true}) {
        const std::vector<double> excess = PerPictureExcess(latency[c], keyframes);
        std::printf("  %-10s %-9s %5zu pictures  %7.3f / %7.3f / %7.3f\n", SizeName(clips[c]).c_str(),
                    keyframes ? "keyframes" : "others", excess.size(), Median(excess), Percentile(excess, 99),
                    Percentile(excess, 100));
      }
    }
    std::printf("  of the engine's median: queue (Submit to the decoder thread taking the packet) / output step\n");
    for (size_t c = 0; c < clips.size(); ++c)
      if (latency[c].ok)
        std::printf("  %-10s %.3f / %.3f\n", SizeName(clips[c]).c_str(), Median(latency[c].queueMs),
                    Median(latency[c].outputMs));
  }

  if (!options.json.empty() && !WriteJson(options, clips, throughput, latency)) {
    std::fprintf(stderr, "video_bench: cannot write %s\n", options.json.c_str());
    allOk = false;
  }

  const std::string logged = kavex::ErrorLog::TakeStoredEntry().text;
  if (!logged.empty()) std::printf("\nengine error log: %s\n", logged.c_str());
  return allOk ? 0 : 1;
}
