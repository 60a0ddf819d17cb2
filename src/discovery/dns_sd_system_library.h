#pragma once
#include "discovery/dns_sd_system_backend.h"

namespace kavex {

// The system's DNS service functions ("dnsapi.dll", from the system folder only), looked up the
// first time the fallback is wanted and kept for the process, with the system version, the engine
// clock and the process-wide re-browse mode. Null when the library or one of the required functions is missing
// (always, outside Windows).
// Thread: any.
const DnsSdSystemEnvironment* InstalledSystemDnsService();

}  // namespace kavex
