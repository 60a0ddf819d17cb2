#include "discovery/dns_sd_system_library.h"

#include "platform/dynamic_library.h"
#include "platform/system_abi.h"
#include "platform/system_info.h"

namespace kavex {

namespace {

std::atomic<int> g_rebrowseMode{kRebrowseUndecided};

// Loaded once and never unloaded: callbacks of the system may come at any time.
const DnsSdSystemEnvironment* Load() {
  if (platform::kSystemDnsLibraryFile == nullptr) return nullptr;
  auto* library =
      new platform::DynamicLibrary(platform::DynamicLibrary::LoadFromSystemFolder(platform::kSystemDnsLibraryFile));
  if (!library->loaded()) {
    delete library;
    return nullptr;
  }
  DnsSystemCalls calls;
  calls.dnsFree = library->FindFunction<decltype(calls.dnsFree)>("DnsFree");
  calls.serviceBrowse = library->FindFunction<decltype(calls.serviceBrowse)>("DnsServiceBrowse");
  calls.serviceBrowseCancel = library->FindFunction<decltype(calls.serviceBrowseCancel)>("DnsServiceBrowseCancel");
  calls.serviceResolve = library->FindFunction<decltype(calls.serviceResolve)>("DnsServiceResolve");
  calls.serviceResolveCancel = library->FindFunction<decltype(calls.serviceResolveCancel)>("DnsServiceResolveCancel");
  calls.serviceFreeInstance = library->FindFunction<decltype(calls.serviceFreeInstance)>("DnsServiceFreeInstance");
  if (!calls.Usable()) {
    delete library;
    return nullptr;
  }
  auto* environment = new DnsSdSystemEnvironment;
  environment->calls = calls;
  environment->lastError = &platform::LastSystemError;
  environment->systemVersion = &platform::QuerySystemVersion;
  environment->rebrowseMode = &g_rebrowseMode;
  return environment;
}

}  // namespace

const DnsSdSystemEnvironment* InstalledSystemDnsService() {
  static const DnsSdSystemEnvironment* const environment = Load();
  return environment;
}

}  // namespace kavex
