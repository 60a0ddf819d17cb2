#include "platform/adapters.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <cstring>
#include <map>

namespace kavex::platform {

namespace {

constexpr unsigned short kHardwareTypeIp6Gre = 823;  // ARPHRD_IP6GRE, which glibc's header lacks

// The link types that Windows lists as tunnels (or software loopbacks): IP-in-IP, SIT, GRE and the
// links without a hardware header that tun devices and VPNs use.
bool IsTunnelOrLoopbackType(unsigned short hardwareType) {
  switch (hardwareType) {
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case kHardwareTypeIp6Gre:
    case ARPHRD_NONE:
    case ARPHRD_LOOPBACK:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ListActiveAdapterAddresses(std::vector<AdapterAddress>* addresses) {
  addresses->clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;

  // getifaddrs lists each link once with its hardware type (the packet family entry).
  std::map<std::string, unsigned short> linkTypes;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name != nullptr && entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_PACKET)
      linkTypes[entry->ifa_name] = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr)->sll_hatype;
  }

  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr || entry->ifa_addr == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    // IFF_RUNNING is the link's operational state ("up" in the Windows list).
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_RUNNING) == 0) continue;
    if ((entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const auto type = linkTypes.find(entry->ifa_name);
    if (type != linkTypes.end() && IsTunnelOrLoopbackType(type->second)) continue;

    AdapterAddress item;
    item.adapterName = entry->ifa_name;
    item.interfaceIndex = if_nametoindex(entry->ifa_name);
    if (family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      item.address.family = SocketAddress::Family::kIpv4;
      std::memcpy(item.address.address.data(), &v4->sin_addr, 4);
    } else {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
      item.address.family = SocketAddress::Family::kIpv6;
      std::memcpy(item.address.address.data(), &v6->sin6_addr, 16);
      item.address.scopeId = v6->sin6_scope_id;
    }
    addresses->push_back(item);
  }
  freeifaddrs(list);
  return true;
}

}  // namespace kavex::platform
