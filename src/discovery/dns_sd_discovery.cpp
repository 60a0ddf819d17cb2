#include "discovery/dns_sd_discovery.h"

#include <memory>
#include <utility>
#include <vector>

#include "common/trace.h"
#include "discovery/dns_sd_discovery_impl.h"
#include "discovery/dns_sd_library.h"
#include "discovery/dns_sd_library_backend.h"
#include "discovery/dns_sd_system_library.h"

namespace kavex {

namespace {
constexpr const char* kTraceComponent = "discovery";
}  // namespace

DnsSdDiscoveryImpl::DnsSdDiscoveryImpl(std::vector<std::unique_ptr<DnsSdBackend>> backends)
    : backends_(std::move(backends)) {}

namespace {
std::vector<std::unique_ptr<DnsSdBackend>> LibraryThenSystem(const DnsSdLibraryCalls& library,
                                                             DnsSdSystemBackend::Loader loadSystem) {
  std::vector<std::unique_ptr<DnsSdBackend>> backends;
  backends.push_back(std::make_unique<DnsSdLibraryBackend>(library));
  backends.push_back(std::make_unique<DnsSdSystemBackend>(loadSystem));
  return backends;
}
}  // namespace

DnsSdDiscoveryImpl::DnsSdDiscoveryImpl(const DnsSdLibraryCalls& library, DnsSdSystemBackend::Loader loadSystem)
    : DnsSdDiscoveryImpl(LibraryThenSystem(library, loadSystem)) {}

DnsSdDiscoveryImpl::~DnsSdDiscoveryImpl() { End(); }

void DnsSdDiscoveryImpl::Start(PhoneSightingListener& listener, const std::atomic<bool>& running) {
  End();
  budget_.store(kBrowseBudget);
  for (const std::unique_ptr<DnsSdBackend>& backend : backends_) {
    if (backend->Start(listener, running)) {
      active_ = backend.get();
      KAVEX_TRACE_INFO(kTraceComponent, "DNS-SD back-end: %s", active_->name());
      return;
    }
    backend->End();
  }
  KAVEX_TRACE_INFO(kTraceComponent, "DNS-SD back-end: none; announcements only");
}

void DnsSdDiscoveryImpl::Service() {
  if (active_ != nullptr) active_->Service(budget_);
}

void DnsSdDiscoveryImpl::End() {
  if (active_ != nullptr) active_->End();
  active_ = nullptr;
}

void DnsSdDiscoveryImpl::ResetBrowseBudget() { budget_.store(kBrowseBudget); }

std::unique_ptr<DnsSdDiscovery> CreateDnsSdDiscovery() {
  return std::make_unique<DnsSdDiscoveryImpl>(InstalledDnsSdLibrary(), &InstalledSystemDnsService);
}

}  // namespace kavex
