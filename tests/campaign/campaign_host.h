#pragma once
// The campaign's host: the engine loaded as a host loads it (natively linked in with the simulated
// drivers, under Windows engine-simdrivers.dll), four cameras, and what each camera told the host.
// It calls the exports from its own threads and from inside every kind of callback, and it checks
// what a host can check on the spot: every export returns within its bound (a watch thread), and
// nothing comes from a camera after its EUninitialize returned on a host thread.
// The engine's callbacks carry no context: one CampaignHost per process.
// Thread: Load, Open, Close on main; Call* from any host thread or callback; the callbacks on engine
// threads; news under one mutex.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine_library.h"
#include "wait_until.h"

namespace kavex::simdrivers {
class ScopedSimulatedDrivers;
}

namespace campaign {

using testkit::Clock;
constexpr int kCameras = 4;

// How long an export may take before the campaign calls it hung. A callback's EUninitialize does
// not wait; a host thread's waits for the camera's threads (and, for camera 0, for the bridge's
// server to be stopped), and EOpen scans the devices and starts the threads.
constexpr int kCallBoundMs = 2000;
constexpr int kOpenBoundMs = 5000;
constexpr int kTeardownBoundMs = 10000;
constexpr int kPreviewBoundMs = 5000;

struct CameraNews {
  int openResult = 99;        // 99 until it came
  bool open = false;          // opened with result 0 and not uninitialised
  bool closedStrict = false;  // uninitialised from a host thread: nothing may come after
  int state = -1;
  Clock::time_point stateAt{};
  bool streaming = false;
  Clock::time_point streamingSince{};
  std::string selectedKey;            // the phone the list marks selected, known only while streaming
  std::vector<std::string> listKeys;  // the latest list
  Clock::time_point listAt{};
  uint64_t callbacks = 0;
};

class CampaignHost {
 public:
  CampaignHost();
  ~CampaignHost();
  CampaignHost(const CampaignHost&) = delete;
  CampaignHost& operator=(const CampaignHost&) = delete;

  // Empty, or why the engine could not be loaded. missingCamera: a camera whose driver is not
  // installed for this load (-1 for none), so that its open fails.
  std::string Load(int missingCamera);
  // EInitialize(4), the callbacks, EOpen four times. Returns the open results as text.
  std::string Open();
  // EUninitialize of every camera from this (a host) thread, then unload.
  void Close();

  CameraNews News(int camera);
  // Every camera's news, one line each.
  std::string Describe();

  // The host operations, each watched against its bound. `where` names the caller for the record.
  void Uninitialize(int camera, const char* where);
  void Initialize(int count, const char* where);
  // A host operation drawn from `random` (selections, refresh, formats, focus, preview, ...).
  void RandomOperation(std::mt19937& random, const char* where);
  void AnswerPasscode(int phone, const std::string& passcode, const char* where);
  // True once after the engine asked (through the passcode key callback) for this phone's key:
  // the phone wants its passcode, and the host, as its user would, types it.
  bool TakePasscodeQuestion(int phone);
  void SetBlank(bool blank, const char* where);
  // From now on, callbacks call exports now and then; `uninitializeRate`: one callback in that many
  // uninitialises its own camera (0: never).
  void SetCallbackMischief(int oneIn, int uninitializeOneIn, bool includeCameraZero);
  // Every operation made since the last call, as "name@where" (and "name+fault" while a phone or road event
  // was under way), for the table of combinations reached.
  std::map<std::string, int> TakeCounts();
  void SetFaultUnderWay(bool underWay);
  // Camera 0 was uninitialised (or the instances replaced): the epoch can only end.
  bool broken() const { return broken_.load(); }

  // The phones' keys the host may select, and each phone's identifier (phone 1-4).
  static std::string KeyOf(int phone);
  static std::vector<uint8_t> IdOf(int phone);

 private:
  void Watch();
  const char* Operate(std::mt19937& random, const char* where);

  testkit::EngineLibrary library_;
  std::unique_ptr<kavex::simdrivers::ScopedSimulatedDrivers> drivers_;  // native only
  std::atomic<bool> broken_{false};
  std::atomic<bool> stop_{false};
  std::thread watch_;
};

}  // namespace campaign
