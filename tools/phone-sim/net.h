#pragma once
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace phonesim {

// A file descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

struct Endpoint {
  sockaddr_storage address{};
  socklen_t length = 0;
};

// "198.18.0.2:4699", "[::1]:4699", "[fe80::1%phone0]:4699". Numeric addresses only.
bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error);
std::string EndpointText(const sockaddr* address, socklen_t length);
// The local address a socket is bound to, as text.
std::string LocalEndpointText(int fd);

// A listening TCP socket (address reuse on, close-on-exec), or an invalid fd with the reason.
UniqueFd ListenTcp(const Endpoint& endpoint, std::string* error);

// Sends everything or fails; never raises SIGPIPE.
bool SendAll(int fd, const uint8_t* data, size_t size);

}  // namespace phonesim
