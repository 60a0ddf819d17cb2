#include "simulator.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "commands.h"
#include "control_server.h"
#include "log.h"
#include "socket_io.h"

namespace phonesim {

Simulator::Simulator(SimOptions options) : options_(std::move(options)), config_(options_.phone) {}

Simulator::~Simulator() {
  RequestStop(exitCode_);
  JoinEverything();
}

// No new work, then every thread joined. Safe to run twice.
void Simulator::JoinEverything() {
  if (scriptThread_.joinable()) scriptThread_.join();
  if (control_) control_->Stop();
  announcer_.Stop();
  std::shared_ptr<Session> session;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    session = std::move(current_);
  }
  if (session) session->Join();
}

bool Simulator::Setup(std::string* error) {
  listenSocket_ = simsock::ListenTcp(options_.listen, error);
  if (!listenSocket_.Valid()) return false;
  boundListen_ = simsock::LocalEndpoint(listenSocket_.Get());
  sessionAddress_ = simsock::EndpointText(boundListen_);
  if (options_.probe) {
    probeSocket_ = simsock::ListenTcp(options_.probeEndpoint, error);
    if (!probeSocket_.Valid()) return false;
  }
  if (options_.control) {
    control_ = std::make_unique<ControlServer>(*this);
    if (!control_->Listen(options_.controlEndpoint, error)) return false;
    controlAddress_ = control_->Address();
  }
  if (!options_.announce.interface.empty() && !announcer_.Open(options_.announce, error)) return false;
  return true;
}

void Simulator::RequestStop(int exitCode) {
  if (!stopping_.exchange(true)) exitCode_ = exitCode;
  recorder_.Shutdown();
  NotifyChanged();
}

void Simulator::NotifyChanged() {
  { std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

bool Simulator::WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    // `ready` takes this lock itself (through Current), so it is checked unlocked.
    lock.unlock();
    const bool done = ready();
    lock.lock();
    if (done) return true;
    if (stopping_ || std::chrono::steady_clock::now() >= deadline) return false;
    // Short slices: a change between the check and the wait is seen at the next slice.
    changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
  }
}

std::shared_ptr<Session> Simulator::Current() {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

PhoneConfig Simulator::Config() {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

void Simulator::UpdateConfig(const std::function<void(PhoneConfig&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(config_);
}

uint64_t Simulator::SessionCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_;
}

uint64_t Simulator::RejectedCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return rejected_;
}

uint64_t Simulator::EndedCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

std::vector<std::string> Simulator::SummaryLines() {
  std::vector<std::string> lines = {
      "sessions " + std::to_string(SessionCount()),
      "rejected " + std::to_string(RejectedCount()),
      "announcements " + std::to_string(announcer_.Sent()),
  };
  for (std::string& line : tally_.Lines()) lines.push_back(std::move(line));
  return lines;
}

// Whole or not at all: a reader never sees half a summary.
bool Simulator::WriteSummary() {
  const std::string temp = options_.summaryFile + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const std::string& line : SummaryLines()) out << line << '\n';
    out.flush();
    if (!out) {
      LogError("cannot write the summary to " + temp);
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), options_.summaryFile.c_str()) != 0) {
    LogError("cannot write the summary to " + options_.summaryFile + ": " + strerror(errno));
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

void Simulator::AcceptSession() {
  simsock::Socket socket = simsock::Accept(listenSocket_.Get());
  if (!socket.Valid()) return;
  ReapEnded();
  if (stopping_) return;              // the session just reaped was the last one asked for
  std::shared_ptr<Session> previous;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_ && !reaped_) {
    ++rejected_;
    LogInfo("second connection refused while session " + std::to_string(current_->Number()) + " is live");
    return;  // closing the socket is the refusal
  }
  previous = std::move(current_);
  const uint32_t number = ++sessions_;
  reaped_ = false;
  current_ =
      std::make_shared<Session>(std::move(socket), number, config_, recorder_, tally_, [this] { NotifyChanged(); });
  LogInfo("session " + std::to_string(number) + " from " + current_->PeerText());
  current_->Start();
  changed_.notify_all();
}

bool Simulator::CurrentLive() {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_ && !current_->Ended();
}

void Simulator::AnswerProbe() {
  simsock::Socket socket = simsock::Accept(probeSocket_.Get());
  if (!socket.Valid()) return;
  timeval timeout{1, 0};
  ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const std::vector<uint8_t> block = wire::Announcement(Config().identity);
  simsock::SendAll(socket.Get(), block.data(), block.size());
}

void Simulator::ReapEnded() {
  std::shared_ptr<Session> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_ || !current_->Ended() || reaped_) return;
    finished = current_;
    reaped_ = true;
    ++ended_;
  }
  // The ended session stays current (for `state`) until the next one replaces it.
  finished->Join();
  changed_.notify_all();
  if (options_.once || (options_.sessionLimit > 0 && EndedCount() >= static_cast<uint64_t>(options_.sessionLimit))) {
    LogInfo("session limit reached");
    RequestStop(0);
  }
}

