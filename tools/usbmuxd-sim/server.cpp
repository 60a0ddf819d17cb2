#include "server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "socket_io.h"
#include "tcp.h"
#include "unix_socket.h"

namespace muxsim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A client that stops in the middle of a message is dropped after this long.
constexpr int kPayloadIdleMs = 5000;
// A client that stops reading holds a send at most this long.
constexpr int kSendTimeoutMs = 5000;
// Where a device's port must answer before the client hears "connection refused".
constexpr int kDeviceConnectMs = 2000;
// Events queued for one listener that does not read; beyond it the listener is dropped.
constexpr size_t kMaxQueuedEvents = 1024;
constexpr size_t kMaxControlConnections = 8;
constexpr size_t kMaxControlLine = 1024;
constexpr size_t kMaxPairRecords = 64;
constexpr size_t kMaxScriptBytes = 1 << 20;
constexpr int kMaxPauseMs = 60000;
constexpr char kBuid[] = "00000000-1111-2222-3333-444455556666";

void Log(bool quiet, const std::string& text) {
  if (!quiet) std::fprintf(stderr, "usbmuxd-sim: %s\n", text.c_str());
}

Plist EventBody(const char* type, uint32_t id) {
  Plist dict(plist_new_dict());
  plist_dict_set_item(dict.get(), "MessageType", plist_new_string(type));
  plist_dict_set_item(dict.get(), "DeviceID", plist_new_uint(id));
  return dict;
}

}  // namespace

struct Server::Connection {
  explicit Connection(simsock::Socket socket, bool isControl) : fd(std::move(socket)), control(isControl) {}

  // Closed only when the last owner lets go, so a cut from another thread never hits a reused
  // descriptor.
  const simsock::Socket fd;
  const bool control;

  std::mutex m;
  std::condition_variable cv;
  simsock::Socket upstream;     // the device's port, once Connected
  uint32_t device = 0;          // whose port that is
  std::deque<std::string> out;  // events for a listener
  bool listening = false;
  bool dropped = false;

  // Ends both streams; the connection's thread sees its reads end and finishes.
  void Cut() {
    std::lock_guard<std::mutex> lock(m);
    dropped = true;
    ::shutdown(fd.Get(), SHUT_RDWR);
    if (upstream.Valid()) ::shutdown(upstream.Get(), SHUT_RDWR);
    cv.notify_all();
  }
};

struct Server::Endpoint {
  enum class Kind { kUnix, kTcp, kControl };
  Kind kind;
  std::string address;  // as given
  std::string bound;    // what clients connect to
  simsock::Socket fd;   // touched by its acceptor thread only, once running
  std::atomic<bool> open{false};
  std::thread thread;
};

Server::Server(ServerOptions options) : options_(std::move(options)) {}

Server::~Server() { Stop(); }

bool Server::Bind(Endpoint* endpoint, std::string* error) {
  if (endpoint->kind == Endpoint::Kind::kUnix) {
    endpoint->fd = simsock::ListenUnix(endpoint->address, error);
    endpoint->bound = endpoint->address;
  } else {
    // Once bound, a restart takes the same port again even when any port was asked for.
    const std::string& where = endpoint->bound.empty() ? endpoint->address : endpoint->bound;
    simsock::Endpoint at;
    if (!simsock::ParseEndpoint(where, &at, error)) return false;
    endpoint->fd = simsock::ListenTcp(at, error);
    if (endpoint->fd.Valid()) endpoint->bound = simsock::EndpointText(simsock::LocalEndpoint(endpoint->fd.Get()));
  }
  endpoint->open = endpoint->fd.Valid();
  return endpoint->fd.Valid();
}

