#include "announcer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include "log.h"

namespace phonesim {
namespace {

constexpr const char* kGroup4 = "239.255.188.58";
constexpr const char* kGroup6 = "ff02::2:d644";

// Loopback, or an IPv4 address in 198.18.0.0/15.
bool InterfaceIsTestOnly(const std::string& name, std::string* why) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    *why = std::string("getifaddrs: ") + strerror(errno);
    return false;
  }
  bool found = false;
  bool allowed = false;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr || name != entry->ifa_name) continue;
    found = true;
    if (entry->ifa_flags & IFF_LOOPBACK) allowed = true;
    if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
      const uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
      if ((address & 0xfffe0000u) == 0xc6120000u) allowed = true;  // 198.18.0.0/15
    }
  }
  ::freeifaddrs(list);
  if (!found) {
    *why = "no interface " + name;
  } else if (!allowed) {
    *why = "interface " + name +
           " is neither a loopback nor in 198.18.0.0/15; announcements are for the test network only";
  }
  return found && allowed;
}

}  // namespace

Announcer::~Announcer() { Stop(); }

bool Announcer::Open(const AnnounceOptions& options, std::string* error) {
  options_ = options;
  if (!InterfaceIsTestOnly(options.interface, error)) return false;
  ifIndex_ = ::if_nametoindex(options.interface.c_str());
  if (ifIndex_ == 0) {
    *error = "no interface " + options.interface;
    return false;
  }
  if (options.ipv4) {
    simsock::Socket fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ip_mreqn outgoing{};
    outgoing.imr_ifindex = static_cast<int>(ifIndex_);
    const unsigned char ttl = 1;
    if (!fd.Valid() || ::setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0 ||
        ::setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
      *error = std::string("IPv4 announcement socket: ") + strerror(errno);
      return false;
    }
    v4_ = std::move(fd);
  }
  if (options.ipv6) {
    simsock::Socket fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int hops = 1;
    if (!fd.Valid() || ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifIndex_, sizeof ifIndex_) != 0 ||
        ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops) != 0) {
      *error = std::string("IPv6 announcement socket: ") + strerror(errno);
      return false;
    }
    v6_ = std::move(fd);
  }
  if (!IsOpen()) {
    *error = "announcements need IPv4 or IPv6";
    return false;
  }
  return true;
}

int Announcer::AnnounceNow(const std::vector<uint8_t>& block, std::string* error) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  if (!IsOpen()) {
    *error = "announcements are off (no --announce-if)";
    return -1;
  }
  int sent = 0;
  std::string failures;
  if (v4_.Valid()) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(options_.port);
    ::inet_pton(AF_INET, kGroup4, &to.sin_addr);
    if (::sendto(v4_.Get(), block.data(), block.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(block.size())) {
      ++sent;
    } else {
      failures += std::string(" ipv4: ") + strerror(errno);
    }
  }
  if (v6_.Valid()) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(options_.port);
    to.sin6_scope_id = ifIndex_;
    ::inet_pton(AF_INET6, kGroup6, &to.sin6_addr);
    if (::sendto(v6_.Get(), block.data(), block.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(block.size())) {
      ++sent;
    } else {
      failures += std::string(" ipv6: ") + strerror(errno);
    }
  }
  sent_ += static_cast<uint64_t>(sent);
  if (sent == 0) {
    *error = "no announcement left:" + failures;
    return -1;
  }
  if (!failures.empty()) LogInfo("announcement:" + failures);
  return sent;
}

void Announcer::Start(std::function<std::vector<uint8_t>()> block) {
  if (!IsOpen() || options_.intervalMs <= 0 || thread_.joinable()) return;
  thread_ = std::thread([this, block] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      lock.unlock();
      std::string error;
      if (!paused_ && AnnounceNow(block(), &error) < 0) LogInfo(error);
      lock.lock();
      wake_.wait_for(lock, std::chrono::milliseconds(options_.intervalMs), [this] { return stop_; });
    }
  });
}

void Announcer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace phonesim
