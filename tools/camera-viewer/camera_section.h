#pragma once
// The consumer's end of a virtual camera's shared section: the viewer plays the camera driver's
// consumer, so it publishes the section (layout version 6, a consumer, the demanded format) and
// takes pictures by clearing each slot's ready field (the test kit's peer of the section).
// Thread: the viewer's main thread. Owns the section mapping and the camera's event.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera_section_peer.h"
#include "named_section.h"
#include "picture_to_rgb.h"

namespace camera_viewer {

using TakenPicture = testkit::SlotPicture;

class CameraSection {
 public:
  // Creates or opens camera `camera`'s section, clears both slots' ready fields, and publishes the
  // demand: format, then consumer count 1, then version 6 last, so the engine never sees a version
  // 6 section without its demand. Null with *error set on failure.
  static std::unique_ptr<CameraSection> Publish(int camera, const PictureLayout& layout, float fps, std::string* error);
  // Consumer count 0, then the view and the handles go.
  ~CameraSection();
  CameraSection(const CameraSection&) = delete;
  CameraSection& operator=(const CameraSection&) = delete;

  // Waits up to timeoutMs for the engine's "picture written" event (placeholder pictures do not
  // set it, so callers poll the slots after every wait anyway). Until the engine has created the
  // event this is a plain sleep.
  void Wait(int timeoutMs);
  // Takes slot 0 or 1 if it holds a picture: copies `bytes` bytes of its data into *picture and
  // frees the slot.
  bool Take(int slot, size_t bytes, std::vector<uint8_t>* picture, TakenPicture* taken);
  // The engine's "attached" byte.
  bool EngineAttached() const;

 private:
  CameraSection(int camera, std::unique_ptr<testkit::NamedSection> memory)
      : camera_(camera), memory_(std::move(memory)), peer_(memory_->data()) {}
  void OpenEventIfCreated();

  int camera_;
  std::unique_ptr<testkit::NamedSection> memory_;
  testkit::CameraSectionPeer peer_;
  void* event_ = nullptr;
  unsigned long lastEventTry_ = 0;
};

}  // namespace camera_viewer