bool Server::Start(std::string* error) {
  auto add = [this](Endpoint::Kind kind, const std::string& address) {
    if (address.empty()) return;
    endpoints_.push_back(std::make_unique<Endpoint>());
    endpoints_.back()->kind = kind;
    endpoints_.back()->address = address;
  };
  add(Endpoint::Kind::kUnix, options_.unixPath);
  add(Endpoint::Kind::kTcp, options_.tcp);
  add(Endpoint::Kind::kControl, options_.control);
  for (auto& endpoint : endpoints_) {
    if (!Bind(endpoint.get(), error)) return false;
  }
  if (!options_.scriptPath.empty()) {
    const std::string result = Reload();
    if (result.compare(0, 2, "ok") != 0) {
      *error = "device script " + options_.scriptPath + ": " + result.substr(6);
      return false;
    }
    watcher_ = std::thread([this] { WatchScript(); });
  }
  for (auto& endpoint : endpoints_) {
    Endpoint* raw = endpoint.get();
    raw->thread = std::thread([this, raw] { AcceptLoop(raw); });
  }
  return true;
}

std::string Server::ReadyLine() const {
  std::string unixPath = "-";
  std::string tcp = "-";
  std::string control = "-";
  for (const auto& endpoint : endpoints_) {
    if (endpoint->kind == Endpoint::Kind::kUnix) unixPath = endpoint->bound;
    if (endpoint->kind == Endpoint::Kind::kTcp) tcp = endpoint->bound;
    if (endpoint->kind == Endpoint::Kind::kControl) control = endpoint->bound;
  }
  return "ready unix=" + unixPath + " tcp=" + tcp + " control=" + control;
}

void Server::Stop() {
  if (stopping_.exchange(true)) return;
  for (auto& endpoint : endpoints_) {
    if (endpoint->thread.joinable()) endpoint->thread.join();
  }
  if (watcher_.joinable()) watcher_.join();
  std::unique_lock<std::mutex> lock(mutex_);
  for (const auto& c : connections_) c->Cut();
  changed_.wait_for(lock, std::chrono::seconds(10), [this] { return connections_.empty(); });
  if (!connections_.empty()) Log(false, "connections still open at exit");
}

void Server::AcceptLoop(Endpoint* endpoint) {
  const bool service = endpoint->kind != Endpoint::Kind::kControl;
  while (!stopping_) {
    bool paused = false;
    if (service) {
      std::lock_guard<std::mutex> lock(mutex_);
      paused = Clock::now() < pausedUntil_;
    }
    if (paused) {
      if (endpoint->fd.Valid()) {
        endpoint->fd.Close();
        // Gone, as the socket of a service that has stopped is gone.
        if (endpoint->kind == Endpoint::Kind::kUnix) ::unlink(endpoint->address.c_str());
        std::lock_guard<std::mutex> lock(mutex_);
        endpoint->open = false;
        changed_.notify_all();
      }
      std::this_thread::sleep_for(milliseconds(10));
      continue;
    }
    if (!endpoint->fd.Valid()) {
      std::string error;
      if (!Bind(endpoint, &error)) {
        Log(false, error);
        std::this_thread::sleep_for(milliseconds(100));
        continue;
      }
      Log(options_.quiet, "listening again on " + endpoint->bound);
    }
    if (!simsock::WaitReadable(endpoint->fd.Get(), 50)) continue;
    simsock::Socket client = simsock::Accept(endpoint->fd.Get());
    if (client.Valid()) Admit(std::move(client), !service);
  }
  if (endpoint->fd.Valid() && endpoint->kind == Endpoint::Kind::kUnix) ::unlink(endpoint->address.c_str());
  endpoint->fd.Close();
}

void Server::Admit(simsock::Socket fd, bool control) {
  std::shared_ptr<Connection> c;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& other : connections_) count += other->control == control ? 1 : 0;
    // Over the bound the connection is closed at once: the client sees the end of the stream.
    if (count >= (control ? kMaxControlConnections : options_.maxConnections)) {
      Log(options_.quiet, "connection refused: too many");
      return;
    }
    c = std::make_shared<Connection>(std::move(fd), control);
    connections_.insert(c);
  }
  simsock::SetSendTimeout(c->fd.Get(), kSendTimeoutMs);
  std::thread([this, c] {
    if (c->control) {
      ServeControl(c);
    } else {
      ServeClient(c);
    }
    Finish(c);
  }).detach();
}

void Server::Finish(const std::shared_ptr<Connection>& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.erase(c);
  changed_.notify_all();
}

