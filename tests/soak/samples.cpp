#include "samples.h"

#include <algorithm>
#include <cstdio>

namespace soak {

const std::vector<FigureRule>& FigureRules() {
  static const std::vector<FigureRule> rules = {
      // Natively the resident size climbs by about 50 MB over the first five minutes (the pools
      // of four decoders and of the allocator's arenas) and is level after.
      {"resident KiB", &ProcessFigures::residentKiB, 16 * 1024, 64 * 1024},
      // Natively the private figure is the data segment, which takes in the address space each
      // new allocator arena reserves (64 MiB at once, one per thread that allocates at a busy
      // moment, up to eight per core): in a short run on a busy machine one or two such steps are
      // warm-up, not a leak.
      {"private KiB", &ProcessFigures::privateKiB, 16 * 1024, 160 * 1024},
      // A session's connection, events and thread handles come and go with each fault.
      {"handles", &ProcessFigures::handles, 64, 64},
      // Each streaming instance runs a few threads; a session ending while the sample is taken
      // has one or two fewer or more.
      {"threads", &ProcessFigures::threads, 8, 8},
  };
  return rules;
}

std::vector<Growth> JudgeGrowth(const std::vector<Sample>& samples, bool longRun, double durationSeconds,
                                double warmupSeconds) {
  std::vector<Growth> result;
  const double stretchStart = longRun ? durationSeconds / 2 : warmupSeconds;
  auto first = std::find_if(samples.begin(), samples.end(),
                            [&](const Sample& sample) { return sample.seconds >= stretchStart; });
  if (first == samples.end() || first + 1 == samples.end()) return result;
  for (const FigureRule& rule : FigureRules()) {
    Growth growth;
    growth.figure = rule.name;
    growth.from = (*first).figures.*rule.field;
    growth.fromSeconds = first->seconds;
    const Sample* judged = &samples.back();
    if (longRun) {
      for (auto it = first; it != samples.end(); ++it)
        if (it->figures.*rule.field > judged->figures.*rule.field) judged = &*it;
    }
    growth.to = judged->figures.*rule.field;
    growth.toSeconds = judged->seconds;
    if (growth.from < 0 || growth.to < 0) continue;  // not readable here
    growth.allowed = std::max(longRun ? rule.margin : rule.shortRunMargin, growth.from / 10);
    growth.grew = growth.to - growth.from > growth.allowed;
    result.push_back(growth);
  }
  return result;
}

std::string CsvHeader() {
  return std::string("seconds,") + ResidentName() + "_kib," + PrivateName() + "_kib,handles,threads,faults,recoveries";
}

std::string CsvLine(const Sample& sample) {
  char line[200];
  std::snprintf(line, sizeof(line), "%.1f,%lld,%lld,%lld,%lld,%d,%d", sample.seconds,
                static_cast<long long>(sample.figures.residentKiB), static_cast<long long>(sample.figures.privateKiB),
                static_cast<long long>(sample.figures.handles), static_cast<long long>(sample.figures.threads),
                sample.faults, sample.recoveries);
  return line;
}

std::string PrintLine(const Sample& sample) {
  char line[240];
  std::snprintf(line, sizeof(line),
                "sample t=%.0fs %s=%lldKiB %s=%lldKiB handles=%lld threads=%lld faults=%d recoveries=%d",
                sample.seconds, ResidentName(), static_cast<long long>(sample.figures.residentKiB), PrivateName(),
                static_cast<long long>(sample.figures.privateKiB), static_cast<long long>(sample.figures.handles),
                static_cast<long long>(sample.figures.threads), sample.faults, sample.recoveries);
  return line;
}

}  // namespace soak
