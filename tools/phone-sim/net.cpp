#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace phonesim {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

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
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = "bad address in " + text + ": " + gai_strerror(rc);
    return false;
  }
  std::memcpy(&out->address, found->ai_addr, found->ai_addrlen);
  out->length = found->ai_addrlen;
  ::freeaddrinfo(found);
  return true;
}

std::string EndpointText(const sockaddr* address, socklen_t length) {
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(address, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) !=
      0) {
    return "?";
  }
  if (address->sa_family == AF_INET6) return std::string("[") + host + "]:" + service;
  return std::string(host) + ":" + service;
}

std::string LocalEndpointText(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "?";
  return EndpointText(reinterpret_cast<sockaddr*>(&address), length);
}

UniqueFd ListenTcp(const Endpoint& endpoint, std::string* error) {
  UniqueFd fd(::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    *error = std::string("socket: ") + strerror(errno);
    return UniqueFd();
  }
  const int one = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (endpoint.address.ss_family == AF_INET6) {
    ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) != 0) {
    *error = "bind " + EndpointText(reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) + ": " +
             strerror(errno);
    return UniqueFd();
  }
  if (::listen(fd.Get(), 8) != 0) {
    *error = std::string("listen: ") + strerror(errno);
    return UniqueFd();
  }
  return fd;
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (sent == 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

}  // namespace phonesim
