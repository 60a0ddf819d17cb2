#include "server.h"

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "forward_table.h"
#include "socket_io.h"
#include "tcp.h"

namespace adbsim {

namespace {

constexpr int kRequestMs = 2000;
constexpr size_t kMaxRequest = 1024;

bool ParsePort(const std::string& text, uint16_t* port) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 1 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// One request; false when the server is to stop.
bool Handle(const std::string& request, ForwardTable* forwards, std::string* reply) {
  std::istringstream in(request);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  if (words.empty()) {
    *reply = "FAIL empty request\n";
  } else if (words[0] == "ping" && words.size() == 1) {
    *reply = "OKAY\n";
  } else if (words[0] == "kill" && words.size() == 1) {
    *reply = "OKAY\n";
    return false;
  } else if (words[0] == "list-forward" && words.size() == 1) {
    *reply = "OKAY\n";
    for (const auto& line : forwards->List()) *reply += line + "\n";
  } else if (words[0] == "forward" && words.size() == 4) {
    uint16_t local = 0;
    uint16_t device = 0;
    std::string error;
    if (!ParsePort(words[2], &local) || !ParsePort(words[3], &device)) {
      *reply = "FAIL bad port\n";
    } else if (!forwards->Add(local, words[1], device, &error)) {
      *reply = "FAIL " + error + "\n";
    } else {
      *reply = "OKAY\n";
    }
  } else {
    *reply = "FAIL unknown request\n";
  }
  return true;
}

}  // namespace

int RunServer(uint16_t port) {
  if (!simsock::StartNetwork()) return 1;
  std::string error;
  simsock::Socket control = simsock::ListenTcp({"127.0.0.1", port}, &error);
  // Another server won the race to the port: the commands talk to that one.
  if (!control.Valid()) return 1;
  ForwardTable forwards;
  bool running = true;
  while (running) {
    if (!simsock::WaitReadable(control.Get(), 1000)) continue;
    simsock::Socket client = simsock::Accept(control.Get());
    if (!client.Valid()) continue;
    std::string request;
    std::string reply = "FAIL no request\n";
    if (simsock::ReadLine(client.Get(), kRequestMs, kMaxRequest, &request))
      running = Handle(request, &forwards, &reply);
    if (!running) {
      // Everything is gone before the answer: once "kill-server" returns, the control port and
      // every forwarded port are free, and a new server can start at once.
      control.Close();
      forwards.StopAll();
    }
    simsock::SetSendTimeout(client.Get(), kRequestMs);
    simsock::SendAll(client.Get(), reply.data(), reply.size());
  }
  return 0;
}

}  // namespace adbsim
