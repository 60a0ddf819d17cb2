#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket_address.h"

namespace kavex::platform {

// One unicast address of a network adapter that is up.
struct AdapterAddress {
  std::string adapterName;  // for logs and tests only
  SocketAddress address;    // port 0; a link-local IPv6 address carries its scope id
  // The index multicast groups are joined on: for an IPv6 address the adapter's IPv6 interface
  // index, for an IPv4 address its IPv4 one.
  uint32_t interfaceIndex = 0;
};

// The unicast addresses (IPv4 and IPv6) of every adapter that is operationally up and is neither a
// loopback nor a tunnel, in the order the system lists them. False when the system's list
// cannot be read; `addresses` is then empty.
// Thread: any.
bool ListActiveAdapterAddresses(std::vector<AdapterAddress>* addresses);

}  // namespace kavex::platform
