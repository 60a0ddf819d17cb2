#include "viewer.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "camera_section.h"
#include "command_input.h"
#include "picture_to_rgb.h"
#include "snapshots.h"

namespace camera_viewer {
namespace {

using Clock = std::chrono::steady_clock;

// Short enough that a 60 fps camera's two slots never both fill between two looks.
constexpr int kPollMs = 2;

// Whoever reads the viewer's output (a script, through a pipe) sees each line as it happens.
void Say(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("camera-viewer: ", stdout);
  std::vprintf(format, args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  va_end(args);
}

// "phase live" -> "phase", "live"; blanks around either are dropped.
void SplitCommand(const std::string& line, std::string* word, std::string* argument) {
  const size_t wordStart = line.find_first_not_of(" \t");
  if (wordStart == std::string::npos) return;
  const size_t wordEnd = line.find_first_of(" \t", wordStart);
  *word = line.substr(wordStart, wordEnd - wordStart);
  if (wordEnd == std::string::npos) return;
  const size_t argumentStart = line.find_first_not_of(" \t", wordEnd);
  if (argumentStart == std::string::npos) return;
  const size_t argumentEnd = line.find_last_not_of(" \t");
  *argument = line.substr(argumentStart, argumentEnd + 1 - argumentStart);
}

struct Slot {
  std::vector<uint8_t> bytes;
  TakenPicture taken;
  bool full = false;
};

}  // namespace

int Viewer::Run(const std::atomic<bool>& stop) {
  const Clock::time_point start = Clock::now();
  const auto now = [start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  const PictureLayout& layout = options_.layout;

  std::string error;
  std::unique_ptr<CameraSection> section = CameraSection::Publish(options_.camera, layout, options_.fps, &error);
  if (section == nullptr) {
    std::fprintf(stderr, "camera-viewer: %s\n", error.c_str());
    return 1;
  }
  Say("camera %d: consumer of %ux%d %s at %.2f fps; waiting for the engine", options_.camera, layout.width,
      layout.height, PixelCodeName(layout.code), options_.fps);

  PictureStats stats(0);
  Snapshots snapshots(options_.snapshots, options_.snapshotDir, options_.snapshotPrefix);
  CommandInput commands;
  const size_t pictureBytes = static_cast<size_t>(PictureBytes(layout));
  Slot slots[2];
  std::vector<uint8_t> rgb;
  bool attached = false;
  double nextSecond = 1;
  bool quit = false;

  while (!quit && !stop.load()) {
    if (options_.duration > 0 && now() >= options_.duration) break;
    section->Wait(kPollMs);

    for (int i = 0; i < 2; ++i) slots[i].full = section->Take(i, pictureBytes, &slots[i].bytes, &slots[i].taken);
    // With both slots full, the older picture first, as a display would show them.
    const bool swap = slots[0].full && slots[1].full && slots[1].taken.time < slots[0].taken.time;
    for (int k = 0; k < 2; ++k) {
      Slot& slot = slots[swap ? 1 - k : k];
      if (!slot.full) continue;
      const double at = now();
      if (firstPictureAt_ < 0) {
        firstPictureAt_ = at;
        Say("first picture after %.2f s (picture time %.3f)", at, slot.taken.time);
      }
      stats.Add(slot.taken.time, slot.taken.overwritten);
      if (!ToRgb(layout, slot.bytes.data(), slot.bytes.size(), &rgb)) continue;
      if (snapshots.AnyDue(at))
        for (const std::string& line : snapshots.WriteDue(at, static_cast<int>(layout.width),
                                                          static_cast<int>(layout.rows()), rgb, slot.taken.time))
          Say("%s", line.c_str());
    }

    if (section->EngineAttached() != attached) {
      attached = !attached;
      if (attached && attachedAt_ < 0) attachedAt_ = now();
      Say("%.2f s: engine %s", now(), attached ? "attached" : "detached");
    }

    for (const std::string& line : commands.Poll()) {
      std::string word;
      std::string argument;
      SplitCommand(line, &word, &argument);
      if (word == "quit") {
        quit = true;
      } else if (word == "snapshot" && (argument.empty() || IsPlainName(argument))) {
        snapshots.RequestNow(argument, now());
      } else if (word == "phase" && IsPlainName(argument)) {
        stats.BeginPhase(argument, now());
        phaseChangedThisSecond_ = true;
        Say("%.2f s: phase %s", now(), argument.c_str());
      } else if (word == "stats") {
        const PictureCounts total = stats.Total(now());
        Say("%.2f s: %llu pictures so far", now(), static_cast<unsigned long long>(total.pictures));
      } else if (!word.empty()) {
        Say("not understood: '%s' (snapshot [NAME], phase NAME, stats, quit; names of letters, digits, - _ .)",
            line.c_str());
      }
    }

    const double current = now();
    if (current >= nextSecond) {
      ReportSecond(stats, current, attached);
      nextSecond += 1;
      if (nextSecond <= current) nextSecond = current + 1;  // after a stall, no burst of lines
    }
  }

  const double end = now();
  // The consumer goes away before the summary, as a closing camera application would.
  section.reset();
  ReportEnd(stats, end, snapshots.Pending(), snapshots.written());
  return 0;
}

void Viewer::ReportSecond(PictureStats& stats, double now, bool attached) {
  const PictureCounts second = stats.EndSecond(now);
  Say("%5.1f s: %3llu pictures/s, %3llu distinct, %llu missed, %llu overwritten; engine %s; phase %s", now,
      static_cast<unsigned long long>(second.pictures), static_cast<unsigned long long>(second.distinct),
      static_cast<unsigned long long>(second.missed), static_cast<unsigned long long>(second.overwritten),
      attached ? "attached" : "not attached", stats.phase().c_str());
  if (!phaseChangedThisSecond_) phaseSeconds_[stats.phase()].push_back(second.pictures);
  phaseChangedThisSecond_ = false;
}

void Viewer::ReportEnd(const PictureStats& stats, double now, const std::vector<std::string>& pendingSnapshots,
                       size_t snapshotsWritten) {
  const PictureCounts total = stats.Total(now);
  Say("summary: %llu pictures (%llu distinct times) in %.1f s, average %.1f pictures/s, %llu missed, "
      "%llu overwritten, %zu snapshots",
      static_cast<unsigned long long>(total.pictures), static_cast<unsigned long long>(total.distinct), total.seconds,
      total.PerSecond(), static_cast<unsigned long long>(total.missed),
      static_cast<unsigned long long>(total.overwritten), snapshotsWritten);
  for (const PhaseCounts& phase : stats.Phases(now)) {
    Say("phase %s: %llu pictures in %.1f s, %.1f pictures/s, %llu missed", phase.name.c_str(),
        static_cast<unsigned long long>(phase.counts.pictures), phase.counts.seconds, phase.counts.PerSecond(),
        static_cast<unsigned long long>(phase.counts.missed));
  }
  for (const std::string& name : pendingSnapshots) Say("snapshot %s: no picture came after its moment", name.c_str());
  if (!options_.statsFile.empty()) WriteStatsFile(stats, now, snapshotsWritten, pendingSnapshots.size());
}

void Viewer::WriteStatsFile(const PictureStats& stats, double now, size_t snapshotsWritten, size_t snapshotsPending) {
  std::FILE* file = std::fopen(options_.statsFile.c_str(), "w");
  if (file == nullptr) {
    std::fprintf(stderr, "camera-viewer: cannot write %s\n", options_.statsFile.c_str());
    return;
  }
  const PictureCounts total = stats.Total(now);
  const PictureLayout& layout = options_.layout;
  std::fprintf(file, "camera=%d\nwidth=%u\nheight=%d\ncode=%u\nfps=%.3f\n", options_.camera, layout.width,
               layout.height, layout.code, options_.fps);
  std::fprintf(file, "seconds=%.3f\nengine_attached_at=%.3f\nfirst_picture_at=%.3f\n", total.seconds, attachedAt_,
               firstPictureAt_);
  std::fprintf(file, "pictures=%llu\ndistinct=%llu\nmissed=%llu\noverwritten=%llu\naverage_fps=%.2f\n",
               static_cast<unsigned long long>(total.pictures), static_cast<unsigned long long>(total.distinct),
               static_cast<unsigned long long>(total.missed), static_cast<unsigned long long>(total.overwritten),
               total.PerSecond());
  std::fprintf(file, "snapshots_written=%zu\nsnapshots_pending=%zu\n", snapshotsWritten, snapshotsPending);
  std::string names;
  for (const PhaseCounts& phase : stats.Phases(now)) {
    names += (names.empty() ? "" : ",") + phase.name;
    const char* name = phase.name.c_str();
    std::fprintf(file, "phase.%s.pictures=%llu\nphase.%s.distinct=%llu\nphase.%s.missed=%llu\n", name,
                 static_cast<unsigned long long>(phase.counts.pictures), name,
                 static_cast<unsigned long long>(phase.counts.distinct), name,
                 static_cast<unsigned long long>(phase.counts.missed));
    std::fprintf(file, "phase.%s.seconds=%.3f\nphase.%s.fps=%.2f\n", name, phase.counts.seconds, name,
                 phase.counts.PerSecond());
    std::string perSecond;
    for (uint64_t count : phaseSeconds_[phase.name])
      perSecond += (perSecond.empty() ? "" : ",") + std::to_string(count);
    std::fprintf(file, "phase.%s.per_second=%s\n", name, perSecond.c_str());
  }
  std::fprintf(file, "phases=%s\n", names.c_str());
  std::fclose(file);
}

}  // namespace camera_viewer