bool Simulator::SetRefusing(bool refusing, std::string* error) {
  refuseWanted_ = refusing;
  if (WaitUntil([&] { return refusing_ == refusing; }, std::chrono::seconds(5))) return true;
  *error = refusing ? "the session port did not close" : "the session port did not open again (see the log)";
  return false;
}

void Simulator::ApplyRefusing() {
  if (refuseWanted_) {
    listenSocket_.Close();
  } else if (!listenSocket_.Valid()) {
    std::string error;
    listenSocket_ = simsock::ListenTcp(boundListen_, &error);
    if (!listenSocket_.Valid()) LogError("session port: " + error);
  }
  refusing_ = !listenSocket_.Valid();
  LogInfo(refusing_ ? "session port closed" : "session port open");
  NotifyChanged();
}

void Simulator::RunScript() {
  std::ifstream in(options_.scriptPath);
  if (!in) {
    LogError("cannot read script " + options_.scriptPath);
    RequestStop(2);
    return;
  }
  std::string line;
  int lineNumber = 0;
  while (!stopping_ && std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const Reply reply = Execute(*this, line);
    std::string out = "> " + line + "\n";
    for (const std::string& replyLine : ReplyLines(reply)) out += replyLine + "\n";
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    if (reply.failed && !options_.scriptKeepGoing) {
      LogError("script line " + std::to_string(lineNumber) + " failed: " + line);
      RequestStop(1);
      return;
    }
  }
}

int Simulator::Run(int signalFd) {
  if (control_) control_->Start();
  announcer_.Start([this] { return wire::Announcement(Config().identity); });

  const std::string probeAddress =
      probeSocket_.Valid() ? simsock::EndpointText(simsock::LocalEndpoint(probeSocket_.Get())) : "-";
  char ready[512];
  std::snprintf(ready, sizeof ready, "ready session=%s control=%s probe=%s\n", sessionAddress_.c_str(),
                controlAddress_.empty() ? "-" : controlAddress_.c_str(), probeAddress.c_str());
  std::fputs(ready, stdout);
  std::fflush(stdout);
  if (!options_.readyFile.empty()) {
    const std::string temp = options_.readyFile + ".tmp";
    std::ofstream(temp) << ready;
    std::rename(temp.c_str(), options_.readyFile.c_str());
  }
  if (!options_.scriptPath.empty()) scriptThread_ = std::thread([this] { RunScript(); });

  const auto started = std::chrono::steady_clock::now();
  // A connection that arrives while a session is live waits up to a second before it is
  // refused: an engine that reconnects after a drop is often faster than the old session's end.
  bool holding = false;
  std::chrono::steady_clock::time_point holdingSince;
  while (!stopping_) {
    if (refuseWanted_ != refusing_) {
      ApplyRefusing();
      if (refusing_) holding = false;
    }
    pollfd entries[3];
    nfds_t count = 0;
    const bool listening = !holding && listenSocket_.Valid();
    const int listenIndex = listening ? static_cast<int>(count) : -1;
    if (listening) entries[count++] = {listenSocket_.Get(), POLLIN, 0};
    const int signalIndex = signalFd >= 0 ? static_cast<int>(count) : -1;
    if (signalFd >= 0) entries[count++] = {signalFd, POLLIN, 0};
    const int probeIndex = probeSocket_.Valid() ? static_cast<int>(count) : -1;
    if (probeSocket_.Valid()) entries[count++] = {probeSocket_.Get(), POLLIN, 0};
    const int ready = ::poll(entries, count, holding ? 20 : 100);
    if (ready < 0 && errno != EINTR) {
      LogError(std::string("poll: ") + strerror(errno));
      RequestStop(1);
      break;
    }
    if (ready > 0) {
      if (signalIndex >= 0 && (entries[signalIndex].revents & POLLIN)) {
        signalfd_siginfo info{};
        if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          LogInfo(std::string("signal ") + strsignal(static_cast<int>(info.ssi_signo)) + ", stopping");
        }
        RequestStop(0);
        break;
      }
      if (listenIndex >= 0 && (entries[listenIndex].revents & POLLIN)) {
        if (CurrentLive()) {
          holding = true;
          holdingSince = std::chrono::steady_clock::now();
        } else {
          AcceptSession();
        }
      }
      if (probeIndex >= 0 && (entries[probeIndex].revents & POLLIN)) AnswerProbe();
    }
    ReapEnded();
    if (holding && (!CurrentLive() || std::chrono::steady_clock::now() - holdingSince >= std::chrono::seconds(1))) {
      holding = false;
      AcceptSession();  // refuses it if the session is still live
    }
    if (options_.exitAfterMs > 0 &&
        std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(options_.exitAfterMs)) {
      LogInfo("time limit reached");
      RequestStop(0);
    }
  }

  JoinEverything();
  // Written once every session has ended, so the figures are final. A run whose summary is lost
  // must not look like a clean one to whoever reads it.
  if (!options_.summaryFile.empty() && !WriteSummary() && exitCode_ == 0) exitCode_ = 1;
  return exitCode_;
}

}  // namespace phonesim
