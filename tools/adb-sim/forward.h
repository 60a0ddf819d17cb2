#pragma once
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim_socket.h"

namespace adbsim {

// One forward: 127.0.0.1:local reaches the device's port. Each accepted connection is proxied on
// a thread of its own to where the device script says the device is, looked up at that moment, so
// a device unplugged from the script is no longer reached. Runs on: its accept thread and one
// thread per proxied connection, all joined by Stop(). Owned by the ForwardTable.
class Forward {
 public:
  Forward(simsock::Socket listener, std::string serial, uint16_t devicePort, std::atomic<int>* connections);
  ~Forward();
  Forward(const Forward&) = delete;
  Forward& operator=(const Forward&) = delete;

  // Same local port again: later connections go to the new target (connections already made stay).
  void Retarget(const std::string& serial, uint16_t devicePort);
  void Target(std::string* serial, uint16_t* devicePort) const;
  // Closes the listener, ends every proxied connection and joins their threads.
  void Stop();

  // Proxied connections at once, over all forwards: a peer that opens connections without end
  // meets closed ones instead of a growing number of threads.
  static constexpr int kMaxConnections = 64;

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop();
  void Serve(simsock::Socket local, Connection* connection);
  void ReapFinished();

  simsock::Socket listener_;
  std::atomic<int>* connections_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // the target; a leaf
  std::string serial_;
  uint16_t devicePort_;
  std::list<std::unique_ptr<Connection>> active_;  // accept thread only
  std::thread acceptThread_;
};

}  // namespace adbsim
