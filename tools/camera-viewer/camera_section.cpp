#include "camera_section.h"

#include <windows.h>

#include <cstring>

namespace camera_viewer {
namespace {

const char* const kSectionNames[4] = {
    "Global\\242C35CFE1974E5AB3C65625F6B417DD",
    "Global\\1E12F143DCC74A56B08BAF02F2916D56",
    "Global\\A5B4E22091324790839F8988BAD6A329",
    "Global\\A553BC49BCF64EBD82B611BF1732EFCA",
};
const char* const kEventNames[4] = {
    "Global\\86A5E7A53B494A4AB6DFCF3422E84227",
    "Global\\66745621CA3B44C9B2CE53E2F723DB75",
    "Global\\20C7C78A21BB4053AF929B37EA9B5B6A",
    "Global\\B37069356A2441CDB1C88A40072BE542",
};

constexpr DWORD kSectionBytes = 49865088;
constexpr size_t kVersion = 0;
constexpr size_t kConsumerCount = 4;
constexpr size_t kSlotOffsets[2] = {32, 24883296};
constexpr size_t kSlotLength = 24883232;
constexpr size_t kSlotTime = 24883236;
constexpr size_t kSlotReady = 24883240;
constexpr size_t kEngineAttached = 49862564;
constexpr size_t kDemandedWidth = 49864172;
constexpr size_t kDemandedHeight = 49864176;
constexpr size_t kDemandedFps = 49864180;
constexpr size_t kDemandedCode = 49864184;
constexpr uint32_t kLayoutVersion = 6;
// How often to look for the engine's event while it does not exist yet.
constexpr DWORD kEventRetryMs = 500;

// The engine reads and writes these fields from another process: every access is one aligned
// 32-bit load or store, ordered around the picture bytes.
uint32_t Load(const uint8_t* at) { return __atomic_load_n(reinterpret_cast<const uint32_t*>(at), __ATOMIC_ACQUIRE); }
void Store(uint8_t* at, uint32_t value) { __atomic_store_n(reinterpret_cast<uint32_t*>(at), value, __ATOMIC_RELEASE); }
float LoadFloat(const uint8_t* at) {
  const uint32_t bits = Load(at);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

std::unique_ptr<CameraSection> CameraSection::Publish(int camera, const PictureLayout& layout, float fps,
                                                      std::string* error) {
  if (camera < 0 || camera > 3) {
    *error = "no section for camera " + std::to_string(camera);
    return nullptr;
  }
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionBytes,
                                      kSectionNames[camera]);
  if (mapping == nullptr) {
    *error = std::string("CreateFileMapping ") + kSectionNames[camera] + " failed: " + std::to_string(GetLastError());
    return nullptr;
  }
  auto* view = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kSectionBytes));
  if (view == nullptr) {
    *error = "MapViewOfFile failed: " + std::to_string(GetLastError());
    CloseHandle(mapping);
    return nullptr;
  }
  std::unique_ptr<CameraSection> section(new CameraSection(camera, mapping, view));
  // A section left by an earlier consumer may still flag pictures nobody will write again.
  for (size_t slot : kSlotOffsets) Store(view + slot + kSlotReady, 0);
  Store(view + kDemandedFps, FloatBits(fps));
  Store(view + kDemandedCode, layout.code);
  Store(view + kDemandedHeight, static_cast<uint32_t>(layout.height));
  Store(view + kDemandedWidth, layout.width);
  Store(view + kConsumerCount, 1);
  Store(view + kVersion, kLayoutVersion);
  section->OpenEventIfCreated();
  return section;
}

CameraSection::~CameraSection() {
  Store(view_ + kConsumerCount, 0);
  UnmapViewOfFile(view_);
  CloseHandle(mapping_);
  if (event_ != nullptr) CloseHandle(event_);
}

void CameraSection::OpenEventIfCreated() {
  lastEventTry_ = GetTickCount();
  // Opened, not created: the engine creates it with the security it wants.
  event_ = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kEventNames[camera_]);
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
  uint8_t* base = view_ + kSlotOffsets[slot & 1];
  if (Load(base + kSlotReady) == 0) return false;
  taken->time = LoadFloat(base + kSlotTime);
  taken->length = Load(base + kSlotLength);
  if (bytes > kSlotDataBytes) bytes = kSlotDataBytes;
  picture->resize(bytes);
  std::memcpy(picture->data(), base, bytes);
  // With both slots full the engine rewrites the older one in place; a time that moved while the
  // bytes were copied means the copy may mix two pictures.
  taken->overwritten = LoadFloat(base + kSlotTime) != taken->time;
  Store(base + kSlotReady, 0);
  return true;
}

bool CameraSection::EngineAttached() const {
  return __atomic_load_n(view_ + kEngineAttached, __ATOMIC_ACQUIRE) != 0;
}

}  // namespace camera_viewer
