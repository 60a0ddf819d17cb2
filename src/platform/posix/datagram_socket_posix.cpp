#include "platform/datagram_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "platform/sockaddr_conversion.h"

namespace kavex::platform {

namespace {

bool Membership4(int fd, int option, const SocketAddress& group, const SocketAddress& interfaceAddress) {
  if (group.family != SocketAddress::Family::kIpv4 || interfaceAddress.family != SocketAddress::Family::kIpv4)
    return false;
  ip_mreq request{};
  std::memcpy(&request.imr_multiaddr, group.address.data(), 4);
  std::memcpy(&request.imr_interface, interfaceAddress.address.data(), 4);
  return setsockopt(fd, IPPROTO_IP, option, &request, sizeof request) == 0;
}

bool Membership6(int fd, int option, const SocketAddress& group, uint32_t interfaceIndex) {
  if (group.family != SocketAddress::Family::kIpv6) return false;
  ipv6_mreq request{};
  std::memcpy(&request.ipv6mr_multiaddr, group.address.data(), 16);
  request.ipv6mr_interface = interfaceIndex;
  return setsockopt(fd, IPPROTO_IPV6, option, &request, sizeof request) == 0;
}

}  // namespace

DatagramSocket DatagramSocket::Create(SocketAddress::Family family) {
  const int domain = OsAddressFamily(family);
  if (domain == AF_UNSPEC) {
    errno = EAFNOSUPPORT;
    return DatagramSocket();
  }
  const int fd = socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return DatagramSocket();
  DatagramSocket result(fd);
  // Linux lets an IPv6 socket take IPv4 datagrams as mapped addresses unless told otherwise; they
  // would be reported as IPv6 peers.
  const int on = 1;
  if (domain == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) return DatagramSocket();
  return result;
}

bool DatagramSocket::SetTimeouts(int milliseconds) {
  timeval timeout{};
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  const int fd = static_cast<int>(handle_);
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

bool DatagramSocket::SetReuseAddress() {
  const int on = 1;
  return setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool DatagramSocket::Bind(const SocketAddress& local) {
  sockaddr_storage storage{};
  const auto length = static_cast<socklen_t>(ToSockaddr(local, &storage));
  if (length == 0) {
    errno = EAFNOSUPPORT;
    return false;
  }
  return bind(static_cast<int>(handle_), reinterpret_cast<const sockaddr*>(&storage), length) == 0;
}

bool DatagramSocket::JoinGroup(const SocketAddress& group, const SocketAddress& interfaceAddress) {
  return Membership4(static_cast<int>(handle_), IP_ADD_MEMBERSHIP, group, interfaceAddress);
}

bool DatagramSocket::LeaveGroup(const SocketAddress& group, const SocketAddress& interfaceAddress) {
  return Membership4(static_cast<int>(handle_), IP_DROP_MEMBERSHIP, group, interfaceAddress);
}

bool DatagramSocket::JoinGroup(const SocketAddress& group, uint32_t interfaceIndex) {
  return Membership6(static_cast<int>(handle_), IPV6_ADD_MEMBERSHIP, group, interfaceIndex);
}

bool DatagramSocket::LeaveGroup(const SocketAddress& group, uint32_t interfaceIndex) {
  return Membership6(static_cast<int>(handle_), IPV6_DROP_MEMBERSHIP, group, interfaceIndex);
}

long DatagramSocket::ReceiveFrom(uint8_t* into, size_t capacity, SocketAddress* source) {
  sockaddr_storage from{};
  socklen_t fromLength = sizeof from;
  // MSG_TRUNC: the datagram's real length, so an oversized one is told apart from one that fits.
  const ssize_t n =
      recvfrom(static_cast<int>(handle_), into, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) > capacity) {
    errno = EMSGSIZE;
    return -1;
  }
  if (source != nullptr) {
    *source = SocketAddress{};
    FromSockaddr(&from, source);
  }
  return static_cast<long>(n);
}

void DatagramSocket::Close() {
  if (handle_ == kInvalidHandle) return;
  close(static_cast<int>(handle_));
  handle_ = kInvalidHandle;
}

}  // namespace kavex::platform
