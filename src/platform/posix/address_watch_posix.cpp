#include "platform/address_watch.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kavex::platform {

namespace {

// Owns a netlink socket subscribed to address and link changes; the subscription stays armed, so
// re-arming only means draining what has arrived.
class NetlinkWatch final : public AddressChangeWatch {
 public:
  explicit NetlinkWatch(int fd) : fd_(fd) {}
  ~NetlinkWatch() override { close(fd_); }
  NetlinkWatch(const NetlinkWatch&) = delete;
  NetlinkWatch& operator=(const NetlinkWatch&) = delete;
  NetlinkWatch(NetlinkWatch&&) = delete;
  NetlinkWatch& operator=(NetlinkWatch&&) = delete;

  bool CheckAndRearm() override {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0 || (entry.revents & POLLIN) == 0) return false;
    char buffer[8192];
    while (recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<AddressChangeWatch> AddressChangeWatch::Start(int* error) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) {
    if (error != nullptr) *error = errno;
    return nullptr;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    if (error != nullptr) *error = errno;
    close(fd);
    return nullptr;
  }
  return std::make_unique<NetlinkWatch>(fd);
}

SocketLibrary::SocketLibrary() : started_(true) {}
SocketLibrary::~SocketLibrary() = default;

}  // namespace kavex::platform
