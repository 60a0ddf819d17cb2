#pragma once
// Conversions between SocketAddress and the OS's sockaddr layouts, shared by the socket files of
// both platforms. Include it after the OS's socket headers (winsock2.h/ws2tcpip.h, or
// netinet/in.h/arpa/inet.h): the layouts and byte-order helpers are the same names on both.
#include <cstring>

#include "platform/socket_address.h"

namespace kavex::platform {

// The OS's address family for a socket of this family; AF_UNSPEC for none.
inline int OsAddressFamily(SocketAddress::Family family) {
  switch (family) {
    case SocketAddress::Family::kIpv4:
      return AF_INET;
    case SocketAddress::Family::kIpv6:
      return AF_INET6;
    default:
      return AF_UNSPEC;
  }
}

// Fills storage with the OS layout of address; returns its length, 0 for an empty address.
inline int ToSockaddr(const SocketAddress& address, sockaddr_storage* storage) {
  std::memset(storage, 0, sizeof *storage);
  if (address.family == SocketAddress::Family::kIpv4) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(address.port);
    std::memcpy(&v4->sin_addr, address.address.data(), 4);
    return static_cast<int>(sizeof(sockaddr_in));
  }
  if (address.family == SocketAddress::Family::kIpv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(address.port);
    v6->sin6_flowinfo = htonl(address.flowInfo);
    std::memcpy(&v6->sin6_addr, address.address.data(), 16);
    v6->sin6_scope_id = address.scopeId;
    return static_cast<int>(sizeof(sockaddr_in6));
  }
  return 0;
}

// Reads an IPv4 or IPv6 sockaddr; false (out untouched) for any other family. The source may be
// unaligned memory handed over by another library, so it is copied before it is read.
inline bool FromSockaddr(const void* native, SocketAddress* out) {
  if (native == nullptr || out == nullptr) return false;
  sockaddr_storage storage{};
  std::memcpy(&storage, native, sizeof(sockaddr));
  SocketAddress result;
  if (storage.ss_family == AF_INET) {
    sockaddr_in v4{};
    std::memcpy(&v4, native, sizeof v4);
    result.family = SocketAddress::Family::kIpv4;
    result.port = ntohs(v4.sin_port);
    std::memcpy(result.address.data(), &v4.sin_addr, 4);
  } else if (storage.ss_family == AF_INET6) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, native, sizeof v6);
    result.family = SocketAddress::Family::kIpv6;
    result.port = ntohs(v6.sin6_port);
    result.flowInfo = ntohl(v6.sin6_flowinfo);
    std::memcpy(result.address.data(), &v6.sin6_addr, 16);
    result.scopeId = v6.sin6_scope_id;
  } else {
    return false;
  }
  *out = result;
  return true;
}

}  // namespace kavex::platform
