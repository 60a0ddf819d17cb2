#pragma once
#include <atomic>
#include <memory>
#include <mutex>

#include "discovery/dns_sd_discovery.h"
#include "discovery/phone_sighting.h"
#include "platform/sync.h"
#include "platform/system_thread.h"

namespace kavex {

// Listens for the phones' multicast announcements (UDP 4698, 239.255.188.58 and FF02::2:d644) on
// every active adapter and runs DNS service discovery, on one thread of its own. Owned by instance
// 0; its reports reach the shared phone list through the listener.
// Thread: Start (host thread on open, instance 0's worker on address changes) stops and restarts the
// discovery thread; the discovery thread owns the sockets.
class NetworkDiscovery {
 public:
  // dnsSd may be null: announcements only.
  explicit NetworkDiscovery(std::unique_ptr<DnsSdDiscovery> dnsSd);
  ~NetworkDiscovery();
  NetworkDiscovery(const NetworkDiscovery&) = delete;
  NetworkDiscovery& operator=(const NetworkDiscovery&) = delete;

  // Stops a running thread and waits for it; then, with a listener, starts a new run (which builds
  // the sockets for the adapters of the moment). Start(nullptr) is the stop.
  void Start(PhoneSightingListener* listener);
  void ResetBrowseBudget();
  bool running() const { return running_.load(); }

 private:
  // The thread's entry: the run below, with nothing thrown leaving the thread.
  void Run();
  void RunDiscovery();

  std::unique_ptr<DnsSdDiscovery> dnsSd_;
  platform::Mutex startMutex_;  // one Start at a time
  PhoneSightingListener* listener_ = nullptr;
  std::atomic<bool> running_{false};
  platform::SystemThread thread_;
};

}  // namespace kavex
