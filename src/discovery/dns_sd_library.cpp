#include "discovery/dns_sd_library.h"

#include <atomic>
#include <mutex>

#include "platform/dynamic_library.h"
#include "platform/sync.h"
#include "platform/system_abi.h"

namespace kavex {

namespace {

using namespace dnssd;

constexpr const char* kLibraryName = platform::kDnsSdLibraryFile;

// The loaded library and its functions. Never destroyed: a late caller during process exit must
// not find the library unloaded under it.
class InstalledLibrary {
 public:
  static InstalledLibrary& Get() {
    static InstalledLibrary* const library = new InstalledLibrary;
    return *library;
  }

  // The function of that name, looked up once it is first wanted; null while it cannot be found.
  template <typename F>
  F Function(std::atomic<F>& slot, const char* name) {
    F function = slot.load(std::memory_order_acquire);
    if (function != nullptr) return function;
    std::lock_guard<platform::Mutex> lock(mutex_);
    function = slot.load(std::memory_order_relaxed);
    if (function == nullptr && library_.loaded()) {
      function = library_.FindFunction<F>(name);
      slot.store(function, std::memory_order_release);
    }
    return function;
  }

  std::atomic<DNSServiceBrowseFunction> browse{nullptr};
  std::atomic<DNSServiceResolveFunction> resolve{nullptr};
  std::atomic<DNSServiceGetAddrInfoFunction> getAddrInfo{nullptr};
  std::atomic<DNSServiceRefSockFDFunction> refSockFd{nullptr};
  std::atomic<DNSServiceProcessResultFunction> processResult{nullptr};
  std::atomic<DNSServiceRefDeallocateFunction> refDeallocate{nullptr};

 private:
  InstalledLibrary() : library_(LoadInstalled()) {}

  // The responder installs its library in the system folder; only when it is not there is the
  // usual search allowed to find it (an installation beside the host program, say).
  static platform::DynamicLibrary LoadInstalled() {
    platform::DynamicLibrary library = platform::DynamicLibrary::LoadFromSystemFolder(kLibraryName);
    if (!library.loaded()) library = platform::DynamicLibrary::Load(kLibraryName);
    return library;
  }

  platform::Mutex mutex_;
  const platform::DynamicLibrary library_;
};

DNSServiceErrorType Browse(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex, const char* regtype,
                           const char* domain, DNSServiceBrowseReply callBack, void* context) {
  InstalledLibrary& library = InstalledLibrary::Get();
  auto function = library.Function(library.browse, "DNSServiceBrowse");
  if (function == nullptr) return kDNSServiceErr_ServiceNotRunning;
  return function(sdRef, flags, interfaceIndex, regtype, domain, callBack, context);
}

DNSServiceErrorType Resolve(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex, const char* name,
                            const char* regtype, const char* domain, DNSServiceResolveReply callBack, void* context) {
  InstalledLibrary& library = InstalledLibrary::Get();
  auto function = library.Function(library.resolve, "DNSServiceResolve");
  if (function == nullptr) return kDNSServiceErr_ServiceNotRunning;
  return function(sdRef, flags, interfaceIndex, name, regtype, domain, callBack, context);
}

DNSServiceErrorType GetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                DNSServiceProtocol protocol, const char* hostname, DNSServiceGetAddrInfoReply callBack,
                                void* context) {
  InstalledLibrary& library = InstalledLibrary::Get();
  auto function = library.Function(library.getAddrInfo, "DNSServiceGetAddrInfo");
  if (function == nullptr) return kDNSServiceErr_ServiceNotRunning;
  return function(sdRef, flags, interfaceIndex, protocol, hostname, callBack, context);
}

intptr_t RefSockFd(DNSServiceRef sdRef) {
  InstalledLibrary& library = InstalledLibrary::Get();
  auto function = library.Function(library.refSockFd, "DNSServiceRefSockFD");
  if (function == nullptr) return -1;
  // On Windows INVALID_SOCKET (all ones) becomes -1 too.
  return static_cast<intptr_t>(function(sdRef));
}

DNSServiceErrorType ProcessResult(DNSServiceRef sdRef) {
  InstalledLibrary& library = InstalledLibrary::Get();
  auto function = library.Function(library.processResult, "DNSServiceProcessResult");
  if (function == nullptr) return kDNSServiceErr_ServiceNotRunning;
  return function(sdRef);
}

void RefDeallocate(DNSServiceRef sdRef) {
  InstalledLibrary& library = InstalledLibrary::Get();
  auto function = library.Function(library.refDeallocate, "DNSServiceRefDeallocate");
  if (function != nullptr) function(sdRef);
}

const DnsSdLibraryCalls kInstalledCalls = {Browse, Resolve, GetAddrInfo, RefSockFd, ProcessResult, RefDeallocate};

}  // namespace

const DnsSdLibraryCalls& InstalledDnsSdLibrary() { return kInstalledCalls; }

}  // namespace kavex
