#include "output/camera_signals.h"

#include <algorithm>
#include <string>

#include "common/error_log.h"
#include "kavex_camera_contract.h"
#include "platform/named_objects.h"

namespace kavex {
namespace {

constexpr int kNamedIndexes = kavex_camera::kCameras;

std::string ObjectDetail(int index, uint32_t systemError) {
  return ".C" + std::to_string(index) + "E" + std::to_string(systemError);
}

}  // namespace

CameraSignals::CameraSignals() = default;
CameraSignals::~CameraSignals() = default;

void CameraSignals::Open(int index) {
  const int named = std::min(std::max(index, 0), kNamedIndexes - 1);
  uint32_t systemError = 0;
  // Recorded here, once, with the reason (a name taken by another kind of object, or by an object
  // this user may not open): afterwards the camera only misses pictures, silently.
  mutex_ = platform::NamedMutex::CreateOrOpen(kavex_camera::kMutexNames[named], &systemError);
  if (mutex_ == nullptr) ErrorLog::Record(error_codes::kNoCameraMutex, ObjectDetail(index, systemError));
  event_ = platform::NamedEvent::CreateOrOpen(kavex_camera::kEventNames[named], true, &systemError);
  if (event_ == nullptr) ErrorLog::Record(error_codes::kNoCameraEvent, ObjectDetail(index, systemError));
}

void CameraSignals::Close() {
  mutex_.reset();
  event_.reset();
}

bool CameraSignals::WaitMutex() { return mutex_ != nullptr && mutex_->Wait(kMutexWaitMs); }

void CameraSignals::ReleaseMutex() {
  if (mutex_ != nullptr) mutex_->Release();
}

void CameraSignals::SetEvent() {
  if (event_ != nullptr) event_->Set();
}

void CameraSignals::ResetEvent() {
  if (event_ != nullptr) event_->Reset();
}

bool CameraSignals::WaitEvent(uint32_t timeoutMs) { return event_ != nullptr && event_->Wait(timeoutMs); }

}  // namespace kavex
