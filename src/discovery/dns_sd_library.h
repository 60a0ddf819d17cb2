#pragma once
#include "discovery/dns_sd_api.h"

namespace kavex {

// The installed DNS-SD library: loaded once per process, at its first use ("dnssd.dll" on Windows,
// from the system folder, else by the usual search; "libdns_sd.so.1" elsewhere), and kept; each of its six functions is
// looked up by name the first time it is called and kept. A missing library or function makes the call answer
// kDNSServiceErr_ServiceNotRunning (-1 for the socket query), so a machine without an mDNS
// responder simply has no DNS-SD discovery.
// Thread: any.
const DnsSdLibraryCalls& InstalledDnsSdLibrary();

}  // namespace kavex
