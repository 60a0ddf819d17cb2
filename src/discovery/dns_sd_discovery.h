#pragma once
#include <atomic>
#include <memory>

#include "discovery/phone_sighting.h"

namespace kavex {

// DNS service discovery of the phones' "_kavexwebcam._tcp" service, driven by the network
// discovery thread: Start at the beginning of a thread run, Service once per pass, End when the
// loop ends. Phones are reported with kind 7 and no name.
// Thread: the network discovery thread, except ResetBrowseBudget (any thread) and the system
// back-end's callbacks (system threads).
class DnsSdDiscovery {
 public:
  virtual ~DnsSdDiscovery() = default;
  // running: the discovery's running flag; reports are made only while it is set.
  virtual void Start(PhoneSightingListener& listener, const std::atomic<bool>& running) = 0;
  virtual void Service() = 0;
  virtual void End() = 0;
  // The host asked to look again (ERefresh): the re-browse budget goes back to 10.
  virtual void ResetBrowseBudget() = 0;
};

// The platform's DNS-SD discovery: the installed DNS-SD library, else the system's DNS service
// functions.
std::unique_ptr<DnsSdDiscovery> CreateDnsSdDiscovery();

}  // namespace kavex
