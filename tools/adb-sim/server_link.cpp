#include "server_link.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "detached_process.h"
#include "socket_io.h"
#include "tcp.h"

namespace adbsim {

namespace {
constexpr int kConnectMs = 1000;
constexpr int kReplyMs = 10000;
constexpr size_t kMaxReply = 64 * 1024;
constexpr int kStartWaitMs = 5000;
}  // namespace

uint16_t ServerPort() {
  const char* text = std::getenv(kPortVariable);
  if (text == nullptr || *text == '\0') return kDefaultServerPort;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 65535) return kDefaultServerPort;
  return static_cast<uint16_t>(value);
}

bool AskServer(uint16_t port, const std::string& request, std::string* reply) {
  std::string error;
  const simsock::Socket socket = simsock::ConnectTcp({"127.0.0.1", port}, kConnectMs, &error);
  if (!socket.Valid()) return false;
  const std::string line = request + "\n";
  simsock::SetSendTimeout(socket.Get(), kReplyMs);
  return simsock::SendAll(socket.Get(), line.data(), line.size()) &&
         simsock::ReadToEnd(socket.Get(), kReplyMs, kMaxReply, reply);
}

bool EnsureServer(uint16_t port, std::string* notes) {
  std::string reply;
  if (AskServer(port, "ping", &reply)) return true;
  const std::string where = "tcp:" + std::to_string(port);
  *notes += "* daemon not running; starting now at " + where + "\n";
  std::string error;
  if (!StartDetachedSelf({"--server", std::to_string(port)}, &error)) {
    *notes += "* failed to start daemon: " + error + "\n";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (AskServer(port, "ping", &reply)) {
      *notes += "* daemon started successfully\n";
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  *notes += "* failed to start daemon\n";
  return false;
}

}  // namespace adbsim
