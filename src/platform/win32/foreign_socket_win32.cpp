#include "platform/foreign_socket.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

namespace kavex::platform {

bool WaitForeignSocketReadable(intptr_t socket, int timeoutMs) {
  const SOCKET s = static_cast<SOCKET>(socket);
  if (s == INVALID_SOCKET) return false;
  // A Winsock fd_set is a counted array of handles, so any handle value fits.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  const int n = select(0, &readable, nullptr, nullptr, &limit);
  return n > 0 && FD_ISSET(s, &readable);
}

bool SocketAddressFromNative(const void* native, SocketAddress* out) {
  if (native == nullptr || out == nullptr) return false;
  ADDRESS_FAMILY family;
  std::memcpy(&family, native, sizeof family);
  if (family == AF_INET) {
    sockaddr_in v4;
    std::memcpy(&v4, native, sizeof v4);
    SocketAddress result;
    result.family = SocketAddress::Family::kIpv4;
    result.port = ntohs(v4.sin_port);
    std::memcpy(result.address.data(), &v4.sin_addr, 4);
    *out = result;
    return true;
  }
  if (family == AF_INET6) {
    sockaddr_in6 v6;
    std::memcpy(&v6, native, sizeof v6);
    SocketAddress result;
    result.family = SocketAddress::Family::kIpv6;
    result.port = ntohs(v6.sin6_port);
    result.flowInfo = ntohl(v6.sin6_flowinfo);
    std::memcpy(result.address.data(), &v6.sin6_addr, 16);
    result.scopeId = v6.sin6_scope_id;
    *out = result;
    return true;
  }
  return false;
}

}  // namespace kavex::platform
