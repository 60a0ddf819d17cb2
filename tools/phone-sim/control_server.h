#pragma once
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tcp.h"

namespace phonesim {

class Simulator;

// The line-based control channel: one thread accepts, one thread per client reads command
// lines (at most 64 KiB each) and writes each reply before reading the next command.
// At most 16 clients at once; more are told `err too many control clients` and closed.
class ControlServer {
 public:
  static constexpr size_t kMaxLine = 64 * 1024;
  static constexpr size_t kMaxClients = 16;

  explicit ControlServer(Simulator& sim) : sim_(sim) {}
  ~ControlServer();
  bool Listen(const simsock::Endpoint& endpoint, std::string* error);
  std::string Address() const;
  void Start();
  void Stop();

 private:
  struct Client {
    simsock::Socket socket;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void AcceptLoop();
  void Serve(Client& client);
  void ReapClients(bool all);

  Simulator& sim_;
  simsock::Socket listenSocket_;
  std::atomic<bool> stop_{false};
  std::thread acceptThread_;
  std::mutex clientsMutex_;
  std::list<std::unique_ptr<Client>> clients_;
};

}  // namespace phonesim
