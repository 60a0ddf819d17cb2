#pragma once
// What a discovery path reported, in order, for the discovery tests: one recorder for the network,
// the debug bridge and the multiplexing service.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "discovery/phone_sighting.h"

struct HeardSighting : kavex::PhoneSighting {
  bool found = true;  // else lost
};

class SightingRecorder : public kavex::PhoneSightingListener {
 public:
  void OnPhoneFound(const kavex::PhoneSighting& sighting) override { Add(sighting, true); }
  void OnPhoneLost(const kavex::PhoneSighting& sighting) override { Add(sighting, false); }

  std::vector<HeardSighting> Reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  HeardSighting At(size_t n) const { return Reports().at(n); }
  size_t Count() const { return Reports().size(); }
  template <typename Match>
  size_t CountIf(Match match) const {
    const std::vector<HeardSighting> reports = Reports();
    return static_cast<size_t>(std::count_if(reports.begin(), reports.end(), match));
  }
  // Waits for report number n (from 0).
  bool WaitFor(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return reports_.size() > n; });
  }
  // Waits for a report that match() accepts; the first one goes to *first.
  template <typename Match>
  bool WaitFor(Match match, int timeoutMs, HeardSighting* first = nullptr) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      const auto it = std::find_if(reports_.begin(), reports_.end(), match);
      if (it == reports_.end()) return false;
      if (first != nullptr) *first = *it;
      return true;
    });
  }

 private:
  void Add(const kavex::PhoneSighting& sighting, bool found) {
    HeardSighting heard;
    static_cast<kavex::PhoneSighting&>(heard) = sighting;
    heard.found = found;
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(heard);
    changed_.notify_all();
  }
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HeardSighting> reports_;
};
