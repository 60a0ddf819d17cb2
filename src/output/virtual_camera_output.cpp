#include "output/virtual_camera_output.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

extern "C" {
#include <libswscale/swscale.h>
}

#include "output/camera_section.h"
#include "output/device_paths.h"
#include "output/driver_requests.h"
#include "output/output_feeder.h"
#include "platform/device_drivers.h"
#include "platform/drawing_surface.h"
#include "platform/named_objects.h"
#include "common/error_log.h"

namespace kavex {
namespace {

constexpr int kNamedIndexes = 4;
const char* const kMutexNames[kNamedIndexes] = {
    "Local\\877A906B2F5F43268C9E6D05A19783C9", "Local\\D0FFE94BCFE84304AB2864C45D3E4F73",
    "Local\\7E6EC30702974F539FBD718F4AB67FC1", "Local\\11B7EAD53EBA4EADA85E09247EACE933"};
const char* const kEventNames[kNamedIndexes] = {
    "Global\\86A5E7A53B494A4AB6DFCF3422E84227", "Global\\66745621CA3B44C9B2CE53E2F723DB75",
    "Global\\20C7C78A21BB4053AF929B37EA9B5B6A", "Global\\B37069356A2441CDB1C88A40072BE542"};
const char* const kSectionNames[kNamedIndexes] = {
    "Global\\242C35CFE1974E5AB3C65625F6B417DD", "Global\\1E12F143DCC74A56B08BAF02F2916D56",
    "Global\\A5B4E22091324790839F8988BAD6A329", "Global\\A553BC49BCF64EBD82B611BF1732EFCA"};

// Indexes above 3 share the objects of index 3 (but never a section).
int NamedIndex(int index) { return std::min(std::max(index, 0), kNamedIndexes - 1); }

// Bytes of YUY2 black written by a clear: the largest YUY2 picture a driver takes (3840 × 2160).
constexpr size_t kYuy2ClearBytes = 3840u * 2160u * 2u;

// Holds the named mutex for one scope, if it could be had within the time limit.
class MutexHold {
 public:
  explicit MutexHold(platform::NamedMutex* mutex)
      : mutex_(mutex), held_(mutex != nullptr && mutex->Wait(VirtualCameraOutput::kMutexWaitMs)) {}
  ~MutexHold() {
    if (held_) mutex_->Release();
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  bool held() const { return held_; }

 private:
  platform::NamedMutex* mutex_;
  bool held_;
};

}  // namespace

void VirtualCameraOutput::FreeDeleter::operator()(uint8_t* bytes) const { std::free(bytes); }

VirtualCameraOutput::VirtualCameraOutput(int index, OutputControlListener* controlListener)
    : VirtualCameraOutput(index, controlListener, platform::ActiveDeviceDrivers()) {}

VirtualCameraOutput::VirtualCameraOutput(int index, OutputControlListener* controlListener,
                                         platform::DeviceDrivers& drivers)
    : index_(index), controlListener_(controlListener), drivers_(drivers) {
  // calloc: the pages of slots that are never written (most of them, for small pictures) cost
  // nothing.
  localSlots_.reset(static_cast<uint8_t*>(std::calloc(2, FrameSlot::kBytes)));
  if (localSlots_ == nullptr) throw std::bad_alloc();
}

VirtualCameraOutput::~VirtualCameraOutput() { Close(); }

std::string VirtualCameraOutput::ObjectDetail(uint32_t systemError) const {
  return ".C" + std::to_string(index_) + "E" + std::to_string(systemError);
}

std::string VirtualCameraOutput::DeviceDetail(uint32_t systemError) const {
  return ".C" + std::to_string(index_) + "E" + std::to_string(systemError) + "D" +
         std::to_string(device_paths::LastScanStatus());
}

int VirtualCameraOutput::Open() {
  const int named = NamedIndex(index_);
  uint32_t systemError = 0;
  // Without these objects the output still opens, but waits on a missing mutex fail (no format
  // change, no control-code picture) and a missing event is never set: recorded here, once, with
  // the reason (a name taken by another kind of object, or by an object this user may not open).
  mutex_ = platform::NamedMutex::CreateOrOpen(kMutexNames[named], &systemError);
  if (mutex_ == nullptr) ErrorLog::Record(error_codes::kNoCameraMutex, ObjectDetail(systemError));
  event_ = platform::NamedEvent::CreateOrOpen(kEventNames[named], true, &systemError);
  if (event_ == nullptr) ErrorLog::Record(error_codes::kNoCameraEvent, ObjectDetail(systemError));
  surface_ = platform::DrawingSurface::Create();
  animation_.LoadFromModule(AnimatedImage::kPlaceholderResourceId);

  if (index_ == 0) device_paths::Scan(drivers_);

  microphoneDevice_ = drivers_.Open(device_paths::MicrophonePath(index_), &systemError);
  if (microphoneDevice_ == nullptr) {
    ErrorLog::Record(error_codes::kNoMicrophoneDevice, DeviceDetail(systemError));
    return kMicrophoneMissing;
  }
  const uint32_t attach[2] = {1, static_cast<uint32_t>(index_)};
  uint32_t returned = 0;
  microphoneDevice_->Control(driver_requests::kAttach, attach, sizeof attach, nullptr, 0, &returned);
  const uint32_t query = 0;
  uint8_t statusBytes[4] = {};
  if (!microphoneDevice_->Control(driver_requests::kQuery, &query, sizeof query, statusBytes,
                                  sizeof statusBytes, &returned)) {
    ErrorLog::Record(error_codes::kMicrophoneQueryFailed);
    microphoneDevice_.reset();
    return kMicrophoneQueryFailed;
  }
  const uint32_t microphoneStatus = driver_requests::FieldU32(statusBytes, 0);
  microphone_.SetDevice(microphoneDevice_.get());

  OpenSection();
  return sectionMode() ? OpenSectionMode(microphoneStatus) : OpenControlCodeMode(microphoneStatus);
}

void VirtualCameraOutput::OpenSection() {
  if (index_ < 0 || index_ >= kNamedIndexes) return;
  uint32_t systemError = 0;
  section_ = platform::SharedSection::CreateOrOpen(kSectionNames[index_], camera_section::kSize,
                                                   &systemError);
  if (section_ == nullptr || section_->size() < camera_section::kSize ||
      camera_section::ReadU32(section_->data(), camera_section::kVersion) !=
          camera_section::kLayoutVersion) {
    section_.reset();  // no driver publishes this layout: the camera is reached by control codes
    return;
  }
  sectionView_ = section_->data();
  {
    std::lock_guard<std::recursive_mutex> slots(slotsLock_);
    MarkSlotsWritten();  // what the driver's memory held before is not known to be cleared
  }
  std::fill(sectionView_ + camera_section::kSlot0,
            sectionView_ + camera_section::kSlot0 + 2 * FrameSlot::kBytes, uint8_t{0});
  camera_section::WriteByte(sectionView_, camera_section::kEngineAttached, 1);
}

int VirtualCameraOutput::OpenSectionMode(uint32_t microphoneStatus) {
  const OutputFormat demanded = SectionDemand();
  if (demanded.width == 0 || !SetOutputFormat(demanded))
    SetOutputFormat(OutputFormat{640, 360, 30.0f, kPixelYuy2});
  if (microphoneStatus != driver_requests::kMicrophoneReady) {
    ErrorLog::Record(error_codes::kSectionMicrophoneNotReady);
    return kDriverNotReady;
  }
  return StartFeeder();
}

int VirtualCameraOutput::OpenControlCodeMode(uint32_t microphoneStatus) {
  uint32_t systemError = 0;
  camera_ = drivers_.Open(device_paths::CameraPath(index_), &systemError);
  if (camera_ == nullptr) {
    ErrorLog::Record(error_codes::kNoCameraDevice, DeviceDetail(systemError));
    return kCameraMissing;
  }
  const uint32_t attach[2] = {driver_requests::kCameraRequestTag, static_cast<uint32_t>(index_)};
  uint32_t returned = 0;
  camera_->Control(driver_requests::kAttach, attach, sizeof attach, nullptr, 0, &returned);
  uint8_t reply[driver_requests::CameraDeviceInfo::kBytes] = {};
  if (!QueryCamera(reply)) {
    ErrorLog::Record(error_codes::kCameraQueryFailed);
    camera_.reset();
    return kCameraQueryFailed;
  }
  const driver_requests::CameraDeviceInfo info = driver_requests::CameraDeviceInfo::Parse(reply);
  if (info.version < driver_requests::kCameraVersion2) {
    ErrorLog::Record(error_codes::kCameraTooOld);
    return kCameraDriverTooOld;
  }
  driverVersion2_ = info.version == driver_requests::kCameraVersion2;
  OutputFormat wanted;
  wanted.width = info.width;
  wanted.height = info.height;
  if (info.width == 0 || info.height == 0) {
    wanted.width = 640;
    wanted.height = 360;
  }
  wanted.code = info.yuy2 != 0 ? kPixelYuy2 : kPixelRgb24;
  wanted.fps = driver_requests::FpsFromDuration(info.frameDuration);
  if (!SetOutputFormat(wanted)) {
    wanted.width = 640;
    wanted.height = 360;
    SetOutputFormat(wanted);
  }
  const bool knownVersion = info.version == driver_requests::kCameraVersion100 || driverVersion2_;
  if (microphoneStatus != driver_requests::kMicrophoneReady || !knownVersion) {
    ErrorLog::Record(error_codes::kCameraDriverMismatch);
    return kDriverNotReady;
  }
  return StartFeeder();
}

OutputFormat VirtualCameraOutput::SectionDemand() const {
  using namespace camera_section;
  OutputFormat demanded;
  demanded.width = ReadU32(sectionView_, kDemandedWidth);
  demanded.height = ReadI32(sectionView_, kDemandedHeight);
  demanded.code = ReadU32(sectionView_, kDemandedCode);
  demanded.fps = ReadF32(sectionView_, kDemandedFps);
  return demanded;
}

bool VirtualCameraOutput::QueryCamera(uint8_t (&reply)[32]) {
  if (camera_ == nullptr) return false;
  const uint32_t request[2] = {driver_requests::kCameraRequestTag, static_cast<uint32_t>(index_)};
  uint32_t returned = 0;
  std::fill(reply, reply + 32, uint8_t{0});
  return camera_->Control(driver_requests::kQuery, request, sizeof request, reply, sizeof reply,
                          &returned);
}

int VirtualCameraOutput::StartFeeder() {
  feeder_ = std::make_unique<OutputFeeder>([this] { return ConsumerActive(); },
                                           [this] { return Tick(); },
                                           "kavex-feed-" + std::to_string(index_));
  feeder_->Start();  // no thread to be had is fatal, as running out of memory is
  return kOpened;
}

bool VirtualCameraOutput::feederRunning() const { return feeder_ != nullptr && feeder_->running(); }

void VirtualCameraOutput::Close() {
  if (feeder_ != nullptr) {
    feeder_->Stop();
    feeder_.reset();
  }
  uint32_t returned = 0;
  if (camera_ != nullptr) {
    const uint32_t detach[2] = {driver_requests::kCameraRequestTag, static_cast<uint32_t>(index_)};
    camera_->Control(driver_requests::kDetach, detach, sizeof detach, nullptr, 0, &returned);
    camera_.reset();
  }
  if (microphoneDevice_ != nullptr) {
    microphone_.SetDevice(nullptr);
    microphoneDevice_->Control(driver_requests::kDetach, nullptr, 0, nullptr, 0, &returned);
    microphoneDevice_.reset();
  }
  if (sectionView_ != nullptr) {
    camera_section::WriteByte(sectionView_, camera_section::kEngineAttached, 0);
    sectionView_ = nullptr;
  }
  section_.reset();
  mutex_.reset();
  event_.reset();
  animation_.Release();
  surface_.reset();
  sws_freeContext(placeholderScaler_);
  placeholderScaler_ = nullptr;
}

bool VirtualCameraOutput::ConsumerActive() {
  if (sectionView_ != nullptr)
    return camera_section::ReadI32(sectionView_, camera_section::kConsumerCount) > 0;
  uint8_t reply[driver_requests::CameraDeviceInfo::kBytes];
  if (!QueryCamera(reply)) return false;
  const driver_requests::CameraDeviceInfo info = driver_requests::CameraDeviceInfo::Parse(reply);
  return info.consumerActive != 0 || info.version == driver_requests::kCameraVersion2;
}

bool VirtualCameraOutput::SetOutputFormat(const OutputFormat& format) {
  // A picture the slots cannot hold is refused rather than cut: a consumer given part of a
  // picture under the size it asked for would show garbage.
  if (PictureBytes(format.width, format.height, format.code) > FrameSlot::kDataBytes) return false;
  {
    MutexHold hold(mutex_.get());
    if (!hold.held()) {
      ErrorLog::Record(error_codes::kFormatTableMutexTimeout);
      return false;
    }
    std::lock_guard<std::mutex> lock(formatLock_);
    format_ = format;
  }
  ResizeSurface(format);
  return true;
}

void VirtualCameraOutput::ResizeSurface(const OutputFormat& format) {
  if (surface_ == nullptr) return;
  // The picture is stored top row first for RGB with a positive height, or for the other codes with
  // a negative one: the row order in which each is handed over.
  const bool topDown = format.code == kPixelRgb24 ? format.height > 0 : format.height < 0;
  surface_->Resize(static_cast<int>(format.width), static_cast<int>(format.rows()), topDown);
}

OutputFormat VirtualCameraOutput::format() const {
  std::lock_guard<std::mutex> lock(formatLock_);
  return format_;
}

FrameSlot VirtualCameraOutput::sectionSlot(int slot) const {
  return FrameSlot(sectionView_ + (slot == 0 ? camera_section::kSlot0 : camera_section::kSlot1));
}

FrameSlot VirtualCameraOutput::localSlot(int slot) const {
  return FrameSlot(localSlots_.get() + (slot == 0 ? 0 : FrameSlot::kBytes));
}

uint8_t* VirtualCameraOutput::LocalScratch(int slot) {
  MarkSlotsWritten();
  return localSlot(slot).data();
}

void VirtualCameraOutput::MarkSlotsWritten() {
  slotsWritten_ = true;
  slotBars_[0].known = false;
  slotBars_[1].known = false;
}

void VirtualCameraOutput::ClearSlot(FrameSlot slot, uint32_t code, bool fillData) {
  slot.SetLength(0);
  slot.SetTime(0.0f);
  slot.SetReady(false);
  if (!fillData) return;
  uint8_t* data = slot.data();
  if (code == kPixelYuy2) {
    static const uint8_t kBlack[4] = {0x00, 0x80, 0x00, 0x80};
    for (size_t i = 0; i < kYuy2ClearBytes; i += 4) std::copy(kBlack, kBlack + 4, data + i);
  } else {
    std::fill(data, data + FrameSlot::kDataBytes, uint8_t{0});
  }
}

void VirtualCameraOutput::ClearFrameSlots() {
  std::lock_guard<std::recursive_mutex> slots(slotsLock_);
  const OutputFormat current = format();
  const uint32_t code = current.code;
  const bool fillData = slotsWritten_ || clearedToYuy2_ != (code == kPixelYuy2);
  if (sectionView_ != nullptr) {
    ClearSlot(sectionSlot(0), code, fillData);
    ClearSlot(sectionSlot(1), code, fillData);
  } else {
    ClearSlot(localSlot(0), code, fillData);
    ClearSlot(localSlot(1), code, fillData);
  }
  slotsWritten_ = false;
  clearedToYuy2_ = code == kPixelYuy2;
  // Black everywhere a picture of the current format reaches (a YUY2 clear covers the largest
  // YUY2 picture a driver takes, not a whole slot).
  const bool covered =
      code != kPixelYuy2 || PictureBytes(current.width, current.height, code) <= kYuy2ClearBytes;
  for (SlotBars& bars : slotBars_) bars = SlotBars{covered, current, PictureFit{}};
}


uint32_t VirtualCameraOutput::FormatTableCapacity() const {
  if (sectionView_ == nullptr) return 0;
  return camera_section::ReadU32(sectionView_, camera_section::kFormatTableCapacity);
}

bool VirtualCameraOutput::WriteFormatTable(const std::vector<VideoFormat>& rows) {
  using namespace camera_section;
  MutexHold hold(mutex_.get());
  if (!hold.held() || sectionView_ == nullptr) return false;
  WriteU32(sectionView_, kFormatTableCount, 0);
  uint32_t count = 0;
  for (const VideoFormat& row : rows) {
    if (count == kMaxFormatTableRows) break;
    const size_t at = kFormatTableRows + count * kFormatTableRowBytes;
    WriteU32(sectionView_, at, row.width);
    WriteU32(sectionView_, at + 4, row.height);
    WriteU32(sectionView_, at + 8, static_cast<uint32_t>(static_cast<double>(row.framesPerSecond) * 1000.0));
    WriteU32(sectionView_, at + 12, 0);
    WriteU32(sectionView_, kFormatTableCount, ++count);
  }
  return true;
}

void VirtualCameraOutput::SetEvent() {
  if (event_ != nullptr) event_->Set();
}

void VirtualCameraOutput::ResetEvent() {
  if (event_ != nullptr) event_->Reset();
}

}  // namespace kavex