void Server::ServeClient(const std::shared_ptr<Connection>& c) {
  const int fd = c->fd.Get();
  for (;;) {
    uint8_t raw[kHeaderSize];
    if (!simsock::ReadExact(fd, raw, sizeof raw, -1)) return;
    const Header header = DecodeHeader(raw);
    // A length that cannot be right leaves nothing to resynchronise on: answer and close.
    if (header.length < kHeaderSize || header.length > kMaxMessageSize) {
      ReplyResult(c, header.tag, kResultBadCommand);
      return;
    }
    std::string payload(header.length - kHeaderSize, '\0');
    if (!simsock::ReadExact(fd, &payload[0], payload.size(), kPayloadIdleMs)) return;
    uint32_t refusal = kResultOk;
    Plist request;
    std::string type;
    if (header.version != kPlistVersion) {
      refusal = kResultBadVersion;
    } else if (header.message != kPlistMessage) {
      refusal = kResultBadCommand;
    } else {
      request = ParseDictionary(payload.data(), payload.size());
      if (!request || !GetString(request.get(), "MessageType", &type)) refusal = kResultBadCommand;
    }
    if (refusal != kResultOk) {
      if (!ReplyResult(c, header.tag, refusal)) return;
      continue;
    }
    switch (Handle(c, header.tag, type, request.get())) {
      case Next::kContinue:
        break;
      case Next::kClose:
        return;
      case Next::kListen:
        ListenLoop(c);
        return;
      case Next::kProxy:
        Proxy(c);
        return;
    }
  }
}

bool Server::Reply(const std::shared_ptr<Connection>& c, uint32_t tag, plist_t body) {
  const ReplyFault fault = fault_.load();
  const std::string bytes = EncodeReply(tag, body, fault);
  return simsock::SendAll(c->fd.Get(), bytes.data(), bytes.size()) && !FaultEndsConnection(fault);
}

bool Server::ReplyResult(const std::shared_ptr<Connection>& c, uint32_t tag, uint32_t number) {
  return Reply(c, tag, ResultBody(number).get());
}

Server::Next Server::Handle(const std::shared_ptr<Connection>& c, uint32_t tag, const std::string& type,
                            plist_t request) {
  auto result = [&](uint32_t number) { return ReplyResult(c, tag, number) ? Next::kContinue : Next::kClose; };
  auto reply = [&](plist_t body) { return Reply(c, tag, body) ? Next::kContinue : Next::kClose; };

  if (type == "Listen") return HandleListen(c, tag);
  if (type == "Connect") return HandleConnect(c, tag, request);
  if (type == "ListDevices") {
    Plist body(plist_new_dict());
    plist_t list = plist_new_array();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& device : devices_) plist_array_append_item(list, device.AttachedRecord().release());
    }
    plist_dict_set_item(body.get(), "DeviceList", list);
    return reply(body.get());
  }
  if (type == "ReadBUID") {
    Plist body(plist_new_dict());
    plist_dict_set_item(body.get(), "BUID", plist_new_string(kBuid));
    return reply(body.get());
  }
  std::string recordId;
  const bool hasRecordId = GetString(request, "PairRecordID", &recordId) && !recordId.empty();
  if (type == "ReadPairRecord") {
    if (!hasRecordId) return result(kResultBadCommand);
    std::string data;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto found = pairRecords_.find(recordId);
      if (found == pairRecords_.end()) return result(kResultBadDevice);
      data = found->second;
    }
    Plist body(plist_new_dict());
    plist_dict_set_item(body.get(), "PairRecordData", plist_new_data(data.data(), data.size()));
    return reply(body.get());
  }
  if (type == "SavePairRecord") {
    std::string data;
    if (!hasRecordId || !GetData(request, "PairRecordData", &data)) return result(kResultBadCommand);
    uint64_t deviceId = 0;
    const bool forDevice = GetUint(request, "DeviceID", &deviceId);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (pairRecords_.count(recordId) == 0 && pairRecords_.size() >= kMaxPairRecords) {
        return result(kResultBadCommand);
      }
      pairRecords_[recordId] = data;
      // A record saved for an attached device pairs it, and listeners hear so.
      if (forDevice && FindLocked(static_cast<uint32_t>(deviceId)) != devices_.end()) {
        BroadcastLocked(EventBody("Paired", static_cast<uint32_t>(deviceId)).get());
      }
    }
    return result(kResultOk);
  }
  if (type == "DeletePairRecord") {
    if (!hasRecordId) return result(kResultBadCommand);
    std::lock_guard<std::mutex> lock(mutex_);
    const bool erased = pairRecords_.erase(recordId) > 0;
    return result(erased ? kResultOk : kResultBadDevice);
  }
  return result(kResultBadCommand);
}

