#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "discovery/dns_sd_system_api.h"
#include "discovery/phone_listeners.h"
#include "platform/clock.h"
#include "platform/system_info.h"

namespace kavex {

// Whether the system browse must be restarted now and then: decided once per process.
enum RebrowseMode : int { kRebrowseUndecided = 0, kRebrowse = 1, kNoRebrowse = 2 };

// What the system back-end works with: the system's functions and the facts it decides by. The
// engine's comes from the loaded system library (dns_sd_system_library.h); tests bring their own.
struct DnsSdSystemEnvironment {
  DnsSystemCalls calls;
  uint32_t (*lastError)() = nullptr;                              // after a failed call
  bool (*systemVersion)(platform::SystemVersion* out) = nullptr;  // null: unknown
  // What the rebrowse interval and the end's wait for resolves are measured on.
  Clock* clock = &EngineClock::AsClock();
  std::atomic<int>* rebrowseMode = nullptr;  // a RebrowseMode
};

struct DnsSdSystemRun;

// DNS service discovery through the system's DNS service functions, the fallback when the DNS-SD
// library cannot browse. The system calls back on threads of its own: the browse callback starts
// one resolve per instance record (at most 16 pending per run), the resolve callback reports the
// phone once per address family.
// Start, Service and End run on the network discovery thread.
// Owns: the browse of one run and, through the process-wide table of pending resolves, the context
// of each resolve it started. The callbacks find their run and their context only through that
// table, under its lock, so a callback that comes after End (or after the back-end is gone)
// finds nothing and only releases what the system handed it; End stops all reports before it
// returns.
class DnsSdSystemBackend {
 public:
  explicit DnsSdSystemBackend(const DnsSdSystemEnvironment& environment);
  ~DnsSdSystemBackend();
  DnsSdSystemBackend(const DnsSdSystemBackend&) = delete;
  DnsSdSystemBackend& operator=(const DnsSdSystemBackend&) = delete;

  // Starts the browse. Reports go to listener while running is set, until End.
  void Start(NetworkPhoneListener& listener, const std::atomic<bool>& running);
  // On systems whose browse goes quiet after a while (Windows 10 before build 21996), restarts it
  // when more than 8 s have passed since the last start, while budget lasts (one per restart).
  void Service(std::atomic<int>& budget);
  // Cancels the browse, waits up to 2 s for the resolves in flight, then cancels and forgets the
  // rest; a completion that is running meanwhile is never cancelled after it has returned. No report
  // is made once it has returned.
  void End();

  // Resolve contexts of all runs still waiting for their completion (for tests).
  static size_t PendingResolveCount();

 private:
  void Browse();
  int RebrowseModeNow();
  double Now() const;

  const DnsSdSystemEnvironment environment_;
  std::shared_ptr<DnsSdSystemRun> run_;
  dnsapi::DNS_SERVICE_BROWSE_REQUEST request_{};
  dnsapi::DNS_SERVICE_CANCEL browseCancel_{};
  bool browseActive_ = false;
  double lastBrowse_ = 0.0;
};

}  // namespace kavex
