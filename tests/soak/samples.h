#pragma once
// The run's samples of its own process and the judgement whether they grew.
//
// Growth is judged on a stretch of the run where the process should be level: in a long run from
// the first sample of the second half to the largest sample after it, in a short one from the
// first sample after the warm-up to the last. A figure grew when the rise is above the larger of
// 10 % of the stretch's first sample and a small absolute margin (the noise of sessions ending
// and starting while a sample is taken, and of the allocator's pools).
// Thread: main (the sampler thread hands samples over under its own lock).
#include <cstdint>
#include <string>
#include <vector>

#include "process_figures.h"

namespace soak {

struct Sample {
  double seconds = 0;  // since the run began
  ProcessFigures figures;
  int faults = 0;
  int recoveries = 0;
};

// The figures each judged, with its name and absolute margin.
struct FigureRule {
  const char* name;
  int64_t ProcessFigures::*field;
  int64_t margin;
  // A short run's margin: its stretch still holds the warm-up of the allocator's and the decoders'
  // pools, so it can only catch a gross leak; the long run judges the level.
  int64_t shortRunMargin;
};
const std::vector<FigureRule>& FigureRules();

struct Growth {
  std::string figure;
  int64_t from = 0;  // the stretch's first sample
  int64_t to = 0;    // its largest (long run) or last (short run) sample
  int64_t allowed = 0;
  double fromSeconds = 0;
  double toSeconds = 0;
  bool grew = false;
};

// longRun: judge the second half; else from the first sample at or after warmupSeconds to the
// last. Empty when there are not two samples to compare.
std::vector<Growth> JudgeGrowth(const std::vector<Sample>& samples, bool longRun, double durationSeconds,
                                double warmupSeconds);

std::string CsvHeader();
std::string CsvLine(const Sample& sample);
std::string PrintLine(const Sample& sample);

}  // namespace soak
