#include "platform/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/sockaddr_conversion.h"

namespace kavex::platform {

namespace {

SocketWait Wait(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  SocketWait result;
  const int n = poll(&entry, 1, timeoutMs);
  if (n < 0) {
    result.status = SocketWait::Status::kError;
    result.error = errno;
    result.interrupted = errno == EINTR;
  } else if (n == 0) {
    result.status = SocketWait::Status::kTimeout;
  } else if ((entry.revents & POLLNVAL) != 0) {
    result.status = SocketWait::Status::kError;
    result.error = EBADF;
  } else {
    result.status = SocketWait::Status::kReady;
  }
  return result;
}

}  // namespace

StreamSocket StreamSocket::Create(SocketAddress::Family family) {
  const int domain = OsAddressFamily(family);
  if (domain == AF_UNSPEC) {
    errno = EAFNOSUPPORT;
    return StreamSocket();
  }
  const int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? StreamSocket() : StreamSocket(fd);
}

bool StreamSocket::SetNoDelay() {
  const int on = 1;
  return setsockopt(static_cast<int>(handle_), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool StreamSocket::SetNonBlocking() {
  const int fd = static_cast<int>(handle_);
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

ConnectStatus StreamSocket::Connect(const SocketAddress& peer) {
  sockaddr_storage storage{};
  const auto length = static_cast<socklen_t>(ToSockaddr(peer, &storage));
  if (length == 0) {
    errno = EAFNOSUPPORT;
    return ConnectStatus::kFailed;
  }
  if (connect(static_cast<int>(handle_), reinterpret_cast<const sockaddr*>(&storage), length) == 0)
    return ConnectStatus::kConnected;
  return errno == EINPROGRESS ? ConnectStatus::kInProgress : ConnectStatus::kFailed;
}

SocketWait StreamSocket::WaitReadable(int timeoutMs) { return Wait(static_cast<int>(handle_), POLLIN, timeoutMs); }

SocketWait StreamSocket::WaitWritable(int timeoutMs) { return Wait(static_cast<int>(handle_), POLLOUT, timeoutMs); }

bool StreamSocket::PendingError(int* error) {
  int value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_ERROR, &value, &length) != 0) return false;
  *error = value;
  return true;
}

long StreamSocket::Send(const uint8_t* data, size_t length) {
  // MSG_NOSIGNAL: a peer that reset the connection must fail the send, not kill the process.
  return static_cast<long>(send(static_cast<int>(handle_), data, length, MSG_NOSIGNAL));
}

long StreamSocket::Receive(uint8_t* into, size_t capacity) {
  return static_cast<long>(recv(static_cast<int>(handle_), into, capacity, 0));
}

void StreamSocket::Shutdown() {
  if (handle_ != kInvalidHandle) shutdown(static_cast<int>(handle_), SHUT_RDWR);
}

void StreamSocket::Close() {
  if (handle_ == kInvalidHandle) return;
  close(static_cast<int>(handle_));
  handle_ = kInvalidHandle;
}

int LastSocketError() { return errno; }

bool IsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace kavex::platform
