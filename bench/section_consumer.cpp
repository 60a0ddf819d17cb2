#include "section_consumer.h"

#include <algorithm>

#include "camera_section_layout.h"
#include "cpu_time.h"
#include "platform/thread_name.h"

namespace bench {

namespace layout = testkit::camera_section;

SectionConsumer::SectionConsumer(int cameras, testkit::CameraDemand demand, PictureCheck check, int pollMs)
    : cameras_(cameras), demand_(demand), check_(check), poll_(pollMs), takes_(static_cast<size_t>(cameras)) {}

SectionConsumer::~SectionConsumer() { Stop(); }

std::string SectionConsumer::Publish(bool reading) {
  for (int camera = 0; camera < cameras_; ++camera) {
    uint32_t error = 0;
    auto section = kavex::platform::SharedSection::CreateOrOpen(layout::SectionName(camera), layout::kBytes, &error);
    if (section == nullptr)
      return "cannot create camera " + std::to_string(camera) + "'s section (error " + std::to_string(error) + ")";
    auto peer = std::make_unique<testkit::CameraSectionPeer>(section->data());
    peer->Publish(demand_);
    if (!reading) peer->SetConsumerCount(0);
    sections_.push_back(std::move(section));
    peers_.push_back(std::move(peer));
  }
  return {};
}

void SectionConsumer::Start() {
  thread_ = std::thread([this] { Run(); });
}

void SectionConsumer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
}

void SectionConsumer::Begin() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (CameraTakes& takes : takes_) takes = CameraTakes{};
  longestPollGapMs_ = 0;
  wantRecording_ = true;
  changed_.wait(lock, [this] { return recording_ || stop_; });
}

double SectionConsumer::End() {
  std::unique_lock<std::mutex> lock(mutex_);
  wantRecording_ = false;
  changed_.wait(lock, [this] { return !recording_ || stop_; });
  return cpuEnd_ - cpuBegin_;
}

CameraTakes SectionConsumer::Takes(int camera) {
  std::lock_guard<std::mutex> lock(mutex_);
  return takes_[camera];
}

double SectionConsumer::LongestPollGapMs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return longestPollGapMs_;
}

float SectionConsumer::LatestTime(int camera) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::vector<float>& times = takes_[camera].times;
  return times.empty() ? -1.0f : times.back();
}

void SectionConsumer::Run() {
  // Named so that the bench's own share stands apart in the per-thread figures.
  kavex::platform::NameCurrentThread("bench-consumer");
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    const auto now = std::chrono::steady_clock::now();
    if (recording_)
      longestPollGapMs_ =
          std::max(longestPollGapMs_, std::chrono::duration<double, std::milli>(now - lastPoll_).count());
    lastPoll_ = now;
    if (wantRecording_ != recording_) {
      (wantRecording_ ? cpuBegin_ : cpuEnd_) = testkit::ThreadCpuSeconds();
      recording_ = wantRecording_;
      changed_.notify_all();
    }
    for (int camera = 0; camera < cameras_; ++camera) TakeReady(camera);
    lock.unlock();
    std::this_thread::sleep_for(poll_);
    lock.lock();
  }
}

void SectionConsumer::TakeReady(int camera) {
  testkit::CameraSectionPeer& peer = *peers_[camera];
  for (;;) {
    const int slot = peer.OldestReady();
    if (slot < 0) return;
    const float slotTime = peer.Time(slot);
    const bool right = !recording_ || PictureRight(peer, slot);
    peer.Free(slot);
    if (!recording_) continue;
    CameraTakes& takes = takes_[camera];
    if (!right) ++takes.wrongPictures;
    if (!takes.times.empty() && slotTime <= takes.times.back()) ++takes.outOfOrder;
    takes.times.push_back(slotTime);
  }
}

bool SectionConsumer::PictureRight(const testkit::CameraSectionPeer& peer, int slot) const {
  if (check_ == PictureCheck::kPlaceholder) return true;
  const size_t width = demand_.width;
  const size_t height = static_cast<size_t>(demand_.height);
  if (peer.Length(slot) != 2 * width * height) return false;
  const uint8_t* pixels = peer.Data(slot);
  // YUY2: the luma of pixel (x, y) is byte 2 * (y * width + x).
  const auto luma = [&](size_t x, size_t y) { return pixels[2 * (y * width + x)]; };
  if (check_ == PictureCheck::kFixtureBar) {
    const int bar = luma(width / 14, height / 3);
    return bar >= 170 && bar <= 190;
  }
  constexpr int kSamples = 8;
  const uint8_t first = luma(width / (kSamples + 1), height / (kSamples + 1));
  for (int i = 2; i <= kSamples; ++i)
    if (luma(i * width / (kSamples + 1), i * height / (kSamples + 1)) != first) return true;
  return false;
}

}  // namespace bench
