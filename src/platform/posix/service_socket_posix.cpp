#include "platform/service_socket.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/resolve_stream_host.h"
#include "platform/sockaddr_conversion.h"

namespace kavex::platform {

bool StartSocketLayer() { return true; }

int ErrnoOfSocketError(int socketError) { return socketError != 0 ? socketError : EIO; }

std::vector<SocketAddress> ResolveStreamHost(const std::string& host, uint16_t port) {
  return ResolveWithGetaddrinfo(host, port);
}

bool LocalStreamSocketsAvailable() { return true; }

int LocalStreamSocket::Connect(const std::string& path) {
  Close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  std::memcpy(address.sun_path, path.data(), path.size());
  // Non-blocking from the start: a blocking connect to a listener whose backlog is full waits
  // until the service accepts, with no limit.
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return errno;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    return error;
  }
  handle_ = fd;
  return 0;
}

namespace {

SocketWait Wait(intptr_t handle, short events, int timeoutMs) {
  SocketWait result;
  if (handle < 0) {
    result.status = SocketWait::Status::kError;
    result.error = EBADF;
    return result;
  }
  pollfd entry{static_cast<int>(handle), events, 0};
  const int n = poll(&entry, 1, timeoutMs);
  if (n < 0) {
    result.status = SocketWait::Status::kError;
    result.error = errno;
    result.interrupted = errno == EINTR;
  } else if (n > 0) {
    result.status = SocketWait::Status::kReady;
  }
  return result;
}

}  // namespace

SocketWait LocalStreamSocket::WaitReadable(int timeoutMs) { return Wait(handle_, POLLIN, timeoutMs); }

SocketWait LocalStreamSocket::WaitWritable(int timeoutMs) { return Wait(handle_, POLLOUT, timeoutMs); }

long LocalStreamSocket::Send(const uint8_t* data, size_t length) {
  return static_cast<long>(send(static_cast<int>(handle_), data, length, MSG_NOSIGNAL));
}

long LocalStreamSocket::Receive(uint8_t* into, size_t capacity) {
  return static_cast<long>(recv(static_cast<int>(handle_), into, capacity, 0));
}

void LocalStreamSocket::Shutdown() {
  if (handle_ >= 0) shutdown(static_cast<int>(handle_), SHUT_RDWR);
}

void LocalStreamSocket::Close() {
  if (handle_ < 0) return;
  close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace kavex::platform
