#include "camera_watcher.h"

#include <chrono>

#include "camera_section_layout.h"

namespace soak {
namespace {

namespace layout = testkit::camera_section;

constexpr uint32_t kWidth = 1280;
constexpr int32_t kHeight = 720;
constexpr uint32_t kPictureBytes = 2 * kWidth * kHeight;

// The fixture's white bar (the leftmost seventh) and its darkest bar (the rightmost).
bool ShowsTheFixture(const uint8_t* picture) {
  const int white = picture[(240 * kWidth + 91) * 2];
  const int dark = picture[(240 * kWidth + 1188) * 2];
  return white >= 165 && white <= 195 && dark <= 60;
}

}  // namespace

std::string CameraWatcher::Publish(int without) {
  for (int camera = 0; camera < kCameras; ++camera) {
    if (camera == without) continue;
    uint32_t error = 0;
    sections_[camera] =
        kavex::platform::SharedSection::CreateOrOpen(layout::SectionName(camera), layout::kBytes, &error);
    if (sections_[camera] == nullptr)
      return "cannot create camera " + std::to_string(camera) + "'s section (error " + std::to_string(error) + ")";
    peers_[camera] = std::make_unique<testkit::CameraSectionPeer>(sections_[camera]->data());
    peers_[camera]->Publish({kWidth, kHeight, 30.0f, layout::kYuy2});
  }
  return {};
}

void CameraWatcher::Start() {
  thread_ = std::thread([this] { Run(); });
}

void CameraWatcher::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

testkit::Clock::time_point CameraWatcher::LastFixturePicture(int camera) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastFixture_[camera];
}

uint64_t CameraWatcher::FixturePictures(int camera) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fixturePictures_[camera];
}

testkit::Clock::time_point CameraWatcher::LastOtherPicture(int camera) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastOther_[camera];
}

uint64_t CameraWatcher::OtherPictures(int camera) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return otherPictures_[camera];
}

void CameraWatcher::Run() {
  while (!stop_) {
    for (int camera = 0; camera < kCameras; ++camera) TakeReady(camera);
    // Two slots hold 66 ms of a 30 fps stream; a picture now and then overwritten does no harm here.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void CameraWatcher::TakeReady(int camera) {
  if (peers_[camera] == nullptr) return;
  testkit::CameraSectionPeer& peer = *peers_[camera];
  for (;;) {
    const int slot = peer.OldestReady();
    if (slot < 0) return;
    const bool fixture = peer.Length(slot) == kPictureBytes && ShowsTheFixture(peer.Data(slot));
    peer.Free(slot);
    std::lock_guard<std::mutex> lock(mutex_);
    if (fixture) {
      ++fixturePictures_[camera];
      lastFixture_[camera] = testkit::Clock::now();
    } else {
      ++otherPictures_[camera];
      lastOther_[camera] = testkit::Clock::now();
    }
  }
}

}  // namespace soak
