#include "control_server.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "commands.h"
#include "log.h"
#include "simulator.h"
#include "socket_io.h"

namespace phonesim {
namespace {

bool WriteLines(int fd, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return simsock::SendAll(fd, text.data(), text.size());
}

}  // namespace

ControlServer::~ControlServer() { Stop(); }

bool ControlServer::Listen(const simsock::Endpoint& endpoint, std::string* error) {
  listenSocket_ = simsock::ListenTcp(endpoint, error);
  return listenSocket_.Valid();
}

std::string ControlServer::Address() const {
  return simsock::EndpointText(simsock::LocalEndpoint(listenSocket_.Get()));
}

void ControlServer::Start() {
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void ControlServer::Stop() {
  stop_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  ReapClients(true);
}

void ControlServer::AcceptLoop() {
  while (!stop_) {
    pollfd entry{listenSocket_.Get(), POLLIN, 0};
    const int ready = ::poll(&entry, 1, 100);
    ReapClients(false);
    if (ready <= 0) continue;
    simsock::Socket socket = simsock::Accept(listenSocket_.Get());
    if (!socket.Valid()) continue;
    std::lock_guard<std::mutex> lock(clientsMutex_);
    if (clients_.size() >= kMaxClients) {
      WriteLines(socket.Get(), {"err too many control clients"});
      continue;
    }
    auto client = std::make_unique<Client>();
    client->socket = std::move(socket);
    Client* raw = client.get();
    clients_.push_back(std::move(client));
    raw->thread = std::thread([this, raw] {
      Serve(*raw);
      raw->done = true;
    });
  }
}

void ControlServer::ReapClients(bool all) {
  std::list<std::unique_ptr<Client>> finished;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      if (all || (*it)->done) {
        // Wakes a client blocked in a read; one in a wait command notices the stop flag.
        if (all) ::shutdown((*it)->socket.Get(), SHUT_RDWR);
        finished.push_back(std::move(*it));
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& client : finished) {
    if (client->thread.joinable()) client->thread.join();
  }
}

void ControlServer::Serve(Client& client) {
  const int fd = client.socket.Get();
  std::string pending;
  bool discarding = false;  // inside an over-long line, until its newline
  char buffer[4096];
  while (!stop_) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, 100);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    for (ssize_t i = 0; i < got; ++i) {
      const char c = buffer[i];
      if (c != '\n') {
        if (discarding) continue;
        pending.push_back(c);
        if (pending.size() > kMaxLine) {
          pending.clear();
          discarding = true;
          if (!WriteLines(fd, {"err line too long (limit 65536 bytes)"})) return;
        }
        continue;
      }
      if (discarding) {
        discarding = false;
        continue;
      }
      std::string line;
      line.swap(pending);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      const Reply reply = Execute(sim_, line);
      if (!WriteLines(fd, ReplyLines(reply))) return;
      if (reply.closeClient) return;
    }
  }
}

}  // namespace phonesim
