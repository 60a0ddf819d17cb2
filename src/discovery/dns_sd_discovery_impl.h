#pragma once
#include <atomic>
#include <memory>
#include <vector>

#include "discovery/dns_sd_api.h"
#include "discovery/dns_sd_backend.h"
#include "discovery/dns_sd_discovery.h"
#include "discovery/dns_sd_system_backend.h"

namespace kavex {

// Tries its back-ends in order at each Start and drives the first whose browse starts; with none,
// announcements still find phones. The engine's are the DNS-SD library, then the system's DNS
// service functions.
// Thread: see DnsSdDiscovery.
class DnsSdDiscoveryImpl final : public DnsSdDiscovery {
 public:
  explicit DnsSdDiscoveryImpl(std::vector<std::unique_ptr<DnsSdBackend>> backends);
  // The library, then the system's service as loadSystem finds it (it may be null).
  DnsSdDiscoveryImpl(const DnsSdLibraryCalls& library, DnsSdSystemBackend::Loader loadSystem);
  ~DnsSdDiscoveryImpl() override;

  void Start(PhoneSightingListener& listener, const std::atomic<bool>& running) override;
  void Service() override;
  void End() override;
  void ResetBrowseBudget() override;

  // The name of the back-end this run drives, or "none".
  const char* backend() const { return active_ != nullptr ? active_->name() : "none"; }
  int browseBudget() const { return budget_.load(); }

 private:
  static constexpr int kBrowseBudget = 10;

  const std::vector<std::unique_ptr<DnsSdBackend>> backends_;
  DnsSdBackend* active_ = nullptr;
  std::atomic<int> budget_{kBrowseBudget};
};

}  // namespace kavex
