#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "sim_socket.h"
#include "wire.h"

namespace muxsim {

struct ServerOptions {
  std::string unixPath;    // the service's unix socket ("" = none)
  std::string tcp;         // the service on "ADDR:PORT" ("" = none; port 0 = any)
  std::string control;     // the control channel on "ADDR:PORT" ("" = none)
  std::string scriptPath;  // the device script ("" = none)
  size_t maxConnections = 64;
  bool quiet = false;
};

// The multiplexing service. Threads: one acceptor per endpoint, one per client connection (at
// most maxConnections service and 8 control connections; a connection that Connects becomes its
// proxy thread), and one watcher of the device script. The main thread only starts and stops it.
//
// Lock order: mutex_ before any Connection::m. Events are queued to listeners under mutex_, so
// every listener sees attach and detach in the order they happened.
class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds every endpoint and reads the script; the ready line is true after it.
  bool Start(std::string* error);
  std::string ReadyLine() const;
  // Ends every thread and connection; the unix socket file is removed.
  void Stop();

  // One control command; its reply, each line ending in "\n".
  std::string Control(const std::string& line);

 private:
  struct Connection;
  struct Endpoint;

  void AcceptLoop(Endpoint* endpoint);
  bool Bind(Endpoint* endpoint, std::string* error);
  void Admit(simsock::Socket fd, bool control);
  void ServeClient(const std::shared_ptr<Connection>& c);
  void ServeControl(const std::shared_ptr<Connection>& c);
  void Finish(const std::shared_ptr<Connection>& c);

  enum class Next { kContinue, kClose, kListen, kProxy };
  Next Handle(const std::shared_ptr<Connection>& c, uint32_t tag, const std::string& type, plist_t request);
  Next HandleConnect(const std::shared_ptr<Connection>& c, uint32_t tag, plist_t request);
  Next HandleListen(const std::shared_ptr<Connection>& c, uint32_t tag);
  // False when the connection is to close (a send failed, or the fault broke the stream).
  bool Reply(const std::shared_ptr<Connection>& c, uint32_t tag, plist_t body);
  bool ReplyResult(const std::shared_ptr<Connection>& c, uint32_t tag, uint32_t number);
  void ListenLoop(const std::shared_ptr<Connection>& c);
  void Proxy(const std::shared_ptr<Connection>& c);

  // Under mutex_.
  void BroadcastLocked(plist_t event);
  void AttachLocked(const Device& device);
  void DetachLocked(uint32_t id);
  std::vector<Device>::iterator FindLocked(uint32_t id);

  void WatchScript();
  std::string Reload();
  void Restart(int pauseMs);

  const ServerOptions options_;
  std::vector<std::unique_ptr<Endpoint>> endpoints_;
  std::thread watcher_;
  std::atomic<bool> stopping_{false};
  std::atomic<ReplyFault> fault_{ReplyFault::kNone};

  std::mutex mutex_;
  std::condition_variable changed_;  // a connection ended, or an endpoint closed for a restart
  std::vector<Device> devices_;
  std::map<std::string, std::string> pairRecords_;
  std::set<std::shared_ptr<Connection>> connections_;
  std::chrono::steady_clock::time_point pausedUntil_{};
};

}  // namespace muxsim
