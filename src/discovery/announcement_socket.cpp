#include "discovery/announcement_socket.h"

#include "common/error_log.h"

namespace kavex {

namespace {

SocketAddress AnyAddress(SocketAddress::Family family) {
  SocketAddress any;
  any.family = family;
  any.port = kAnnouncementPort;
  return any;
}

}  // namespace

SocketAddress AnnouncementGroupIpv4() { return SocketAddress::Ipv4(239, 255, 188, 58, kAnnouncementPort); }

SocketAddress AnnouncementGroupIpv6() {
  static constexpr uint8_t kGroup[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0xd6, 0x44};
  return SocketAddress::Ipv6(kGroup, kAnnouncementPort);
}

bool AnnouncementSocket::CreateAndBind(const ErrorCode& bindFailure) {
  const SocketAddress::Family family = ipv4_ ? SocketAddress::Family::kIpv4 : SocketAddress::Family::kIpv6;
  socket_ = platform::DatagramSocket::Create(family);
  if (!socket_.valid()) return false;
  // Without its time-out a read would wait for a datagram for ever, and stopping the discovery
  // would wait with it: such a socket is not used. Address reuse is best effort; without it the
  // bind below tells whether the port is free.
  if (!socket_.SetTimeouts(kTimeoutMs)) {
    socket_.Close();
    return false;
  }
  socket_.SetReuseAddress();
  if (!socket_.Bind(AnyAddress(family))) {
    ErrorLog::Record(bindFailure);
    socket_.Close();
    return false;
  }
  return true;
}

bool Ipv4AnnouncementSocket::Open() {
  if (!CreateAndBind(kBindFailure)) return false;
  joined_ = socket_.JoinGroup(AnnouncementGroupIpv4(), adapterAddress_);
  if (!joined_) socket_.Close();
  return joined_;
}

Ipv4AnnouncementSocket::~Ipv4AnnouncementSocket() {
  if (joined_) socket_.LeaveGroup(AnnouncementGroupIpv4(), adapterAddress_);
}

bool Ipv6AnnouncementSocket::Open() {
  if (!CreateAndBind(kBindFailure)) return false;
  joined_ = socket_.JoinGroup(AnnouncementGroupIpv6(), interfaceIndex_);
  if (!joined_) socket_.Close();
  return joined_;
}

Ipv6AnnouncementSocket::~Ipv6AnnouncementSocket() {
  if (joined_) socket_.LeaveGroup(AnnouncementGroupIpv6(), interfaceIndex_);
}

std::vector<std::unique_ptr<AnnouncementSocket>> BuildAnnouncementSockets(
    const std::vector<platform::AdapterAddress>& adapters) {
  std::vector<std::unique_ptr<AnnouncementSocket>> sockets;
  for (const platform::AdapterAddress& adapter : adapters) {
    std::unique_ptr<AnnouncementSocket> socket;
    if (adapter.address.family == SocketAddress::Family::kIpv4)
      socket = std::make_unique<Ipv4AnnouncementSocket>(adapter.address);
    else
      socket = std::make_unique<Ipv6AnnouncementSocket>(adapter.interfaceIndex);
    if (socket->Open()) sockets.push_back(std::move(socket));
  }
  return sockets;
}

}  // namespace kavex
