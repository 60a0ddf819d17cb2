#pragma once
// The consumer's end of a camera section, over memory mapped by whoever plays the consumer: it
// publishes the demand, changes the driver's controls and takes pictures by clearing each slot's
// ready flag, as the camera driver's consumer does. The engine writes the same memory from another
// thread or process at any time, so every field is one aligned atomic load (acquire) or store
// (release), never cached.
// Thread: any; one taker of pictures at a time. Does not own the memory.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "camera_section_layout.h"

namespace testkit {

struct CameraDemand {
  uint32_t width = 640;
  int32_t height = 360;
  float fps = 30.0f;
  uint32_t code = camera_section::kYuy2;
};

// One picture taken from a slot.
struct SlotPicture {
  float time = 0;
  uint32_t length = 0;       // the slot's length field (placeholder pictures leave it alone)
  bool overwritten = false;  // the slot's time changed while the bytes were copied
};

struct FormatTableRow {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fpsMilli = 0;
  uint32_t extra = 0;
};

class CameraSectionPeer {
 public:
  explicit CameraSectionPeer(uint8_t* view) : view_(view) {}

  uint8_t* view() const { return view_; }

  // Clears both ready flags (a section left by an earlier consumer may still flag pictures nobody
  // writes again), writes the demand, one consumer, and the layout version last, so the engine
  // never sees a complete layout without its demand.
  void Publish(const CameraDemand& demand);
  void SetDemand(const CameraDemand& demand);
  void SetControls(uint32_t value, uint32_t flag);
  void SetConsumerCount(uint32_t count);
  void SetLayoutVersion(uint32_t version);
  void SetFormatTableCapacity(uint32_t rows);

  bool EngineAttached() const;
  uint32_t FormatTableCount() const;
  FormatTableRow FormatTableRowAt(uint32_t row) const;

  // Slots 0 and 1.
  bool Ready(int slot) const;
  float Time(int slot) const;
  uint32_t Length(int slot) const;
  const uint8_t* Data(int slot) const;
  void Free(int slot);
  // The ready slot with the earlier time (the engine fills the older one next), or -1.
  int OldestReady() const;
  // Copies up to `bytes` bytes of a ready slot's picture into *data and frees the slot; false
  // when the slot holds no picture.
  bool Take(int slot, size_t bytes, std::vector<uint8_t>* data, SlotPicture* picture);

  uint32_t LoadU32(size_t offset) const;
  void StoreU32(size_t offset, uint32_t value);

 private:
  uint8_t* Slot(int slot) const { return view_ + camera_section::kSlotOffsets[slot & 1]; }

  uint8_t* view_;
};

}  // namespace testkit
