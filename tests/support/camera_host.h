#pragma once
// A host of several cameras for the long-running programs (the soak, the scale bench): the engine
// loaded as a host loads it (natively linked in, with the simulated drivers; under Windows
// engine-simdrivers.dll), one instance per camera with the same callbacks, and what each instance
// told the host. The engine's callbacks carry no context, so what they record is the process's:
// one CameraHost at a time.
// Thread: CameraHost on its owner's; the callbacks on engine threads, recording under one mutex;
// News from any thread.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "camera_section_layout.h"
#include "engine_library.h"
#include "wait_until.h"

namespace kavex::simdrivers {
class ScopedSimulatedDrivers;
}

namespace camerahost {

using testkit::Clock;

constexpr int kMaxCameras = testkit::camera_section::kCameras;
// A long run reports thousands of states: only the latest are kept to be printed.
constexpr size_t kKeptStates = 64;

struct InstanceNews {
  int openResult = 99;      // 99 until the open result came
  std::vector<int> states;  // the phone states since the open, the latest kKeptStates
  size_t stateCount = 0;    // every phone state since the open
  int lastState = -1;       // -1 before the first
  bool streaming = false;
  Clock::time_point streamingSince{};  // when it last became Streaming
  std::string selectedKey;             // the phone the instance streams from, by its list entry
};

InstanceNews News(int instance);
const char* StateName(int state);  // "none" for -1

class CameraHost {
 public:
  CameraHost();
  CameraHost(const CameraHost&) = delete;
  CameraHost& operator=(const CameraHost&) = delete;
  ~CameraHost();

  // Empty, or why the engine could not be loaded.
  std::string Load();
  // Forgets what earlier instances said, then creates and opens `cameras` instances (automatic
  // format choice: the consumer's size). Empty when every open succeeded, else each failure.
  std::string Open(int cameras);
  // Uninitialises every instance, last first, and unloads the engine. Safe to repeat.
  void Close();

 private:
  testkit::EngineLibrary library_;
  int cameras_ = 0;
  std::unique_ptr<kavex::simdrivers::ScopedSimulatedDrivers> drivers_;  // native only
};

}  // namespace camerahost
