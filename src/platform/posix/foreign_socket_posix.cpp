#include "platform/foreign_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

namespace kavex::platform {

bool WaitForeignSocketReadable(intptr_t socket, int timeoutMs) {
  if (socket < 0) return false;
  // poll, not select: a descriptor above FD_SETSIZE must not overrun an fd_set.
  pollfd entry{};
  entry.fd = static_cast<int>(socket);
  entry.events = POLLIN;
  const int n = poll(&entry, 1, timeoutMs);
  return n > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool SocketAddressFromNative(const void* native, SocketAddress* out) {
  if (native == nullptr || out == nullptr) return false;
  sa_family_t family;
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
