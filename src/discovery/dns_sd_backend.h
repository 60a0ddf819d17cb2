#pragma once
#include <atomic>

#include "discovery/phone_sighting.h"

namespace kavex {

// One way to browse for the phones' DNS-SD service. The DNS-SD discovery tries its back-ends in
// order at each start and drives the first whose browse starts, on the network discovery thread.
// Reports go to the listener while running is set, until End.
class DnsSdBackend {
 public:
  virtual ~DnsSdBackend() = default;
  // How the trace names it.
  virtual const char* name() const = 0;
  // Starts the browse; false when it cannot here (no library, no service), and then it reports
  // nothing this run. End is safe either way.
  virtual bool Start(PhoneSightingListener& listener, const std::atomic<bool>& running) = 0;
  // Once per discovery pass. rebrowseBudget: how many more times a browse that goes quiet may be
  // restarted (the host's ERefresh fills it again).
  virtual void Service(std::atomic<int>& rebrowseBudget) = 0;
  // Stops the browse and every query; no report is made once it has returned.
  virtual void End() = 0;
};

}  // namespace kavex
