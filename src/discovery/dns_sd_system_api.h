#pragma once
// The system's DNS service functions (dnsapi.dll on Windows 10 and later), as far as the engine
// calls them. They are looked up at run time, never linked, so these shapes must match the
// system's exactly: the structures as the Windows SDK lays them out (32-bit), wide text as 16-bit
// units, and the stdcall convention for the functions and their callbacks.
#include <cstdint>

#include "platform/system_abi.h"

#define KAVEX_SYSTEM_API KAVEX_SYSTEM_CALL

namespace kavex::dnsapi {

using DNS_STATUS = int32_t;

constexpr DNS_STATUS kDnsRequestPending = 9506;
constexpr uint32_t kErrorCancelled = 1223;
constexpr uint32_t kDnsQueryRequestVersion1 = 1;
constexpr int kDnsFreeRecordList = 1;  // DNS_FREE_TYPE

// DNS_RECORDW: the engine reads only the chain and the owner names; the type-specific data is
// declared for completeness of the leading members, not for its size.
struct DNS_RECORDW {
  DNS_RECORDW* pNext;
  char16_t* pName;
  uint16_t wType;
  uint16_t wDataLength;
  uint32_t Flags;
  uint32_t dwTtl;
  uint32_t dwReserved;
  union {
    struct {
      char16_t* pNameHost;
    } PTR;
    struct {
      char16_t* pNameTarget;
      uint16_t wPriority;
      uint16_t wWeight;
      uint16_t wPort;
      uint16_t Pad;
    } SRV;
  } Data;
};

struct IP6_ADDRESS {
  uint8_t IP6Byte[16];
};

struct DNS_SERVICE_INSTANCE {
  char16_t* pszInstanceName;
  char16_t* pszHostName;
  uint32_t* ip4Address;  // IP4_ADDRESS: the four bytes in network order
  IP6_ADDRESS* ip6Address;
  uint16_t wPort;  // host order
  uint16_t wPriority;
  uint16_t wWeight;
  uint32_t dwPropertyCount;
  char16_t** keys;
  char16_t** values;
  uint32_t dwInterfaceIndex;
};

struct DNS_SERVICE_CANCEL {
  void* reserved;
};

using DNS_SERVICE_BROWSE_CALLBACK = void(KAVEX_SYSTEM_API*)(uint32_t Status, void* pQueryContext,
                                                            DNS_RECORDW* pDnsRecord);
using DNS_SERVICE_RESOLVE_COMPLETE = void(KAVEX_SYSTEM_API*)(uint32_t Status, void* pQueryContext,
                                                             DNS_SERVICE_INSTANCE* pInstance);

struct DNS_SERVICE_BROWSE_REQUEST {
  uint32_t Version;
  uint32_t InterfaceIndex;
  const char16_t* QueryName;
  DNS_SERVICE_BROWSE_CALLBACK pBrowseCallback;
  void* pQueryContext;
};

struct DNS_SERVICE_RESOLVE_REQUEST {
  uint32_t Version;
  uint32_t InterfaceIndex;
  char16_t* QueryName;
  DNS_SERVICE_RESOLVE_COMPLETE pResolveCompletionCallback;
  void* pQueryContext;
};

}  // namespace kavex::dnsapi

namespace kavex {

// The system functions the fallback back-end uses. DnsServiceFreeInstance may be missing (an
// instance handed to a callback is then not released); the others are required.
struct DnsSystemCalls {
  void(KAVEX_SYSTEM_API* dnsFree)(void* data, int freeType) = nullptr;
  dnsapi::DNS_STATUS(KAVEX_SYSTEM_API* serviceBrowse)(dnsapi::DNS_SERVICE_BROWSE_REQUEST* request,
                                                      dnsapi::DNS_SERVICE_CANCEL* cancel) = nullptr;
  dnsapi::DNS_STATUS(KAVEX_SYSTEM_API* serviceBrowseCancel)(dnsapi::DNS_SERVICE_CANCEL* cancel) = nullptr;
  dnsapi::DNS_STATUS(KAVEX_SYSTEM_API* serviceResolve)(dnsapi::DNS_SERVICE_RESOLVE_REQUEST* request,
                                                       dnsapi::DNS_SERVICE_CANCEL* cancel) = nullptr;
  dnsapi::DNS_STATUS(KAVEX_SYSTEM_API* serviceResolveCancel)(dnsapi::DNS_SERVICE_CANCEL* cancel) = nullptr;
  void(KAVEX_SYSTEM_API* serviceFreeInstance)(dnsapi::DNS_SERVICE_INSTANCE* instance) = nullptr;

  bool Usable() const {
    return dnsFree != nullptr && serviceBrowse != nullptr && serviceBrowseCancel != nullptr &&
           serviceResolve != nullptr && serviceResolveCancel != nullptr;
  }
};

}  // namespace kavex
