#include "tcp.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include <cstdlib>
#include <cstring>

#include "socket_io.h"

namespace simsock {

namespace {

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

bool MakeAddress(const Endpoint& endpoint, Address* out, std::string* error) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = "bad address in " + EndpointText(endpoint) + ": " + gai_strerror(rc);
    return false;
  }
  std::memcpy(&out->storage, found->ai_addr, found->ai_addrlen);
  out->length = static_cast<socklen_t>(found->ai_addrlen);
  ::freeaddrinfo(found);
  return true;
}

Endpoint ToEndpoint(const sockaddr* address, socklen_t length) {
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(address, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) !=
      0) {
    return Endpoint();
  }
  return Endpoint{host, static_cast<uint16_t>(std::atoi(service))};
}

Socket NewTcpSocket(int family) {
#ifdef _WIN32
  return Socket(static_cast<SocketHandle>(::socket(family, SOCK_STREAM, IPPROTO_TCP)));
#else
  return Socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
#endif
}

void SetNonBlocking(SocketHandle socket, bool on) {
#ifdef _WIN32
  u_long mode = on ? 1 : 0;
  ::ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &mode);
#else
  const int flags = ::fcntl(socket, F_GETFL);
  ::fcntl(socket, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
#endif
}

bool ConnectInProgress() {
#ifdef _WIN32
  return ::WSAGetLastError() == WSAEWOULDBLOCK;
#else
  return errno == EINPROGRESS;
#endif
}

}  // namespace

bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error) {
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "expected [ADDRESS]:PORT: " + text;
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      *error = "expected ADDRESS:PORT: " + text;
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  char* end = nullptr;
  const long portNumber = std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || portNumber < 0 || portNumber > 65535) {
    *error = "bad port in " + text;
    return false;
  }
  const Endpoint endpoint{host, static_cast<uint16_t>(portNumber)};
  Address address;
  if (!MakeAddress(endpoint, &address, error)) return false;
  *out = endpoint;
  return true;
}

std::string EndpointText(const Endpoint& endpoint) {
  if (endpoint.host.empty()) return "?";
  const std::string port = ":" + std::to_string(endpoint.port);
  return endpoint.host.find(':') == std::string::npos ? endpoint.host + port : "[" + endpoint.host + "]" + port;
}

Endpoint LocalEndpoint(SocketHandle socket) {
  Address address;
  address.length = sizeof address.storage;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address.storage), &address.length) != 0) return Endpoint();
  return ToEndpoint(address.Get(), address.length);
}

Endpoint PeerEndpoint(SocketHandle socket) {
  Address address;
  address.length = sizeof address.storage;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address.storage), &address.length) != 0) return Endpoint();
  return ToEndpoint(address.Get(), address.length);
}

Socket ListenTcp(const Endpoint& endpoint, std::string* error) {
  Address address;
  if (!MakeAddress(endpoint, &address, error)) return Socket();
  Socket socket = NewTcpSocket(address.storage.ss_family);
  if (!socket.Valid()) {
    *error = "socket: " + LastSocketError();
    return Socket();
  }
  const int on = 1;
#ifndef _WIN32
  // Winsock's SO_REUSEADDR would let a second server take a port that one already listens on.
  ::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
  if (address.storage.ss_family == AF_INET6) {
    ::setsockopt(socket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
  }
  if (::bind(socket.Get(), address.Get(), address.length) != 0) {
    *error = "bind " + EndpointText(endpoint) + ": " + LastSocketError();
    return Socket();
  }
  if (::listen(socket.Get(), 64) != 0) {
    *error = "listen: " + LastSocketError();
    return Socket();
  }
  return socket;
}

Socket Accept(SocketHandle listener) {
#ifdef _WIN32
  Socket socket(static_cast<SocketHandle>(::accept(static_cast<SOCKET>(listener), nullptr, nullptr)));
#else
  Socket socket(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
#endif
  // A socket accepted from a non-blocking listener may inherit its mode elsewhere: make it plain.
  if (socket.Valid()) SetNonBlocking(socket.Get(), false);
  return socket;
}

Socket ConnectTcp(const Endpoint& endpoint, int timeoutMs, std::string* error) {
  Address address;
  if (!MakeAddress(endpoint, &address, error)) return Socket();
  Socket socket = NewTcpSocket(address.storage.ss_family);
  if (!socket.Valid()) {
    *error = LastSocketError();
    return Socket();
  }
  SetNonBlocking(socket.Get(), true);
  if (::connect(socket.Get(), address.Get(), address.length) != 0) {
    if (!ConnectInProgress()) {
      *error = LastSocketError();
      return Socket();
    }
    if (!WaitWritable(socket.Get(), timeoutMs)) {
      *error = "connection timed out";
      return Socket();
    }
    int soError = 0;
    socklen_t length = sizeof soError;
    if (::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) != 0) {
      *error = LastSocketError();
      return Socket();
    }
    if (soError != 0) {
#ifdef _WIN32
      *error = "socket error " + std::to_string(soError);
#else
      *error = std::strerror(soError);
#endif
      return Socket();
    }
  }
  SetNonBlocking(socket.Get(), false);
  return socket;
}

}  // namespace simsock
