#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "discovery/dns_sd_backend.h"
#include "discovery/dns_sd_system_api.h"
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
class DnsSdSystemBackend final : public DnsSdBackend {
 public:
  static constexpr const char* kName = "the system's DNS service";
  // Called at each Start: what the back-end works with this run; null when the system has no such
  // service.
  using Loader = const DnsSdSystemEnvironment* (*)();

  explicit DnsSdSystemBackend(Loader load);
  ~DnsSdSystemBackend() override;
  DnsSdSystemBackend(const DnsSdSystemBackend&) = delete;
  DnsSdSystemBackend& operator=(const DnsSdSystemBackend&) = delete;

  const char* name() const override { return kName; }
  // Starts the browse; false when the loader finds no usable service.
  bool Start(PhoneSightingListener& listener, const std::atomic<bool>& running) override;
  // On systems whose browse goes quiet after a while (Windows 10 before build 21996), restarts it
  // when more than 8 s have passed since the last start, while budget lasts (one per restart).
  void Service(std::atomic<int>& budget) override;
  // Cancels the browse, waits up to 2 s for the resolves in flight, then cancels and forgets the
  // rest; a completion that is running meanwhile is never cancelled after it has returned. No report
  // is made once it has returned.
  void End() override;

  // Resolve contexts of all runs still waiting for their completion (for tests).
  static size_t PendingResolveCount();

 private:
  void Browse();
  int RebrowseModeNow();
  double Now() const;

  const Loader load_;
  DnsSdSystemEnvironment environment_;  // as loaded at the last Start
  std::shared_ptr<DnsSdSystemRun> run_;
  dnsapi::DNS_SERVICE_BROWSE_REQUEST request_{};
  dnsapi::DNS_SERVICE_CANCEL browseCancel_{};
  bool browseActive_ = false;
  double lastBrowse_ = 0.0;
};

}  // namespace kavex
