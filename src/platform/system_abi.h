#pragma once
// How the engine calls libraries it looks up at run time (never links), and what they are called
// on this system: declarations of such functions must match the library's ABI exactly.
#include <cstdint>

// The calling convention of system and service libraries and of the replies they call back:
// stdcall in 32-bit Windows, the default elsewhere.
#if defined(_WIN32)
#define KAVEX_SYSTEM_CALL __stdcall
#else
#define KAVEX_SYSTEM_CALL
#endif

namespace kavex::platform {

#if defined(_WIN32)
using NativeSocketHandle = uintptr_t;  // SOCKET
// The DNS-SD library an installed mDNS responder provides.
inline constexpr const char* kDnsSdLibraryFile = "dnssd.dll";
// The system's own DNS service functions, from the system folder only.
inline constexpr const char* kSystemDnsLibraryFile = "dnsapi.dll";
#else
using NativeSocketHandle = int;
inline constexpr const char* kDnsSdLibraryFile = "libdns_sd.so.1";
inline constexpr const char* kSystemDnsLibraryFile = nullptr;  // no such service here
#endif

}  // namespace kavex::platform
