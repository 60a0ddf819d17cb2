#include "platform/foreign_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/sockaddr_conversion.h"

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

bool SocketAddressFromNative(const void* native, SocketAddress* out) { return FromSockaddr(native, out); }

}  // namespace kavex::platform
