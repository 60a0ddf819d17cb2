#include "picture_stats.h"

#include <algorithm>
#include <cmath>

namespace camera_viewer {
namespace {

// Enough recent intervals for a median that one odd gap does not move.
constexpr size_t kIntervalHistory = 15;
constexpr size_t kIntervalsBeforeJudging = 5;
// A gap counts only when it is clearly longer than the usual interval.
constexpr double kGapFactor = 1.5;
constexpr double kNewStreamSeconds = 1.0;

}  // namespace

void PictureStats::Window::Add(float pictureTime, uint64_t missed, bool overwritten) {
  ++counts.pictures;
  counts.missed += missed;
  if (overwritten) ++counts.overwritten;
  times.insert(pictureTime);
}

PictureCounts PictureStats::Window::Close(double now) const {
  PictureCounts result = counts;
  result.distinct = times.size();
  result.seconds = now - start;
  return result;
}

PictureStats::PictureStats(double now) {
  second_.start = now;
  total_.start = now;
  phase_.start = now;
  current_.name = "start";
}

uint64_t PictureStats::MissedBefore(float pictureTime) {
  if (!havePrevious_) {
    havePrevious_ = true;
    previous_ = pictureTime;
    return 0;
  }
  const float interval = pictureTime - previous_;
  if (interval == 0) return 0;  // the same picture again
  previous_ = pictureTime;
  if (interval < 0 || interval >= kNewStreamSeconds) {
    intervals_.clear();
    return 0;
  }
  uint64_t missed = 0;
  if (intervals_.size() >= kIntervalsBeforeJudging) {
    std::vector<float> sorted(intervals_.begin(), intervals_.end());
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const double usual = sorted[sorted.size() / 2];
    if (usual > 0 && interval > kGapFactor * usual) missed = static_cast<uint64_t>(std::lround(interval / usual)) - 1;
  }
  intervals_.push_back(interval);
  if (intervals_.size() > kIntervalHistory) intervals_.pop_front();
  return missed;
}

void PictureStats::Add(float pictureTime, bool overwritten) {
  const uint64_t missed = MissedBefore(pictureTime);
  second_.Add(pictureTime, missed, overwritten);
  phase_.Add(pictureTime, missed, overwritten);
  total_.Add(pictureTime, missed, overwritten);
}

PictureCounts PictureStats::EndSecond(double now) {
  const PictureCounts result = second_.Close(now);
  second_ = Window{};
  second_.start = now;
  return result;
}

void PictureStats::BeginPhase(const std::string& name, double now) {
  current_.counts = phase_.Close(now);
  closed_.push_back(current_);
  current_ = PhaseCounts{name, {}};
  phase_ = Window{};
  phase_.start = now;
}

std::vector<PhaseCounts> PictureStats::Phases(double now) const {
  std::vector<PhaseCounts> phases = closed_;
  phases.push_back(PhaseCounts{current_.name, phase_.Close(now)});
  return phases;
}

PictureCounts PictureStats::Total(double now) const { return total_.Close(now); }

}  // namespace camera_viewer
