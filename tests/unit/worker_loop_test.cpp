#include "instance/worker_loop.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace kavex {
namespace {

// Virtual time: each sleep moves the clock by exactly 100 ms; the loop is stopped once the clock
// passes a limit, so a whole run is deterministic and takes no real time.
class VirtualTiming : public WorkerTiming {
 public:
  double Now() override { return now; }
  void Sleep100Ms() override {
    now += 0.1;
    if (now > stopAt && loop != nullptr) loop->RequestStop();
  }
  double now = 100.0;
  double stopAt = 1e9;
  WorkerLoop* loop = nullptr;
};

class RecordingHandler : public WorkerHandler {
 public:
  explicit RecordingHandler(VirtualTiming& timing) : timing_(timing) {}
  void OnConnectRequest(const PhoneId& phone) override {
    connects.push_back(phone);
    connectTimes.push_back(timing_.now);
  }
  void OnRefreshDue() override {
    refreshTimes.push_back(timing_.now);
    if (onRefresh) onRefresh();
  }
  void OnPassEnd() override { connectsAtPassEnd.push_back(connects.size()); }

  std::vector<PhoneId> connects;
  std::vector<double> connectTimes;
  std::vector<double> refreshTimes;
  std::vector<size_t> connectsAtPassEnd;
  std::function<void()> onRefresh;

 private:
  VirtualTiming& timing_;
};

PhoneId Phone(uint8_t first) {
  PhoneId id;
  id.bytes[0] = first;
  return id;
}

struct LoopFixture {
  VirtualTiming timing;
  EventQueue queue;
  RecordingHandler handler{timing};
  WorkerLoop loop{queue, handler, timing};

  void RunUntil(double stopAt) {
    timing.stopAt = stopAt;
    timing.loop = &loop;
    loop.MarkRunning();
    loop.Run();
  }
};

TEST(WorkerLoop, RefreshRequestsCoalesceIntoTheFirstDeadline) {
  LoopFixture f;
  f.queue.Push(EngineEvent::Refresh(1.5));
  f.queue.Push(EngineEvent::Refresh(0.0));
  f.queue.Push(EngineEvent::Refresh(0.5));
  f.RunUntil(110.0);

  // The first event is handled after the 2 s start-up wait, at 102.0; its deadline is 103.5 and the
  // later requests do not move it. The refresh runs at the first check strictly after the deadline.
  ASSERT_EQ(f.handler.refreshTimes.size(), 1u);
  EXPECT_GT(f.handler.refreshTimes[0], 103.5 - 1e-6);
  EXPECT_LE(f.handler.refreshTimes[0], 103.6 + 1e-6);
}

TEST(WorkerLoop, RequestAfterARefreshSetsANewDeadline) {
  LoopFixture f;
  int extra = 1;
  f.handler.onRefresh = [&] {
    if (extra-- > 0) f.queue.Push(EngineEvent::Refresh(1.0));
  };
  f.queue.Push(EngineEvent::Refresh(0.0));
  f.RunUntil(110.0);
  ASSERT_EQ(f.handler.refreshTimes.size(), 2u);
  EXPECT_NEAR(f.handler.refreshTimes[1] - f.handler.refreshTimes[0], 1.1, 0.15);
}

TEST(WorkerLoop, HandlesAtMostTenEventsPerPassAndIgnoresUnknownKinds) {
  LoopFixture f;
  for (int i = 0; i < 24; ++i) f.queue.Push(EngineEvent::Connect(Phone(static_cast<uint8_t>(i))));
  EngineEvent unknown;
  unknown.kind = 5;
  f.queue.Push(unknown);
  f.RunUntil(106.0);

  ASSERT_EQ(f.handler.connects.size(), 24u);
  for (size_t i = 0; i < f.handler.connects.size(); ++i)
    EXPECT_EQ(f.handler.connects[i], Phone(static_cast<uint8_t>(i))) << "events keep their order";
  ASSERT_GE(f.handler.connectsAtPassEnd.size(), 3u);
  EXPECT_EQ(f.handler.connectsAtPassEnd[0], 10u);
  EXPECT_EQ(f.handler.connectsAtPassEnd[1], 20u);
  EXPECT_EQ(f.handler.connectsAtPassEnd[2], 24u);  // the unknown event took the 25th turn
  EXPECT_TRUE(f.handler.refreshTimes.empty());
  // Queued events are handled without sleeping in between.
  EXPECT_NEAR(f.handler.connectTimes.front(), 102.0, 1e-6);
  EXPECT_NEAR(f.handler.connectTimes.back(), 102.0, 1e-6);
}

TEST(WorkerLoop, StopDuringStartUpEndsBeforeAnyPass) {
  LoopFixture f;
  f.queue.Push(EngineEvent::Connect(Phone(1)));
  f.RunUntil(101.0);
  EXPECT_TRUE(f.handler.connects.empty());
  EXPECT_TRUE(f.handler.connectsAtPassEnd.empty());
}

TEST(WorkerLoop, RealThreadStartsAndStopsTwiceSafely) {
  EventQueue queue;
  VirtualTiming unused;
  RecordingHandler handler(unused);
  WorkerLoop loop(queue, handler, RealWorkerTiming());
  loop.Start();
  EXPECT_TRUE(loop.running());
  loop.Stop();
  EXPECT_FALSE(loop.running());
  loop.Stop();
}

}  // namespace
}  // namespace kavex
