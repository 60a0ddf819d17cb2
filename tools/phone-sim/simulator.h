#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "announcer.h"
#include "config.h"
#include "recorder.h"
#include "run_tally.h"
#include "session.h"
#include "tcp.h"

namespace phonesim {

class ControlServer;

struct SimOptions {
  simsock::Endpoint listen;
  bool control = false;
  simsock::Endpoint controlEndpoint;
  bool probe = false;
  simsock::Endpoint probeEndpoint;
  PhoneConfig phone;
  AnnounceOptions announce;
  std::string scriptPath;
  bool scriptKeepGoing = false;
  bool once = false;
  int sessionLimit = 0;  // exit after this many sessions ended; 0 = no limit
  int exitAfterMs = 0;   // exit after this long; 0 = no limit
  std::string readyFile;
  std::string summaryFile;  // the end-of-run summary goes there; empty = none
};

// The simulated phone: the session port (one connection at a time; another one waits up to a
// second for the live one to end and is closed unanswered if it does not), the optional probe
// port, the announcements, the control channel and the script.
// Threads: Run's caller is the main thread (accepting, reaping ended sessions, signals);
// every other thread reaches it through the public operations, which are thread-safe.
class Simulator {
 public:
  explicit Simulator(SimOptions options);
  ~Simulator();

  // Binds everything; false (with the reason) when something cannot be set up.
  bool Setup(std::string* error);
  // Serves until a signal, a shutdown command or an exit condition; returns the exit code.
  int Run(int signalFd);
  void RequestStop(int exitCode);
  bool Stopping() const { return stopping_; }

  std::shared_ptr<Session> Current();
  PhoneConfig Config();
  void UpdateConfig(const std::function<void(PhoneConfig&)>& change);
  Recorder& GetRecorder() { return recorder_; }
  Announcer& GetAnnouncer() { return announcer_; }
  // The figures of the run so far, one "key value" line each (README.md, "Summary").
  std::vector<std::string> SummaryLines();
  uint64_t SessionCount();
  uint64_t RejectedCount();
  uint64_t EndedCount();

  // Waits until `ready` holds (checked on every state change) or the time is up or the
  // simulator stops.
  bool WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout);
  void NotifyChanged();

  // Closes the session port (connections are refused, announcements go on) or opens it again on
  // the same address; returns once the main thread has done it.
  bool SetRefusing(bool refusing, std::string* error);

  std::string SessionAddress() const { return sessionAddress_; }
  std::string ControlAddress() const { return controlAddress_; }

 private:
  void JoinEverything();
  void AcceptSession();
  bool CurrentLive();
  void AnswerProbe();
  void ReapEnded();
  void ApplyRefusing();
  void RunScript();
  bool WriteSummary();

  SimOptions options_;
  Recorder recorder_;
  RunTally tally_;
  Announcer announcer_;
  simsock::Socket listenSocket_;   // closed while refusing; main thread only
  simsock::Endpoint boundListen_;  // where it listens, its port chosen
  std::atomic<bool> refuseWanted_{false};
  std::atomic<bool> refusing_{false};
  simsock::Socket probeSocket_;
  std::unique_ptr<ControlServer> control_;
  std::string sessionAddress_;
  std::string controlAddress_;
  std::thread scriptThread_;

  std::mutex mutex_;
  std::condition_variable changed_;
  PhoneConfig config_;
  std::shared_ptr<Session> current_;  // the live session, or the last one after it ended
  bool reaped_ = false;               // current_ has ended and been joined
  uint32_t sessions_ = 0;
  uint64_t rejected_ = 0;
  uint64_t ended_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> exitCode_{0};
};

}  // namespace phonesim
