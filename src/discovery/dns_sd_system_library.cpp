#include "discovery/dns_sd_system_library.h"

#include "common/engine_clock.h"
#include "platform/dynamic_library.h"
#include "platform/system_info.h"

namespace kavex {

namespace {

#if defined(_WIN32)

std::atomic<int> g_rebrowseMode{kRebrowseUndecided};

double Now() { return EngineClock::Now(); }

// Loaded once and never unloaded: callbacks of the system may come at any time.
const DnsSdSystemEnvironment* Load() {
  auto* library = new platform::DynamicLibrary(platform::DynamicLibrary::LoadFromSystemFolder("dnsapi.dll"));
  if (!library->loaded()) {
    delete library;
    return nullptr;
  }
  DnsSystemCalls calls;
  calls.dnsFree = library->FindFunction<decltype(calls.dnsFree)>("DnsFree");
  calls.serviceBrowse = library->FindFunction<decltype(calls.serviceBrowse)>("DnsServiceBrowse");
  calls.serviceBrowseCancel =
      library->FindFunction<decltype(calls.serviceBrowseCancel)>("DnsServiceBrowseCancel");
  calls.serviceResolve = library->FindFunction<decltype(calls.serviceResolve)>("DnsServiceResolve");
  calls.serviceResolveCancel =
      library->FindFunction<decltype(calls.serviceResolveCancel)>("DnsServiceResolveCancel");
  calls.serviceFreeInstance =
      library->FindFunction<decltype(calls.serviceFreeInstance)>("DnsServiceFreeInstance");
  if (!calls.Usable()) {
    delete library;
    return nullptr;
  }
  auto* environment = new DnsSdSystemEnvironment;
  environment->calls = calls;
  environment->lastError = &platform::LastSystemError;
  environment->systemVersion = &platform::QuerySystemVersion;
  environment->now = &Now;
  environment->rebrowseMode = &g_rebrowseMode;
  return environment;
}

#endif

}  // namespace

const DnsSdSystemEnvironment* InstalledSystemDnsService() {
#if defined(_WIN32)
  static const DnsSdSystemEnvironment* const environment = Load();
  return environment;
#else
  return nullptr;
#endif
}

}  // namespace kavex
