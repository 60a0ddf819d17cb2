#pragma once
#include <cstdint>
#include <string>
#include <utility>

#include "common/phone_id.h"
#include "platform/socket_address.h"

namespace kavex {

// The road a phone was seen on.
enum class PhoneRoad {
  kNetwork,      // announcements and DNS service discovery on the local network
  kBridge,       // an Android phone on a cable, forwarded to a local port by the debug bridge
  kMultiplexer,  // a phone the USB multiplexing service knows, on a cable or over the network
};

// One report of a discovery path: a phone seen (or gone) on one road, and how to reach it there.
// Only the fields of its road mean something.
struct PhoneSighting {
  PhoneRoad road = PhoneRoad::kNetwork;
  PhoneId id;  // zero in a multiplexer loss, whose device handle names the phone
  uint16_t kind = 0;
  std::string name;
  SocketAddress peer;         // network: where the phone was heard
  uint16_t port = 0;          // network: its session port; bridge: the local forward (host order)
  uint32_t deviceHandle = 0;  // multiplexer
  bool cable = false;         // multiplexer: on a cable, else over the network

  static PhoneSighting Network(const PhoneId& id, uint16_t kind, std::string name, const SocketAddress& peer,
                               uint16_t port) {
    PhoneSighting s = Of(PhoneRoad::kNetwork, id, kind, std::move(name));
    s.peer = peer;
    s.port = port;
    return s;
  }
  static PhoneSighting Bridge(const PhoneId& id, uint16_t kind, std::string name, uint16_t localPort) {
    PhoneSighting s = Of(PhoneRoad::kBridge, id, kind, std::move(name));
    s.port = localPort;
    return s;
  }
  static PhoneSighting Multiplexer(const PhoneId& id, uint16_t kind, uint32_t deviceHandle, bool cable) {
    PhoneSighting s = Of(PhoneRoad::kMultiplexer, id, kind, std::string());
    s.deviceHandle = deviceHandle;
    s.cable = cable;
    return s;
  }

 private:
  static PhoneSighting Of(PhoneRoad road, const PhoneId& id, uint16_t kind, std::string name) {
    PhoneSighting s;
    s.road = road;
    s.id = id;
    s.kind = kind;
    s.name = std::move(name);
    return s;
  }
};

// Where every discovery path reports (the phone broker, in the engine): each report updates the
// shared phone list and, when the list changed, ends with a refresh of every camera.
// Thread: the reporting component's own thread.
class PhoneSightingListener {
 public:
  virtual ~PhoneSightingListener() = default;
  virtual void OnPhoneFound(const PhoneSighting& sighting) = 0;
  // The phone is gone from that road: the bridge names it by its id, the multiplexer by its device
  // handle. The network never reports a loss (a phone there goes quiet and ages out of the list).
  virtual void OnPhoneLost(const PhoneSighting& sighting) = 0;
};

}  // namespace kavex