Server::Next Server::HandleListen(const std::shared_ptr<Connection>& c, uint32_t tag) {
  const ReplyFault fault = fault_.load();
  // A hung service: the request is taken, the connection stays open and nothing ever comes.
  if (fault == ReplyFault::kSilent) return Next::kContinue;
  if (fault != ReplyFault::kNone) {
    // A broken Listen result: the client must give up on this connection.
    Reply(c, tag, ResultBody(kResultOk).get());
    return Next::kClose;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::lock_guard<std::mutex> connectionLock(c->m);
  c->listening = true;
  // The devices already there follow the result at once, before any later event.
  c->out.push_back(EncodeMessage(tag, ResultBody(kResultOk).get()));
  for (const auto& device : devices_) c->out.push_back(EncodeMessage(0, device.AttachedRecord().get()));
  c->cv.notify_all();
  return Next::kListen;
}

Server::Next Server::HandleConnect(const std::shared_ptr<Connection>& c, uint32_t tag, plist_t request) {
  if (fault_.load() == ReplyFault::kSilent) return Next::kContinue;  // no answer, no byte stream
  uint64_t id = 0;
  uint64_t portField = 0;
  if (!GetUint(request, "DeviceID", &id) || !GetUint(request, "PortNumber", &portField) || portField > 0xffff) {
    return ReplyResult(c, tag, kResultBadCommand) ? Next::kContinue : Next::kClose;
  }
  // Clients put the port in network byte order into the integer.
  const uint16_t port = ntohs(static_cast<uint16_t>(portField));
  std::string host;
  uint16_t hostPort = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto device = FindLocked(static_cast<uint32_t>(id));
    if (device == devices_.end()) {
      return ReplyResult(c, tag, kResultBadDevice) ? Next::kContinue : Next::kClose;
    }
    const auto mapped = device->ports.find(port);
    if (mapped != device->ports.end()) {
      host = device->host;
      hostPort = mapped->second;
    }
  }
  simsock::Socket upstream;
  std::string error;
  if (hostPort != 0) upstream = simsock::ConnectTcp({host, hostPort}, kDeviceConnectMs, &error);
  if (!upstream.Valid()) {
    Log(options_.quiet, "device " + std::to_string(id) + " port " + std::to_string(port) + " refused");
    return ReplyResult(c, tag, kResultConnectionRefused) ? Next::kContinue : Next::kClose;
  }
  simsock::SetSendTimeout(upstream.Get(), kSendTimeoutMs);
  {
    std::lock_guard<std::mutex> lock(c->m);
    if (c->dropped) return Next::kClose;
    c->upstream = std::move(upstream);
    c->device = static_cast<uint32_t>(id);
  }
  return ReplyResult(c, tag, kResultOk) ? Next::kProxy : Next::kClose;
}

