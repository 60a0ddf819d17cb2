#pragma once
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace phonesim {

// Everything the engine sent, with full bytes, plus the protocol faults the simulator noticed in
// it ("complaints"). Tests read both through the control channel.
// Thread: any; one mutex. Session readers add, control clients read, clear and wait.
class Recorder {
 public:
  struct Record {
    uint64_t number = 0;         // 1, 2, ... since the simulator started
    uint32_t session = 0;        // which connection it came on
    int64_t ms = 0;              // milliseconds since the simulator started
    std::vector<uint8_t> bytes;  // the whole message, header included
  };

  // Bounds: the oldest records go first when either is exceeded.
  static constexpr size_t kMaxRecords = 100000;
  static constexpr size_t kMaxBytes = 64u << 20;
  static constexpr size_t kMaxComplaints = 1000;

  Recorder();

  void Add(uint32_t session, std::vector<uint8_t> bytes);
  void Complain(uint32_t session, const std::string& text);

  // Records of one type (or all with type < 0), oldest first.
  std::vector<Record> Snapshot(int type) const;
  std::vector<std::string> Complaints() const;
  // Messages of the type (all with type < 0) received since the last Clear, dropped ones included.
  uint64_t Count(int type) const;
  uint64_t ComplaintCount() const;
  void Clear();

  // Waits until Count(type) >= count; false on time-out or Shutdown.
  bool WaitFor(int type, uint64_t count, std::chrono::milliseconds timeout);
  // Wakes every waiter for good.
  void Shutdown();

  int64_t NowMs() const;

 private:
  const std::chrono::steady_clock::time_point start_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Record> records_;
  size_t bytes_ = 0;
  uint64_t nextNumber_ = 1;
  std::array<uint64_t, 256> counts_{};
  uint64_t total_ = 0;
  std::deque<std::string> complaints_;
  uint64_t complaintCount_ = 0;
  bool shutdown_ = false;
};

}  // namespace phonesim
