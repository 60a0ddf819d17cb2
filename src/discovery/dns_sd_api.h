#pragma once
// The C interface of the DNS-SD library that an installed mDNS responder provides ("dnssd.dll";
// "libdns_sd.so.1" elsewhere), as far as the engine calls it. The library is never linked: its
// functions are looked up by name at run time, so these declarations must match its ABI exactly,
// calling convention included (stdcall on Windows, for the functions and for the replies).
#include <cstdint>

#include "platform/system_abi.h"

#define KAVEX_DNSSD_API KAVEX_SYSTEM_CALL

struct sockaddr;

namespace kavex::dnssd {

struct DNSServiceRefOpaque;  // the library's own
using DNSServiceRef = DNSServiceRefOpaque*;
using DNSServiceFlags = uint32_t;
using DNSServiceProtocol = uint32_t;
using DNSServiceErrorType = int32_t;
using dnssd_sock_t = platform::NativeSocketHandle;

constexpr DNSServiceErrorType kDNSServiceErr_NoError = 0;
constexpr DNSServiceErrorType kDNSServiceErr_ServiceNotRunning = -65563;
constexpr DNSServiceFlags kDNSServiceFlagsAdd = 0x2;
constexpr DNSServiceProtocol kDNSServiceProtocol_Both = 0;  // IPv4 and IPv6

using DNSServiceBrowseReply = void(KAVEX_DNSSD_API*)(DNSServiceRef sdRef, DNSServiceFlags flags,
                                                     uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                                     const char* serviceName, const char* regtype,
                                                     const char* replyDomain, void* context);

// port: network byte order.
using DNSServiceResolveReply = void(KAVEX_DNSSD_API*)(DNSServiceRef sdRef, DNSServiceFlags flags,
                                                      uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                                      const char* fullname, const char* hosttarget, uint16_t port,
                                                      uint16_t txtLen, const unsigned char* txtRecord, void* context);

using DNSServiceGetAddrInfoReply = void(KAVEX_DNSSD_API*)(DNSServiceRef sdRef, DNSServiceFlags flags,
                                                          uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                                          const char* hostname, const sockaddr* address, uint32_t ttl,
                                                          void* context);

// The library's exports.
using DNSServiceBrowseFunction = DNSServiceErrorType(KAVEX_DNSSD_API*)(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                                       uint32_t interfaceIndex, const char* regtype,
                                                                       const char* domain,
                                                                       DNSServiceBrowseReply callBack, void* context);
using DNSServiceResolveFunction = DNSServiceErrorType(KAVEX_DNSSD_API*)(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                                        uint32_t interfaceIndex, const char* name,
                                                                        const char* regtype, const char* domain,
                                                                        DNSServiceResolveReply callBack, void* context);
using DNSServiceGetAddrInfoFunction = DNSServiceErrorType(KAVEX_DNSSD_API*)(
    DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex, DNSServiceProtocol protocol,
    const char* hostname, DNSServiceGetAddrInfoReply callBack, void* context);
using DNSServiceRefSockFDFunction = dnssd_sock_t(KAVEX_DNSSD_API*)(DNSServiceRef sdRef);
using DNSServiceProcessResultFunction = DNSServiceErrorType(KAVEX_DNSSD_API*)(DNSServiceRef sdRef);
using DNSServiceRefDeallocateFunction = void(KAVEX_DNSSD_API*)(DNSServiceRef sdRef);

}  // namespace kavex::dnssd

namespace kavex {

// The six library operations the discovery uses, as the back-end calls them. The installed
// library's table (dns_sd_library.h) answers kDNSServiceErr_ServiceNotRunning (and -1 for the
// socket) when the library or the function is missing.
struct DnsSdLibraryCalls {
  dnssd::DNSServiceErrorType (*browse)(dnssd::DNSServiceRef* sdRef, dnssd::DNSServiceFlags flags,
                                       uint32_t interfaceIndex, const char* regtype, const char* domain,
                                       dnssd::DNSServiceBrowseReply callBack, void* context);
  dnssd::DNSServiceErrorType (*resolve)(dnssd::DNSServiceRef* sdRef, dnssd::DNSServiceFlags flags,
                                        uint32_t interfaceIndex, const char* name, const char* regtype,
                                        const char* domain, dnssd::DNSServiceResolveReply callBack, void* context);
  dnssd::DNSServiceErrorType (*getAddrInfo)(dnssd::DNSServiceRef* sdRef, dnssd::DNSServiceFlags flags,
                                            uint32_t interfaceIndex, dnssd::DNSServiceProtocol protocol,
                                            const char* hostname, dnssd::DNSServiceGetAddrInfoReply callBack,
                                            void* context);
  // The reference's socket (a SOCKET on Windows, a descriptor elsewhere); -1 when missing.
  intptr_t (*refSockFd)(dnssd::DNSServiceRef sdRef);
  dnssd::DNSServiceErrorType (*processResult)(dnssd::DNSServiceRef sdRef);
  void (*refDeallocate)(dnssd::DNSServiceRef sdRef);
};

}  // namespace kavex
