#include "wire_peer.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

int Connect(const std::string& hostPort) {
  std::string host;
  std::string port;
  if (!hostPort.empty() && hostPort[0] == '[') {
    const size_t close = hostPort.find(']');
    host = hostPort.substr(1, close - 1);
    port = hostPort.substr(close + 2);
  } else {
    const size_t colon = hostPort.rfind(':');
    host = hostPort.substr(0, colon);
    port = hostPort.substr(colon + 1);
  }
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) throw Failure("bad address " + hostPort);
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int rc = fd < 0 ? -1 : ::connect(fd, found->ai_addr, found->ai_addrlen);
  ::freeaddrinfo(found);
  if (rc != 0) {
    const std::string why = strerror(errno);
    if (fd >= 0) ::close(fd);
    throw Failure("connect " + hostPort + ": " + why);
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void SendEverything(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) {
      if (sent < 0 && errno == EINTR) continue;
      throw Failure(std::string("send: ") + strerror(errno));
    }
    data += sent;
    size -= static_cast<size_t>(sent);
  }
}

}  // namespace

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

uint32_t U32(const Bytes& bytes, size_t offset) {
  if (offset + 4 > bytes.size()) throw Failure("read past the end of a message");
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

uint64_t U64(const Bytes& bytes, size_t offset) {
  return static_cast<uint64_t>(U32(bytes, offset)) | static_cast<uint64_t>(U32(bytes, offset + 4)) << 32;
}

float F32(const Bytes& bytes, size_t offset) {
  const uint32_t bits = U32(bytes, offset);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

void Put32(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutF32(Bytes& out, float value) { Put32(out, FloatBits(value)); }

void Put64(Bytes& out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value));
  Put32(out, static_cast<uint32_t>(value >> 32));
}

Bytes Msg(uint8_t type, const Bytes& payload) {
  Bytes out;
  Put32(out, static_cast<uint32_t>(type) << 24 | static_cast<uint32_t>(4 + payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::string FieldOf(const std::string& line, const std::string& key) {
  const std::string needle = key + "=";
  size_t at = 0;
  while ((at = line.find(needle, at)) != std::string::npos) {
    if (at == 0 || line[at - 1] == ' ') {
      const size_t start = at + needle.size();
      const size_t end = line.find(' ', start);
      return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    at += needle.size();
  }
  return "";
}

// ---------------------------------------------------------------------------------------------

EngineSide::EngineSide(const std::string& hostPort) : fd_(Connect(hostPort)) {}

EngineSide::~EngineSide() { Close(); }

void EngineSide::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void EngineSide::Send(const Bytes& bytes) { SendEverything(fd_, bytes.data(), bytes.size()); }

int EngineSide::RecvSome(uint8_t* buffer, size_t n, int timeoutMs) {
  pollfd entry{fd_, POLLIN, 0};
  const int ready = ::poll(&entry, 1, timeoutMs);
  if (ready == 0) return -1;
  if (ready < 0) return -2;
  const ssize_t got = ::recv(fd_, buffer, n, 0);
  if (got < 0) return -2;
  return static_cast<int>(got);
}

Bytes EngineSide::ReadExact(size_t n, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  Bytes out(n);
  size_t held = 0;
  while (held < n) {
    const int got = RecvSome(out.data() + held, n - held, RemainingMs(deadline));
    if (got == -1) throw Failure("time-out after " + std::to_string(held) + " of " + std::to_string(n) + " bytes");
    if (got == 0) throw Failure("stream ended after " + std::to_string(held) + " of " + std::to_string(n) + " bytes");
    if (got < 0) throw Failure(std::string("receive error: ") + strerror(errno));
    held += static_cast<size_t>(got);
  }
  return out;
}

Bytes EngineSide::ReadMessage(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  Bytes message = ReadExact(4, timeoutMs);
  const uint32_t length = U32(message, 0) & 0xffffff;
  if (length < 4 || length > 4000000) throw Failure("bad header " + ToHex(message));
  const Bytes body = ReadExact(length - 4, RemainingMs(deadline) + 1);
  message.insert(message.end(), body.begin(), body.end());
  return message;
}

Bytes EngineSide::ReadMessageOfType(uint8_t type, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    Bytes message = ReadMessage(RemainingMs(deadline) + 1);
    if (message[3] == type) return message;
    if (Clock::now() > deadline) throw Failure("no message of type " + std::to_string(type));
  }
}

bool EngineSide::QuietFor(int ms) {
  uint8_t byte;
  return RecvSome(&byte, 1, ms) == -1;
}

EngineSide::End EngineSide::WaitEnd(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t buffer[65536];
  while (true) {
    const int got = RecvSome(buffer, sizeof buffer, RemainingMs(deadline));
    if (got == 0) return End::kClosed;
    if (got == -2) return errno == ECONNRESET ? End::kReset : End::kClosed;
    if (got == -1) return End::kStillOpen;
  }
}

// ---------------------------------------------------------------------------------------------

ControlClient::ControlClient(const std::string& hostPort) : fd_(Connect(hostPort)) {}

ControlClient::~ControlClient() {
  if (fd_ >= 0) ::close(fd_);
}

void ControlClient::SendRaw(const std::string& text) {
  SendEverything(fd_, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void ControlClient::SendLine(const std::string& line) { SendRaw(line + "\n"); }

std::string ControlClient::ReadLine(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pending_.find('\n') == std::string::npos) {
    pollfd entry{fd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, RemainingMs(deadline));
    if (ready <= 0) throw Failure("no reply line within " + std::to_string(timeoutMs) + " ms");
    char buffer[65536];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) throw Failure("control channel closed");
    pending_.append(buffer, static_cast<size_t>(got));
  }
  const size_t newline = pending_.find('\n');
  std::string line = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  return line;
}

std::string ControlClient::Command(const std::string& line, int timeoutMs) {
  SendLine(line);
  return ReadLine(timeoutMs);
}

std::vector<std::string> ControlClient::MultiCommand(const std::string& line, int timeoutMs) {
  SendLine(line);
  std::vector<std::string> lines;
  while (true) {
    std::string reply = ReadLine(timeoutMs);
    if (reply == ".") return lines;
    lines.push_back(std::move(reply));
  }
}

bool ControlClient::ClosedWithin(int timeoutMs) {
  pollfd entry{fd_, POLLIN, 0};
  if (::poll(&entry, 1, timeoutMs) <= 0) return false;
  char byte;
  return ::recv(fd_, &byte, 1, 0) == 0;
}

}  // namespace simtest
