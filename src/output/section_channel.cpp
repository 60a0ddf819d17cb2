#include "output/section_channel.h"

#include <algorithm>

#include "common/error_log.h"
#include "output/camera_section.h"
#include "output/driver_requests.h"
#include "platform/clock.h"
#include "platform/named_objects.h"
#include "platform/sync.h"

namespace kavex {
namespace {

constexpr int kSections = kavex_camera::kCameras;

// A consumer that demands nothing (or more than a slot holds) is shown this.
const OutputFormat kDefaultFormat{640, 360, 30.0f, kPixelYuy2};

}  // namespace

std::unique_ptr<SectionChannel> SectionChannel::Open(int index, CameraSignals& signals, LocalFrameSlots& local) {
  if (index < 0 || index >= kSections) return nullptr;
  uint32_t systemError = 0;
  auto section =
      platform::SharedSection::CreateOrOpen(kavex_camera::kSectionNames[index], camera_section::kSize, &systemError);
  if (section == nullptr || section->size() < camera_section::kSize ||
      camera_section::ReadU32(section->data(), camera_section::kVersion) != camera_section::kLayoutVersion)
    return nullptr;
  return std::unique_ptr<SectionChannel>(new SectionChannel(std::move(section), signals, local));
}

SectionChannel::SectionChannel(std::unique_ptr<platform::SharedSection> section, CameraSignals& signals,
                               LocalFrameSlots& local)
    : CameraChannel(local), signals_(signals), section_(std::move(section)), view_(section_->data()) {
  // What the driver's memory held before is not known to be cleared: the slots start as written.
  std::fill(view_ + camera_section::kSlot0, view_ + camera_section::kSlot0 + 2 * FrameSlot::kBytes, uint8_t{0});
  camera_section::WriteByte(view_, camera_section::kEngineAttached, 1);
}

SectionChannel::~SectionChannel() { SectionChannel::Close(); }

int SectionChannel::Configure(uint32_t microphoneStatus, const FormatSetter& setFormat) {
  const OutputFormat demanded = Demand();
  if (demanded.width == 0 || !setFormat(demanded)) setFormat(kDefaultFormat);
  if (microphoneStatus != driver_requests::kMicrophoneReady) {
    ErrorLog::Record(error_codes::kSectionMicrophoneNotReady);
    return kDriverNotReady;
  }
  return kOpened;
}

void SectionChannel::Close() {
  if (view_ != nullptr) camera_section::WriteByte(view_, camera_section::kEngineAttached, 0);
  view_ = nullptr;
  section_.reset();
}

OutputFormat SectionChannel::Demand() const {
  using namespace camera_section;
  OutputFormat demanded;
  demanded.width = ReadU32(view_, kDemandedWidth);
  demanded.height = ReadI32(view_, kDemandedHeight);
  demanded.code = ReadU32(view_, kDemandedCode);
  demanded.fps = ReadF32(view_, kDemandedFps);
  return demanded;
}

bool SectionChannel::ConsumerActive() {
  return view_ != nullptr && camera_section::ReadI32(view_, camera_section::kConsumerCount) > 0;
}

FrameSlot SectionChannel::Slot(int index) const {
  return FrameSlot(view_ + (index == 0 ? camera_section::kSlot0 : camera_section::kSlot1));
}

int SectionChannel::SlotForPicture() {
  // The driver clears `ready` when it has taken a picture: a free slot first, else the older.
  const FrameSlot slot0 = Slot(0);
  const FrameSlot slot1 = Slot(1);
  if (!slot0.ready()) return 0;
  if (!slot1.ready()) return 1;
  return slot1.time() <= slot0.time() ? 1 : 0;
}

DriverReport SectionChannel::HandOver(const uint8_t* data, size_t length) {
  if (length > FrameSlot::kDataBytes) length = FrameSlot::kDataBytes;
  const FrameSlot slot0 = Slot(0);
  const FrameSlot slot1 = Slot(1);
  FrameSlot target = slot1.time() < slot0.time() ? slot1 : slot0;
  MarkSlotsWritten();
  std::copy(data, data + length, target.data());
  target.SetTime(static_cast<float>(EngineClock::Now()));
  target.SetReady(true);
  DriverReport report;
  report.hasDemand = true;
  report.demand = Demand();
  return report;
}

bool SectionChannel::FeedStream(std::unique_lock<platform::Mutex>&, DriverReport* report) {
  // Pictures reach the section from the decoder thread; the feeder only watches the driver.
  report->hasDemand = true;
  report->demand = Demand();
  report->hasControls = true;
  report->controlValue = camera_section::ReadU32(view_, camera_section::kControlValue);
  report->controlFlag = camera_section::ReadU32(view_, camera_section::kControlFlag) != 0;
  return false;
}

uint32_t SectionChannel::FormatTableCapacity() const {
  if (view_ == nullptr) return 0;
  return camera_section::ReadU32(view_, camera_section::kFormatTableCapacity);
}

bool SectionChannel::WriteFormatTable(const std::vector<VideoFormat>& rows) {
  using namespace camera_section;
  CameraMutexHold hold(signals_);
  if (!hold.held() || view_ == nullptr) return false;
  WriteU32(view_, kFormatTableCount, 0);
  uint32_t count = 0;
  for (const VideoFormat& row : rows) {
    if (count == kMaxFormatTableRows) break;
    const size_t at = kFormatTableRows + count * kFormatTableRowBytes;
    WriteU32(view_, at, row.width);
    WriteU32(view_, at + 4, row.height);
    WriteU32(view_, at + 8, static_cast<uint32_t>(static_cast<double>(row.framesPerSecond) * 1000.0));
    WriteU32(view_, at + 12, 0);
    WriteU32(view_, kFormatTableCount, ++count);
  }
  return true;
}

}  // namespace kavex
