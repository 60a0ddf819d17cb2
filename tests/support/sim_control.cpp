#include "sim_control.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
using Native = SOCKET;
void CloseNative(long long handle) { closesocket(static_cast<SOCKET>(handle)); }
int PollReadable(long long handle, int timeoutMs) {
  WSAPOLLFD entry{};
  entry.fd = static_cast<SOCKET>(handle);
  entry.events = POLLRDNORM;
  return WSAPoll(&entry, 1, timeoutMs);
}
#else
using Native = int;
void CloseNative(long long handle) { close(static_cast<int>(handle)); }
int PollReadable(long long handle, int timeoutMs) {
  pollfd entry{static_cast<int>(handle), POLLIN, 0};
  return poll(&entry, 1, timeoutMs);
}
#endif

}  // namespace

SimControl::SimControl(const std::string& address) {
#if defined(_WIN32)
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#endif
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(std::atoi(address.c_str() + colon + 1)));
  if (inet_pton(AF_INET, address.substr(0, colon).c_str(), &peer.sin_addr) != 1) return;
  const Native s = socket(AF_INET, SOCK_STREAM, 0);
#if defined(_WIN32)
  if (s == INVALID_SOCKET) return;
#else
  if (s < 0) return;
#endif
  if (connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    CloseNative(static_cast<long long>(s));
    return;
  }
  handle_ = static_cast<long long>(s);
}

SimControl::~SimControl() {
  if (handle_ != -1) CloseNative(handle_);
}

std::string SimControl::ReadLine(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || PollReadable(handle_, static_cast<int>(left)) <= 0) return "";
    char buffer[4096];
    const int received = static_cast<int>(recv(static_cast<Native>(handle_), buffer, sizeof buffer, 0));
    if (received <= 0) return "";
    pending_.append(buffer, static_cast<size_t>(received));
  }
}

std::string SimControl::Command(const std::string& command, int timeoutMs) {
  if (handle_ == -1) return "";
  const std::string line = command + "\n";
  if (send(static_cast<Native>(handle_), line.data(), static_cast<int>(line.size()), 0) !=
      static_cast<int>(line.size()))
    return "";
  return ReadLine(timeoutMs);
}

std::vector<std::string> SimControl::ListCommand(const std::string& command, int timeoutMs) {
  std::vector<std::string> lines;
  std::string line = Command(command, timeoutMs);
  while (!line.empty() && line != ".") {
    lines.push_back(line);
    line = ReadLine(timeoutMs);
  }
  return lines;
}

std::string SimControl::Field(const std::string& reply, const std::string& key) {
  const std::string marker = key + "=";
  size_t at = reply.find(marker);
  while (at != std::string::npos && at > 0 && reply[at - 1] != ' ') at = reply.find(marker, at + 1);
  if (at == std::string::npos) return "";
  const size_t start = at + marker.size();
  return reply.substr(start, reply.find(' ', start) - start);
}
