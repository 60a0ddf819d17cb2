#include "camera_zero_consumer.h"

#include <chrono>
#include <thread>

#include "camera_section_layout.h"
#include "wait_until.h"

namespace e2e {

namespace layout = testkit::camera_section;

bool CameraZeroConsumer::Publish(uint32_t width, int32_t height, uint32_t code) {
  uint32_t error = 0;
  section_ = kavex::platform::SharedSection::CreateOrOpen(layout::SectionName(0), layout::kBytes, &error);
  if (section_ == nullptr) return false;
  peer_ = std::make_unique<testkit::CameraSectionPeer>(section_->data());
  peer_->Publish({width, height, 30.0f, code});
  width_ = width;
  height_ = height;
  return true;
}

void CameraZeroConsumer::Demand(uint32_t width, int32_t height, uint32_t code) {
  peer_->SetDemand({width, height, 30.0f, code});
  width_ = width;
  height_ = height;
}

void CameraZeroConsumer::Controls(uint32_t value, uint32_t flag) { peer_->SetControls(value, flag); }

void CameraZeroConsumer::TakeFor(double seconds, size_t copyBytes, const std::function<void(SlotTake&)>& each) {
  const testkit::Clock::time_point end =
      testkit::Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  while (testkit::Clock::now() < end) {
    for (int slot = 0; slot < 2; ++slot) {
      SlotTake picture;
      testkit::SlotPicture took;
      if (!peer_->Take(slot, copyBytes, &picture.bytes, &took)) continue;
      picture.time = took.time;
      picture.length = took.length;
      each(picture);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace e2e
