#include "platform/adapters.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>

namespace kavex::platform {

namespace {

constexpr ULONG kFirstBufferSize = 376;
constexpr DWORD kTypeSoftwareLoopback = 24;  // IF_TYPE_SOFTWARE_LOOPBACK
constexpr DWORD kTypeTunnel = 131;           // IF_TYPE_TUNNEL

}  // namespace

bool ListActiveAdapterAddresses(std::vector<AdapterAddress>* addresses) {
  addresses->clear();
  std::vector<unsigned char> buffer(kFirstBufferSize);
  ULONG size = kFirstBufferSize;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  // The list can grow between the call that asks for the size and the next one, so ask again a few
  // times rather than once.
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size > buffer.size() ? size : buffer.size());
    size = static_cast<ULONG>(buffer.size());
    result = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_DNS_SERVER, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return false;

  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->IfType == kTypeTunnel || adapter->IfType == kTypeSoftwareLoopback) continue;
    if (adapter->OperStatus != IfOperStatusUp) continue;
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
      const sockaddr* raw = unicast->Address.lpSockaddr;
      if (raw == nullptr) continue;
      AdapterAddress item;
      item.adapterName = adapter->AdapterName != nullptr ? adapter->AdapterName : "";
      if (raw->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(raw);
        item.address.family = SocketAddress::Family::kIpv4;
        std::memcpy(item.address.address.data(), &v4->sin_addr, 4);
        item.interfaceIndex = adapter->IfIndex;
      } else if (raw->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(raw);
        item.address.family = SocketAddress::Family::kIpv6;
        std::memcpy(item.address.address.data(), &v6->sin6_addr, 16);
        item.address.scopeId = v6->sin6_scope_id;
        // Wine reports the IPv6 index as 0 although the adapter has IPv6 addresses; its IPv4 index
        // names the same interface there, and a link-local address's scope is the index as well.
        item.interfaceIndex = adapter->Ipv6IfIndex;
        if (item.interfaceIndex == 0) item.interfaceIndex = adapter->IfIndex;
        if (item.interfaceIndex == 0) item.interfaceIndex = v6->sin6_scope_id;
      } else {
        continue;
      }
      addresses->push_back(item);
    }
  }
  return true;
}

}  // namespace kavex::platform
