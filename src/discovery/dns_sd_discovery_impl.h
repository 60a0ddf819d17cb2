#pragma once
#include <atomic>
#include <memory>

#include "discovery/dns_sd_discovery.h"
#include "discovery/dns_sd_library_backend.h"
#include "discovery/dns_sd_system_backend.h"

namespace kavex {

// Chooses the back-end at each Start: the DNS-SD library whenever its browse starts, else the
// system's DNS service functions, else none (announcements still find phones).
// Thread: see DnsSdDiscovery.
class DnsSdDiscoveryImpl final : public DnsSdDiscovery {
 public:
  enum class Backend { kNone, kLibrary, kSystem };
  // Called at a Start whose library browse failed; null when the system has no such service.
  using SystemLoader = const DnsSdSystemEnvironment* (*)();

  DnsSdDiscoveryImpl(const DnsSdLibraryCalls& library, SystemLoader loadSystem);
  ~DnsSdDiscoveryImpl() override;

  void Start(NetworkPhoneListener& listener, const std::atomic<bool>& running) override;
  void Service() override;
  void End() override;
  void ResetBrowseBudget() override;

  Backend backend() const { return backend_; }
  int browseBudget() const { return budget_.load(); }

 private:
  static constexpr int kBrowseBudget = 10;

  DnsSdLibraryBackend library_;
  SystemLoader loadSystem_;
  std::unique_ptr<DnsSdSystemBackend> system_;
  Backend backend_ = Backend::kNone;
  std::atomic<int> budget_{kBrowseBudget};
};

}  // namespace kavex
