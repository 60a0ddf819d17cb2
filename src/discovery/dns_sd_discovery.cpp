#include "discovery/dns_sd_discovery.h"

#include "common/trace.h"
#include "discovery/dns_sd_discovery_impl.h"
#include "discovery/dns_sd_library.h"
#include "discovery/dns_sd_system_library.h"

namespace kavex {

namespace {
constexpr const char* kTraceComponent = "discovery";
}  // namespace

DnsSdDiscoveryImpl::DnsSdDiscoveryImpl(const DnsSdLibraryCalls& library, SystemLoader loadSystem)
    : library_(library), loadSystem_(loadSystem) {}

DnsSdDiscoveryImpl::~DnsSdDiscoveryImpl() { End(); }

void DnsSdDiscoveryImpl::Start(NetworkPhoneListener& listener, const std::atomic<bool>& running) {
  End();
  budget_.store(kBrowseBudget);
  if (library_.Start(listener, running)) {
    backend_ = Backend::kLibrary;
    KAVEX_TRACE_INFO(kTraceComponent, "DNS-SD back-end: the DNS-SD library");
    return;
  }
  const DnsSdSystemEnvironment* system = loadSystem_ != nullptr ? loadSystem_() : nullptr;
  if (system == nullptr || !system->calls.Usable()) {
    KAVEX_TRACE_INFO(kTraceComponent, "DNS-SD back-end: none; announcements only");
    return;
  }
  system_ = std::make_unique<DnsSdSystemBackend>(*system);
  system_->Start(listener, running);
  backend_ = Backend::kSystem;
  KAVEX_TRACE_INFO(kTraceComponent, "DNS-SD back-end: the system's DNS service");
}

void DnsSdDiscoveryImpl::Service() {
  if (backend_ == Backend::kLibrary) library_.Service();
  if (backend_ == Backend::kSystem) system_->Service(budget_);
}

void DnsSdDiscoveryImpl::End() {
  library_.End();
  if (system_ != nullptr) {
    system_->End();
    system_.reset();
  }
  backend_ = Backend::kNone;
}

void DnsSdDiscoveryImpl::ResetBrowseBudget() { budget_.store(kBrowseBudget); }

std::unique_ptr<DnsSdDiscovery> CreateDnsSdDiscovery() {
  return std::make_unique<DnsSdDiscoveryImpl>(InstalledDnsSdLibrary(), &InstalledSystemDnsService);
}

}  // namespace kavex
