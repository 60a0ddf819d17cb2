#include "instance/worker_loop.h"

#include <chrono>

#include "common/engine_thread.h"
#include "common/error_log.h"
#include "platform/clock.h"
#include "platform/system_thread.h"

namespace kavex {

namespace {

class RealTiming final : public WorkerTiming {
 public:
  double Now() override { return EngineClock::Now(); }
  void Sleep100Ms() override { platform::SleepFor(std::chrono::milliseconds(100)); }
};

}  // namespace

WorkerTiming& RealWorkerTiming() {
  static RealTiming timing;
  return timing;
}

WorkerLoop::WorkerLoop(EventQueue& queue, WorkerHandler& handler, WorkerTiming& timing, std::string threadName)
    : queue_(queue), handler_(handler), timing_(timing), threadName_(std::move(threadName)) {}

WorkerLoop::~WorkerLoop() { Stop(); }

void WorkerLoop::Start() {
  if (thread_.joinable()) return;
  running_.store(true);
  thread_ = StartEngineThread(threadName_, error_codes::kWorkerThrew, [this] { Run(); });
}

void WorkerLoop::Stop() {
  running_.store(false);
  JoinEngineThread(thread_);
}

void WorkerLoop::Run() {
  // Give discovery a moment to fill the phone list before the first decisions.
  for (int i = 0; i < kStartupSleeps; ++i) {
    if (!running_.load()) return;
    timing_.Sleep100Ms();
  }
  double deadline = 0.0;  // 0 = no refresh pending
  while (running_.load()) {
    // Out of memory (or threads) in one decision loses that decision, never the worker: the
    // instance goes on choosing and connecting.
    try {
      for (int i = 0; i < kEventsPerPass && running_.load(); ++i) {
        if (std::optional<EngineEvent> event = queue_.Pop()) {
          Handle(*event, &deadline);
        } else {
          timing_.Sleep100Ms();
        }
        if (deadline != 0.0 && timing_.Now() > deadline) {
          deadline = 0.0;
          handler_.OnRefreshDue();
        }
      }
      if (running_.load()) handler_.OnPassEnd();
    } catch (...) {
      ErrorLog::Record(error_codes::kWorkerThrew);
      timing_.Sleep100Ms();
    }
  }
}

void WorkerLoop::Handle(const EngineEvent& event, double* deadline) {
  switch (event.kind) {
    case EngineEvent::kConnect:
      handler_.OnConnectRequest(event.id);
      break;
    case EngineEvent::kRefresh:
      // The first request sets the deadline; later ones while it is pending do not move it.
      if (*deadline == 0.0) {
        *deadline = timing_.Now() + event.delay;
        // A deadline that lands on the clock's zero would read as "none".
        if (*deadline == 0.0) *deadline = 1e-9;
      }
      break;
    default:
      break;  // unknown kinds are accepted and ignored
  }
}

}  // namespace kavex
