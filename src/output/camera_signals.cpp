#include "output/camera_signals.h"

#include <algorithm>
#include <string>

#include "common/error_log.h"
#include "platform/named_objects.h"

namespace kavex {
namespace {

constexpr int kNamedIndexes = 4;
const char* const kMutexNames[kNamedIndexes] = {
    "Local\\877A906B2F5F43268C9E6D05A19783C9", "Local\\D0FFE94BCFE84304AB2864C45D3E4F73",
    "Local\\7E6EC30702974F539FBD718F4AB67FC1", "Local\\11B7EAD53EBA4EADA85E09247EACE933"};
const char* const kEventNames[kNamedIndexes] = {
    "Global\\86A5E7A53B494A4AB6DFCF3422E84227", "Global\\66745621CA3B44C9B2CE53E2F723DB75",
    "Global\\20C7C78A21BB4053AF929B37EA9B5B6A", "Global\\B37069356A2441CDB1C88A40072BE542"};

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
  mutex_ = platform::NamedMutex::CreateOrOpen(kMutexNames[named], &systemError);
  if (mutex_ == nullptr) ErrorLog::Record(error_codes::kNoCameraMutex, ObjectDetail(index, systemError));
  event_ = platform::NamedEvent::CreateOrOpen(kEventNames[named], true, &systemError);
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
