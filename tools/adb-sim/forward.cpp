#include "forward.h"

#include <utility>

#include "device_script.h"
#include "proxy.h"
#include "socket_io.h"
#include "tcp.h"

namespace adbsim {

namespace {
using simsock::Socket;
constexpr int kPollMs = 200;
constexpr int kDeviceConnectMs = 2000;
}  // namespace

Forward::Forward(Socket listener, std::string serial, uint16_t devicePort, std::atomic<int>* connections)
    : listener_(std::move(listener)), connections_(connections), serial_(std::move(serial)), devicePort_(devicePort) {
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

Forward::~Forward() { Stop(); }

void Forward::Retarget(const std::string& serial, uint16_t devicePort) {
  std::lock_guard<std::mutex> lock(mutex_);
  serial_ = serial;
  devicePort_ = devicePort;
}

void Forward::Target(std::string* serial, uint16_t* devicePort) const {
  std::lock_guard<std::mutex> lock(mutex_);
  *serial = serial_;
  *devicePort = devicePort_;
}

void Forward::Stop() {
  stop_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  listener_.Close();
}

void Forward::AcceptLoop() {
  while (!stop_.load()) {
    ReapFinished();
    if (!simsock::WaitReadable(listener_.Get(), kPollMs)) continue;
    Socket local = simsock::Accept(listener_.Get());
    if (!local.Valid()) continue;
    if (connections_->fetch_add(1) >= kMaxConnections) {
      connections_->fetch_sub(1);
      continue;  // closed unanswered, as a bridge with no room would
    }
    active_.push_back(std::make_unique<Connection>());
    Connection* connection = active_.back().get();
    connection->thread =
        std::thread([this, connection](Socket socket) { Serve(std::move(socket), connection); }, std::move(local));
  }
  for (auto& connection : active_) connection->thread.join();
  active_.clear();
}

void Forward::Serve(Socket local, Connection* connection) {
  std::string serial;
  uint16_t devicePort = 0;
  Target(&serial, &devicePort);
  DeviceScript script;
  std::string error;
  if (LoadDeviceScript(&script, &error)) {
    const ScriptDevice* device = script.Find(serial);
    if (device != nullptr && device->state == "device") {
      Socket remote = simsock::ConnectTcp({device->host, device->PortAtHost(devicePort)}, kDeviceConnectMs, &error);
      // A device whose port does not answer: the local connection is accepted and then closed.
      if (remote.Valid()) ProxyBothWays(local.Get(), remote.Get(), stop_);
    }
  }
  local.Close();
  connections_->fetch_sub(1);
  connection->done = true;
}

void Forward::ReapFinished() {
  for (auto it = active_.begin(); it != active_.end();) {
    if ((*it)->done.load()) {
      (*it)->thread.join();
      it = active_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace adbsim
