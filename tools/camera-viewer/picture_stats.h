#pragma once
// Counts of the pictures the viewer took: per second, per phase (named by whoever drives the
// viewer, e.g. "live") and in total.
// Thread: the viewer's main thread only.
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

namespace camera_viewer {

struct PictureCounts {
  uint64_t pictures = 0;
  uint64_t distinct = 0;     // different picture times
  uint64_t missed = 0;       // estimated from gaps in the picture times (see PictureStats)
  uint64_t overwritten = 0;  // slots the engine rewrote while the viewer copied them
  double seconds = 0;

  double PerSecond() const { return seconds > 0 ? static_cast<double>(pictures) / seconds : 0; }
};

struct PhaseCounts {
  std::string name;
  PictureCounts counts;
};

class PictureStats {
 public:
  explicit PictureStats(double now = 0);

  // One picture taken, carrying the slot's time.
  void Add(float pictureTime, bool overwritten);

  // The counts since the previous call (or the start); starts the next second.
  PictureCounts EndSecond(double now);
  // Closes the current phase and opens a new one.
  void BeginPhase(const std::string& name, double now);
  // Every phase so far, the current one counted up to now.
  std::vector<PhaseCounts> Phases(double now) const;
  PictureCounts Total(double now) const;
  const std::string& phase() const { return current_.name; }

 private:
  struct Window {
    double start = 0;
    PictureCounts counts;
    std::set<float> times;

    void Add(float pictureTime, uint64_t missed, bool overwritten);
    PictureCounts Close(double now) const;
  };

  // Pictures that should have come between the previous picture and this one: a gap of several
  // usual intervals (the median of the recent ones) in one stream. Times that go backwards or jump
  // by a second or more start a new stream (placeholder and phone pictures carry different clocks).
  uint64_t MissedBefore(float pictureTime);

  Window second_;
  Window total_;
  PhaseCounts current_;
  Window phase_;
  std::vector<PhaseCounts> closed_;
  bool havePrevious_ = false;
  float previous_ = 0;
  std::deque<float> intervals_;
};

}  // namespace camera_viewer
