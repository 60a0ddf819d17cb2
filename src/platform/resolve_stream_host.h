#pragma once
// Name resolution for stream connections, shared by both platforms' service sockets. Include it
// after the OS's resolver headers (ws2tcpip.h, or netdb.h).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sockaddr_conversion.h"
#include "platform/socket_address.h"

namespace kavex::platform {

// The stream endpoints of a host name: every address getaddrinfo gives (ws2tcpip.h or netdb.h must
// be included before), in its order, with this port. Empty when the name does not resolve.
inline std::vector<SocketAddress> ResolveWithGetaddrinfo(const std::string& host, uint16_t port) {
  std::vector<SocketAddress> endpoints;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return endpoints;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    SocketAddress address;
    if (entry->ai_addr == nullptr || !FromSockaddr(entry->ai_addr, &address)) continue;
    address.port = port;
    endpoints.push_back(address);
  }
  freeaddrinfo(found);
  return endpoints;
}

}  // namespace kavex::platform
