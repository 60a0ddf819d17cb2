#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/error_codes.h"
#include "platform/adapters.h"
#include "platform/datagram_socket.h"
#include "platform/socket_address.h"

namespace kavex {

// Where phones announce themselves.
constexpr uint16_t kAnnouncementPort = 4698;
SocketAddress AnnouncementGroupIpv4();  // 239.255.188.58
SocketAddress AnnouncementGroupIpv6();  // FF02::2:d644, link-local scope

// One UDP socket on port 4698 that is a member of the announcement group on one adapter address.
// Open creates, configures, binds and joins; the destructor leaves the group and closes.
// Thread: the network discovery thread (it makes, reads and destroys them).
class AnnouncementSocket {
 public:
  static constexpr int kTimeoutMs = 500;

  virtual ~AnnouncementSocket() = default;
  AnnouncementSocket(const AnnouncementSocket&) = delete;
  AnnouncementSocket& operator=(const AnnouncementSocket&) = delete;

  // False when the socket could not be made, bound or joined (a failed bind is logged).
  virtual bool Open() = 0;

  bool ipv4() const { return ipv4_; }
  // One datagram, waiting up to the 500 ms time-out: its length, or -1 on time-out or error (a
  // datagram longer than `capacity` included). `source` is the sender, scope id included.
  long Receive(uint8_t* into, size_t capacity, SocketAddress* source) {
    return socket_.ReceiveFrom(into, capacity, source);
  }

 protected:
  explicit AnnouncementSocket(bool ipv4) : ipv4_(ipv4) {}
  // Steps shared by both families: create, time-outs, address reuse, bind to any:4698. Records
  // bindFailure when the bind fails.
  bool CreateAndBind(const ErrorCode& bindFailure);

  const bool ipv4_;
  platform::DatagramSocket socket_;
  bool joined_ = false;
};

class Ipv4AnnouncementSocket final : public AnnouncementSocket {
 public:
  static constexpr ErrorCode kBindFailure = error_codes::kIpv4AnnouncementBindFailed;
  explicit Ipv4AnnouncementSocket(const SocketAddress& adapterAddress)
      : AnnouncementSocket(true), adapterAddress_(adapterAddress) {}
  ~Ipv4AnnouncementSocket() override;
  bool Open() override;

 private:
  const SocketAddress adapterAddress_;
};

class Ipv6AnnouncementSocket final : public AnnouncementSocket {
 public:
  static constexpr ErrorCode kBindFailure = error_codes::kIpv6AnnouncementBindFailed;
  explicit Ipv6AnnouncementSocket(uint32_t interfaceIndex)
      : AnnouncementSocket(false), interfaceIndex_(interfaceIndex) {}
  ~Ipv6AnnouncementSocket() override;
  bool Open() override;

 private:
  const uint32_t interfaceIndex_;
};

// One opened socket per adapter address (an adapter with several addresses gets several, so an
// announcement may arrive more than once); addresses whose socket cannot be opened are skipped.
std::vector<std::unique_ptr<AnnouncementSocket>> BuildAnnouncementSockets(
    const std::vector<platform::AdapterAddress>& adapters);

}  // namespace kavex
