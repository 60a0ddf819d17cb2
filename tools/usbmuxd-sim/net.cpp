#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace muxsim {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

int Fd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void Fd::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SplitHostPort(const std::string& text, std::string* host, uint16_t* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 >= text.size()) return false;
  std::string name = text.substr(0, colon);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  char* end = nullptr;
  const long value = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || value < 0 || value > 65535 || name.empty()) return false;
  *host = name;
  *port = static_cast<uint16_t>(value);
  return true;
}

namespace {

// A numeric IPv4 or IPv6 address with a port.
bool MakeAddress(const std::string& host, uint16_t port, sockaddr_storage* address, socklen_t* length) {
  std::memset(address, 0, sizeof *address);
  auto* v4 = reinterpret_cast<sockaddr_in*>(address);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *length = sizeof *v4;
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
  if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    *length = sizeof *v6;
    return true;
  }
  return false;
}

std::string Describe(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
  ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
  return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
}

bool MakeUnixAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size());
  return true;
}

}  // namespace

Fd ListenTcp(const std::string& host, uint16_t port, std::string* bound, std::string* error) {
  sockaddr_storage address;
  socklen_t length = 0;
  if (!MakeAddress(host, port, &address, &length)) {
    *error = "not a numeric address: " + host;
    return Fd();
  }
  Fd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  // A restarted service rebinds its port at once, as the real one does after a crash.
  if (fd.Valid()) ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd.Get(), 64) != 0) {
    *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return Fd();
  }
  length = sizeof address;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  *bound = Describe(address);
  return fd;
}

bool UnixSocketAnswers(const std::string& path) {
  sockaddr_un address;
  if (!MakeUnixAddress(path, &address)) return false;
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return fd.Valid() && ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

Fd ListenUnix(const std::string& path, std::string* error) {
  sockaddr_un address;
  if (!MakeUnixAddress(path, &address)) {
    *error = "unusable socket path: " + path;
    return Fd();
  }
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + " exists and is not a socket";
      return Fd();
    }
    if (UnixSocketAnswers(path)) {
      *error = "a service already answers on " + path;
      return Fd();
    }
    ::unlink(path.c_str());
  }
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.Get(), 64) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    return Fd();
  }
  // Any local user may talk to the service, as to the real one.
  ::chmod(path.c_str(), 0666);
  return fd;
}

Fd ConnectTcp(const std::string& host, uint16_t port, int timeoutMs) {
  sockaddr_storage address;
  socklen_t length = 0;
  if (!MakeAddress(host, port, &address, &length)) return Fd();
  Fd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) return Fd();
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (errno != EINPROGRESS) return Fd();
    pollfd entry{fd.Get(), POLLOUT, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) return Fd();
    int soError = 0;
    socklen_t size = sizeof soError;
    if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &soError, &size) != 0 || soError != 0) return Fd();
  }
  const int flags = ::fcntl(fd.Get(), F_GETFL);
  ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, timeoutMs) > 0;
}

bool ReadExact(int fd, void* buffer, size_t size, int idleMs) {
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    if (idleMs >= 0 && !WaitReadable(fd, idleMs)) return false;
    const ssize_t got = ::recv(fd, out + done, size - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool SendAll(int fd, const void* data, size_t size) {
  const auto* in = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t sent = ::send(fd, in, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    in += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

void SetSendTimeout(int fd, int timeoutMs) {
  timeval value{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

}  // namespace muxsim
