#pragma once
// The consumer of the four cameras in section mode (1280x720 YUY2 at 30 fps, as scale_bench
// demands): publishes each section before the engine opens, then takes every ready picture and
// notes when the last one that shows the phone's fixture arrived. The placeholder is black where
// the fixture has its white bar, so a camera showing the placeholder never counts as fed.
// Thread: Publish, Start, Stop on main; the polling loop on its own thread; the readers from any.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "camera_section_peer.h"
#include "platform/named_objects.h"
#include "wait_until.h"

namespace soak {

constexpr int kCameras = 4;

class CameraWatcher {
 public:
  ~CameraWatcher() { Stop(); }

  // "" or why a section could not be made. A camera `without` gets no section (as when nobody
  // uses that camera); it shows nothing.
  std::string Publish(int without = -1);
  void Start();
  void Stop();

  // When the camera last got a picture of the fixture (the epoch before the first).
  testkit::Clock::time_point LastFixturePicture(int camera) const;
  uint64_t FixturePictures(int camera) const;
  uint64_t OtherPictures(int camera) const;
  // When the camera last got a picture that is not the fixture (the placeholder, say).
  testkit::Clock::time_point LastOtherPicture(int camera) const;

 private:
  void Run();
  void TakeReady(int camera);

  std::unique_ptr<kavex::platform::SharedSection> sections_[kCameras];
  std::unique_ptr<testkit::CameraSectionPeer> peers_[kCameras];
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // guards the figures below
  testkit::Clock::time_point lastFixture_[kCameras] = {};
  testkit::Clock::time_point lastOther_[kCameras] = {};
  uint64_t fixturePictures_[kCameras] = {};
  uint64_t otherPictures_[kCameras] = {};
};

}  // namespace soak
