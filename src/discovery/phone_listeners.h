#pragma once
#include <cstdint>
#include <string>

#include "common/phone_id.h"
#include "platform/socket_address.h"

namespace kavex {

// How the discovery paths report phones. The phone broker implements all three; each report updates
// the shared phone list and, when the list changed, ends with a refresh of every camera.
// Thread: the reporting component's own thread.

// Phones heard on the local network (announcements, DNS service discovery).
class NetworkPhoneListener {
 public:
  virtual ~NetworkPhoneListener() = default;
  // peer: where the phone was heard; port: its session port (host order).
  virtual void OnPhoneFound(const PhoneId& id, uint16_t kind, const std::string& name, const SocketAddress& peer,
                            uint16_t port) = 0;
};

// Android phones forwarded over USB by the debug bridge.
class AdbPhoneListener {
 public:
  virtual ~AdbPhoneListener() = default;
  // localPort: the 127.0.0.1 port forwarded to the phone's session port (host order).
  virtual void OnPhoneFound(const PhoneId& id, uint16_t kind, const std::string& name, uint16_t localPort) = 0;
  virtual void OnPhoneLost(const PhoneId& id) = 0;
};

// Phones known to the USB multiplexing service, on a cable or over the network.
class UsbmuxPhoneListener {
 public:
  virtual ~UsbmuxPhoneListener() = default;
  virtual void OnPhoneFound(const PhoneId& id, uint16_t kind, uint32_t deviceHandle, bool overUsb,
                            const std::string& name) = 0;
  virtual void OnPhoneLost(uint32_t deviceHandle) = 0;
};

}  // namespace kavex
