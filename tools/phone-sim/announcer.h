#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_socket.h"

namespace phonesim {

struct AnnounceOptions {
  std::string interface;  // empty: no announcements
  bool ipv4 = true;
  bool ipv6 = true;
  int intervalMs = 1000;  // 0: only on command
  uint16_t port = 4698;
};

// Multicast announcements: the 280-byte block to 239.255.188.58 and [ff02::2:d644] on one
// named interface, never on a default route. As a guard against flooding a real network, the
// interface must be a loopback or carry an IPv4 address of 198.18.0.0/15, the range of the test
// namespaces.
// Thread: its own for the periodic announcements; AnnounceNow from any thread (a mutex).
class Announcer {
 public:
  ~Announcer();
  bool Open(const AnnounceOptions& options, std::string* error);
  bool IsOpen() const { return v4_.Valid() || v6_.Valid(); }
  // Sends the block once on each family; returns how many datagrams left, -1 if none could.
  int AnnounceNow(const std::vector<uint8_t>& block, std::string* error);
  // Periodic announcements of whatever `block` returns at the time.
  void Start(std::function<std::vector<uint8_t>()> block);
  void Stop();
  uint64_t Sent() const { return sent_; }
  // Pauses the periodic announcements (the phone left the network) or lets them go on again.
  void SetPaused(bool paused) { paused_ = paused; }
  bool Paused() const { return paused_; }

 private:
  AnnounceOptions options_;
  unsigned ifIndex_ = 0;
  simsock::Socket v4_;
  simsock::Socket v6_;
  std::mutex sendMutex_;
  std::atomic<uint64_t> sent_{0};
  std::atomic<bool> paused_{false};

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace phonesim