void Server::ListenLoop(const std::shared_ptr<Connection>& c) {
  const int fd = c->fd.Get();
  for (;;) {
    std::deque<std::string> batch;
    {
      std::unique_lock<std::mutex> lock(c->m);
      c->cv.wait_for(lock, milliseconds(100), [&] { return !c->out.empty() || c->dropped; });
      if (c->dropped) return;
      batch.swap(c->out);
    }
    for (const auto& message : batch) {
      if (!simsock::SendAll(fd, message.data(), message.size())) return;
    }
    // A listening client has nothing more to say: readable means it has gone.
    if (simsock::WaitReadable(fd, 0)) {
      char sink[4096];
      const ssize_t got = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
  }
}

void Server::Proxy(const std::shared_ptr<Connection>& c) {
  const int local = c->fd.Get();
  int device = -1;
  {
    std::lock_guard<std::mutex> lock(c->m);
    device = c->upstream.Get();
  }
  bool localOpen = true;
  bool deviceOpen = true;
  char buffer[16384];
  while ((localOpen || deviceOpen) && !stopping_) {
    // A direction that has ended is not polled: its socket stays readable at the end of stream.
    pollfd entries[2] = {{localOpen ? local : -1, POLLIN, 0}, {deviceOpen ? device : -1, POLLIN, 0}};
    if (::poll(entries, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (entries[i].revents == 0) continue;
      const int from = i == 0 ? local : device;
      const int to = i == 0 ? device : local;
      const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return;
      if (got == 0) {
        // Half close passed on: a phone that sends its block and closes is seen to close.
        (i == 0 ? localOpen : deviceOpen) = false;
        ::shutdown(to, SHUT_WR);
        continue;
      }
      if (!simsock::SendAll(to, buffer, static_cast<size_t>(got))) return;
    }
  }
}

std::vector<Device>::iterator Server::FindLocked(uint32_t id) {
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if (it->id == id) return it;
  }
  return devices_.end();
}

void Server::BroadcastLocked(plist_t event) {
  const std::string bytes = EncodeMessage(0, event);
  for (const auto& c : connections_) {
    std::unique_lock<std::mutex> lock(c->m);
    if (!c->listening || c->dropped) continue;
    if (c->out.size() >= kMaxQueuedEvents) {
      lock.unlock();
      Log(options_.quiet, "a listener that does not read is dropped");
      c->Cut();
      continue;
    }
    c->out.push_back(bytes);
    c->cv.notify_all();
  }
}

void Server::AttachLocked(const Device& device) {
  devices_.push_back(device);
  BroadcastLocked(device.AttachedRecord().get());
}

void Server::DetachLocked(uint32_t id) {
  const auto found = FindLocked(id);
  if (found == devices_.end()) return;
  devices_.erase(found);
  BroadcastLocked(EventBody("Detached", id).get());
  // A pulled cable ends every stream to the phone: its clients read the end, as from the service.
  for (const auto& c : connections_) {
    bool proxied = false;
    {
      std::lock_guard<std::mutex> lock(c->m);
      proxied = c->upstream.Valid() && c->device == id;
    }
    if (proxied) c->Cut();
  }
}

std::string Server::Reload() {
  std::string text;
  std::ifstream in(options_.scriptPath, std::ios::binary);
  if (in) {
    text.resize(kMaxScriptBytes + 1);
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxScriptBytes) return "error too large\n";
  }
  // A missing file is a script without devices: unplugging everything by deleting it is allowed.
  std::vector<Device> scripted;
  std::string error;
  if (!ParseDeviceScript(text, &scripted, &error)) return "error " + error + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint32_t> gone;
  for (const auto& device : devices_) {
    bool kept = false;
    for (const auto& next : scripted) kept = kept || next.id == device.id;
    if (device.fromScript && !kept) gone.push_back(device.id);
  }
  for (uint32_t id : gone) DetachLocked(id);
  for (const auto& next : scripted) {
    const auto found = FindLocked(next.id);
    if (found == devices_.end()) {
      AttachLocked(next);
    } else if (found->Describe() != next.Describe()) {
      // Another device under the same ID: clients see one leave and the other come.
      DetachLocked(next.id);
      AttachLocked(next);
    } else {
      found->fromScript = true;
    }
  }
  return "ok " + std::to_string(devices_.size()) + " devices\n";
}

void Server::WatchScript() {
  struct Seen {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator!=(const Seen& o) const {
      return exists != o.exists || inode != o.inode || size != o.size || modified.tv_sec != o.modified.tv_sec ||
             modified.tv_nsec != o.modified.tv_nsec;
    }
  };
  auto look = [this] {
    Seen seen;
    struct stat info;
    if (::stat(options_.scriptPath.c_str(), &info) == 0) {
      seen = Seen{true, info.st_ino, info.st_size, info.st_mtim};
    }
    return seen;
  };
  Seen last = look();
  while (!stopping_) {
    std::this_thread::sleep_for(milliseconds(100));
    const Seen now = look();
    if (!(now != last)) continue;
    last = now;
    const std::string result = Reload();
    if (result.compare(0, 2, "ok") != 0) Log(false, "device script " + options_.scriptPath + ": " + result);
  }
}

