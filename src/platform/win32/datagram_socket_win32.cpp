#include "platform/datagram_socket.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstring>

#include "platform/sockaddr_conversion.h"

namespace kavex::platform {

namespace {

SOCKET Native(intptr_t handle) { return static_cast<SOCKET>(handle); }

bool Membership4(SOCKET s, int option, const SocketAddress& group, const SocketAddress& interfaceAddress) {
  if (group.family != SocketAddress::Family::kIpv4 || interfaceAddress.family != SocketAddress::Family::kIpv4)
    return false;
  ip_mreq request{};
  std::memcpy(&request.imr_multiaddr, group.address.data(), 4);
  std::memcpy(&request.imr_interface, interfaceAddress.address.data(), 4);
  return setsockopt(s, IPPROTO_IP, option, reinterpret_cast<const char*>(&request), sizeof request) == 0;
}

bool Membership6(SOCKET s, int option, const SocketAddress& group, uint32_t interfaceIndex) {
  if (group.family != SocketAddress::Family::kIpv6) return false;
  ipv6_mreq request{};
  std::memcpy(&request.ipv6mr_multiaddr, group.address.data(), 16);
  request.ipv6mr_interface = interfaceIndex;
  return setsockopt(s, IPPROTO_IPV6, option, reinterpret_cast<const char*>(&request), sizeof request) == 0;
}

}  // namespace

DatagramSocket DatagramSocket::Create(SocketAddress::Family family) {
  const int af = OsAddressFamily(family);
  if (af == AF_UNSPEC) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return DatagramSocket();
  }
  // Overlapped: SO_RCVTIMEO only works on sockets made by WSASocket with this flag. Not inherited
  // by the child processes the engine starts.
  const SOCKET s =
      WSASocketW(af, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return DatagramSocket();
  DatagramSocket result(static_cast<intptr_t>(s));
  const DWORD on = 1;  // already the Windows default; said anyway
  if (af == AF_INET6 && setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on) != 0)
    return DatagramSocket();
  return result;
}

bool DatagramSocket::SetTimeouts(int milliseconds) {
  const DWORD timeout = static_cast<DWORD>(milliseconds);
  const SOCKET s = Native(handle_);
  return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout) == 0 &&
         setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout) == 0;
}

bool DatagramSocket::SetReuseAddress() {
  const BOOL on = TRUE;
  return setsockopt(Native(handle_), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool DatagramSocket::Bind(const SocketAddress& local) {
  sockaddr_storage storage{};
  const int length = ToSockaddr(local, &storage);
  if (length == 0) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return false;
  }
  return bind(Native(handle_), reinterpret_cast<const sockaddr*>(&storage), length) == 0;
}

bool DatagramSocket::JoinGroup(const SocketAddress& group, const SocketAddress& interfaceAddress) {
  return Membership4(Native(handle_), IP_ADD_MEMBERSHIP, group, interfaceAddress);
}

bool DatagramSocket::LeaveGroup(const SocketAddress& group, const SocketAddress& interfaceAddress) {
  return Membership4(Native(handle_), IP_DROP_MEMBERSHIP, group, interfaceAddress);
}

bool DatagramSocket::JoinGroup(const SocketAddress& group, uint32_t interfaceIndex) {
  return Membership6(Native(handle_), IPV6_ADD_MEMBERSHIP, group, interfaceIndex);
}

bool DatagramSocket::LeaveGroup(const SocketAddress& group, uint32_t interfaceIndex) {
  return Membership6(Native(handle_), IPV6_DROP_MEMBERSHIP, group, interfaceIndex);
}

long DatagramSocket::ReceiveFrom(uint8_t* into, size_t capacity, SocketAddress* source) {
  sockaddr_storage from{};
  int fromLength = sizeof from;
  const int chunk = capacity > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
  // A datagram longer than the buffer fails with WSAEMSGSIZE (its start is in the buffer).
  const int n = recvfrom(Native(handle_), reinterpret_cast<char*>(into), chunk, 0, reinterpret_cast<sockaddr*>(&from),
                         &fromLength);
  if (n == SOCKET_ERROR) return -1;
  if (source != nullptr) {
    *source = SocketAddress{};
    FromSockaddr(&from, source);
  }
  return n;
}

void DatagramSocket::Close() {
  if (handle_ == kInvalidHandle) return;
  closesocket(Native(handle_));
  handle_ = kInvalidHandle;
}

}  // namespace kavex::platform
