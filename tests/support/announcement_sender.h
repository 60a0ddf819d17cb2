#pragma once
// Sends datagrams to the phones' announcement groups the way a phone does (out of one interface,
// TTL / hop limit 1), with multicast loopback on so that a listener on the same host hears them
// too. Plain OS sockets, so the same sender works natively and under Wine.
#include <cstdint>
#include <string>
#include <vector>

class AnnouncementSender {
 public:
  AnnouncementSender() = default;
  ~AnnouncementSender();
  AnnouncementSender(const AnnouncementSender&) = delete;
  AnnouncementSender& operator=(const AnnouncementSender&) = delete;

  // To 239.255.188.58:4698, out of the interface that owns interfaceAddress ("a.b.c.d").
  bool OpenIpv4(const std::string& interfaceAddress);
  // To [ff02::2:d644%interfaceIndex]:4698.
  bool OpenIpv6(uint32_t interfaceIndex);

  // To the group.
  bool Send(const std::vector<uint8_t>& datagram);
  // To one IPv4 address instead (an IPv4 sender only).
  bool SendTo(const std::string& address, uint16_t port, const std::vector<uint8_t>& datagram);
  // The port the datagrams leave from (host order), 0 before the first Send.
  uint16_t localPort() const;
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& what);

  long long handle_ = -1;
  bool ipv6_ = false;
  uint32_t interfaceIndex_ = 0;
  std::string error_;
};
