#pragma once
// The consumer of the bench's cameras, playing the driver in section mode: publishes each camera's
// section with its demand before the engine opens, then takes every ready picture (older slot
// first) and frees its slot, checking a few bytes of each so that it counts real pictures of the
// right size rather than flags. It copies nothing, so its CPU time stays small next to the
// engine's. Published without a consumer (count 0), the sections show the engine a camera nobody
// reads.
// Thread: Publish, Start, Begin, End, Stop and takes on the caller's (main) thread; the polling
// loop on its own thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_section_peer.h"
#include "platform/named_objects.h"

namespace bench {

// How the consumer tells a picture from a wrong one.
enum class PictureCheck {
  kFixtureBar,   // the committed fixture: its white bar, the leftmost seventh, at a third of the height
  kVaried,       // a realistic stream: the luma at a few places along the diagonal is not all one value
  kPlaceholder,  // the engine's placeholder: no check of the bytes (its pictures leave the length alone)
};

// What the consumer saw of one camera while recording.
struct CameraTakes {
  std::vector<float> times;  // each picture's time (the phone's timestamp), in the order taken
  size_t wrongPictures = 0;  // wrong length or content
  size_t outOfOrder = 0;     // a time not later than the previous picture's
};

class SectionConsumer {
 public:
  SectionConsumer(int cameras, testkit::CameraDemand demand, PictureCheck check, int pollMs);
  ~SectionConsumer();

  // Creates and publishes the sections; with reading false, each says that no program reads it.
  // Empty on success, else why not.
  std::string Publish(bool reading);
  void Start();
  void Stop();

  // From the next poll on, every picture taken is recorded; returns once the loop has started.
  void Begin();
  // Ends the recording after the poll under way; the consumer thread's CPU seconds meanwhile.
  double End();

  CameraTakes Takes(int camera);
  // The longest time between two polls while recording: a consumer that slept much longer than
  // a picture's interval (the machine busy elsewhere) may have let the engine overwrite a picture
  // it never took, which is then no loss of the engine's.
  double LongestPollGapMs();
  // The latest picture time recorded for the camera (negative when none yet).
  float LatestTime(int camera);

 private:
  void Run();
  void TakeReady(int camera);  // under mutex_
  bool PictureRight(const testkit::CameraSectionPeer& peer, int slot) const;

  const int cameras_;
  const testkit::CameraDemand demand_;
  const PictureCheck check_;
  const std::chrono::milliseconds poll_;
  std::vector<std::unique_ptr<kavex::platform::SharedSection>> sections_;
  std::vector<std::unique_ptr<testkit::CameraSectionPeer>> peers_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  bool wantRecording_ = false;
  bool recording_ = false;
  double cpuBegin_ = 0;
  double cpuEnd_ = 0;
  std::chrono::steady_clock::time_point lastPoll_{};
  double longestPollGapMs_ = 0;
  std::vector<CameraTakes> takes_;
};

}  // namespace bench
