#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "common/phone_id.h"
#include "platform/sync.h"

namespace kavex {

// One entry of an instance's event queue.
struct EngineEvent {
  static constexpr int32_t kConnect = 0;  // connect to the phone with `id`
  static constexpr int32_t kRefresh = 1;  // refresh the phone list after `delay` seconds

  int32_t kind = kRefresh;
  PhoneId id;
  double delay = 0.0;

  static EngineEvent Connect(const PhoneId& phone) { return EngineEvent{kConnect, phone, 0.0}; }
  static EngineEvent Refresh(double seconds) { return EngineEvent{kRefresh, PhoneId{}, seconds}; }
};

// First-in first-out queue of events; events are copied in and out whole. A request equal to one
// still waiting is dropped: a refresh while a refresh waits, a connect to a phone whose connect
// waits. A refresh only sets the worker's refresh deadline, which the first request sets and later
// ones leave alone, so nothing is lost (the waiting one keeps its delay); and the queue stays
// bounded however fast announcements arrive, also for an instance whose worker never runs.
// Thread: any. The mutex guards only the queue and is never held while another lock is taken.
class EventQueue {
 public:
  void Push(const EngineEvent& event) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    for (EngineEvent& waiting : events_) {
      if (waiting.kind != event.kind) continue;
      if (event.kind == EngineEvent::kRefresh) return;
      if (event.kind == EngineEvent::kConnect && waiting.id == event.id) return;
    }
    events_.push_back(event);
  }
  std::optional<EngineEvent> Pop() {
    std::lock_guard<platform::Mutex> lock(mutex_);
    if (events_.empty()) return std::nullopt;
    EngineEvent event = events_.front();
    events_.pop_front();
    return event;
  }
  void Clear() {
    std::lock_guard<platform::Mutex> lock(mutex_);
    events_.clear();
  }

 private:
  platform::Mutex mutex_;
  std::deque<EngineEvent> events_;
};

}  // namespace kavex