void Server::Restart(int pauseMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  pausedUntil_ = Clock::now() + milliseconds(pauseMs);
  // The endpoints close first, so a client that reconnects at once is refused, as by a service
  // that is gone.
  changed_.wait_for(lock, milliseconds(1000), [this] {
    for (const auto& endpoint : endpoints_) {
      if (endpoint->kind != Endpoint::Kind::kControl && endpoint->open) return false;
    }
    return true;
  });
  for (const auto& c : connections_) {
    if (!c->control) c->Cut();
  }
}

std::string Server::Control(const std::string& line) {
  const std::vector<std::string> words = SplitWords(line);
  if (words.empty()) return "error empty command\n";
  const std::string& command = words[0];
  auto idOf = [&](uint32_t* id) {
    if (words.size() != 2) return false;
    char* end = nullptr;
    const unsigned long value = std::strtoul(words[1].c_str(), &end, 0);
    *id = static_cast<uint32_t>(value);
    return *end == '\0' && value > 0 && value <= 0xffffffffu;
  };
  uint32_t id = 0;
  if (command == "attach") {
    Device device;
    std::string error;
    if (!ParseDevice(std::vector<std::string>(words.begin() + 1, words.end()), &device, &error)) {
      return "error " + error + "\n";
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (FindLocked(device.id) != devices_.end()) return "error device " + std::to_string(device.id) + " is attached\n";
    AttachLocked(device);
    return "ok\n";
  }
  if (command == "detach" || command == "pair") {
    if (!idOf(&id)) return "error usage: " + command + " ID\n";
    std::lock_guard<std::mutex> lock(mutex_);
    if (FindLocked(id) == devices_.end()) return "error no device " + std::to_string(id) + "\n";
    if (command == "detach") {
      DetachLocked(id);
    } else {
      BroadcastLocked(EventBody("Paired", id).get());
    }
    return "ok\n";
  }
  if (command == "list" && words.size() == 1) {
    std::string out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& device : devices_) out += device.Describe() + "\n";
    return out + ".\n";
  }
  if (command == "status" && words.size() == 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t clients = 0;
    size_t listeners = 0;
    for (const auto& c : connections_) {
      if (c->control) continue;
      ++clients;
      std::lock_guard<std::mutex> connectionLock(c->m);
      listeners += c->listening && !c->dropped ? 1 : 0;
    }
    return "ok clients=" + std::to_string(clients) + " listeners=" + std::to_string(listeners) +
           " malformed=" + ReplyFaultName(fault_.load()) + "\n";
  }
  if (command == "reload" && words.size() == 1) {
    if (options_.scriptPath.empty()) return "error no device script\n";
    return Reload();
  }
  if (command == "restart" && words.size() == 2) {
    char* end = nullptr;
    const long ms = std::strtol(words[1].c_str(), &end, 10);
    if (*end != '\0' || ms < 0 || ms > kMaxPauseMs) return "error usage: restart MS (0-60000)\n";
    Restart(static_cast<int>(ms));
    return "ok\n";
  }
  if (command == "malformed" && words.size() == 2) {
    ReplyFault fault = ReplyFault::kNone;
    if (!ParseReplyFault(words[1], &fault)) {
      return "error modes: off truncated tiny-length bad-plist unknown-type no-number\n";
    }
    fault_ = fault;
    return "ok\n";
  }
  return "error unknown command: " + line + "\n";
}

void Server::ServeControl(const std::shared_ptr<Connection>& c) {
  const int fd = c->fd.Get();
  std::string pending;
  for (;;) {
    const size_t newline = pending.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      const std::string reply = Control(line);
      if (!simsock::SendAll(fd, reply.data(), reply.size())) return;
      continue;
    }
    if (pending.size() > kMaxControlLine) {
      const std::string reply = "error line too long\n";
      simsock::SendAll(fd, reply.data(), reply.size());
      return;
    }
    char buffer[512];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    pending.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace muxsim
