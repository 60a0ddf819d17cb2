// A foreign socket for fuzz targets: every socket the fake library names is readable at once, so no
// descriptor is opened or waited on; the conversion of the library's socket addresses is the
// engine's own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/foreign_socket.h"
#include "platform/sockaddr_conversion.h"

namespace kavex::platform {

bool WaitForeignSocketReadable(intptr_t socket, int) { return socket >= 0; }

bool SocketAddressFromNative(const void* native, SocketAddress* out) { return FromSockaddr(native, out); }

}  // namespace kavex::platform
