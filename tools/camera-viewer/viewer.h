#pragma once
// The viewer's run: publishes the camera section, takes every picture the engine writes, turns
// it into RGB as a display would, keeps the snapshots, and reports per second and at the end.
// Thread: the main thread runs Run to the end; `stop` may be set from any thread (Ctrl-C).
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "picture_stats.h"
#include "viewer_options.h"

namespace camera_viewer {

class Viewer {
 public:
  explicit Viewer(ViewerOptions options) : options_(std::move(options)) {}
  // 0 when it ran to the end, 1 when the section could not be published.
  int Run(const std::atomic<bool>& stop);

 private:
  void ReportSecond(PictureStats& stats, double now, bool attached);
  void ReportEnd(const PictureStats& stats, double now, const std::vector<std::string>& pendingSnapshots,
                 size_t snapshotsWritten);
  void WriteStatsFile(const PictureStats& stats, double now, size_t snapshotsWritten, size_t snapshotsPending);

  ViewerOptions options_;
  double attachedAt_ = -1;
  double firstPictureAt_ = -1;
  // Per-second counts of the seconds that lay wholly inside one phase, by phase.
  std::map<std::string, std::vector<uint64_t>> phaseSeconds_;
  bool phaseChangedThisSecond_ = false;
};

}  // namespace camera_viewer
