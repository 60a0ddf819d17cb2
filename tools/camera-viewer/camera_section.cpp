#include "camera_section.h"

#include <windows.h>

namespace camera_viewer {
namespace {

namespace layout = testkit::camera_section;

// How often to look for the engine's event while it does not exist yet.
constexpr DWORD kEventRetryMs = 500;

}  // namespace

std::unique_ptr<CameraSection> CameraSection::Publish(int camera, const PictureLayout& layout, float fps,
                                                      std::string* error) {
  const char* name = layout::SectionName(camera);
  if (name == nullptr) {
    *error = "no section for camera " + std::to_string(camera);
    return nullptr;
  }
  std::unique_ptr<testkit::NamedSection> memory = testkit::NamedSection::CreateOrOpen(name, layout::kBytes, error);
  if (memory == nullptr) return nullptr;
  std::unique_ptr<CameraSection> section(new CameraSection(camera, std::move(memory)));
  section->peer_.Publish({layout.width, layout.height, fps, layout.code});
  section->OpenEventIfCreated();
  return section;
}

CameraSection::~CameraSection() {
  peer_.SetConsumerCount(0);
  if (event_ != nullptr) CloseHandle(event_);
}

void CameraSection::OpenEventIfCreated() {
  lastEventTry_ = GetTickCount();
  // Opened, not created: the engine creates it with the security it wants.
  event_ = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, layout::EventName(camera_));
}

void CameraSection::Wait(int timeoutMs) {
  if (event_ == nullptr && GetTickCount() - lastEventTry_ >= kEventRetryMs) OpenEventIfCreated();
  if (event_ == nullptr) {
    Sleep(static_cast<DWORD>(timeoutMs));
    return;
  }
  WaitForSingleObject(event_, static_cast<DWORD>(timeoutMs));
  // Manual reset: left set, every later wait would return at once. Reset before the slots are
  // looked at, so a picture written after that look sets it again.
  ResetEvent(event_);
}

bool CameraSection::Take(int slot, size_t bytes, std::vector<uint8_t>* picture, TakenPicture* taken) {
  return peer_.Take(slot, bytes, picture, taken);
}

bool CameraSection::EngineAttached() const { return peer_.EngineAttached(); }

}  // namespace camera_viewer
