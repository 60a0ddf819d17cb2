#pragma once
#include <cstdint>
#include <memory>

#include "output/frame_slot.h"

namespace kavex {

// The engine's own two frame slots: the picture slots of a control-code camera, and in either mode
// the room where the placeholder is drawn and converted before it is handed over.
// Thread: allocated and freed by the output's owner; the memory is used under the output's slots
// lock.
class LocalFrameSlots {
 public:
  // Throws std::bad_alloc when the memory cannot be had.
  LocalFrameSlots();
  LocalFrameSlots(const LocalFrameSlots&) = delete;
  LocalFrameSlots& operator=(const LocalFrameSlots&) = delete;

  FrameSlot slot(int index) const;

 private:
  struct FreeDeleter {
    void operator()(uint8_t* bytes) const;
  };
  std::unique_ptr<uint8_t, FreeDeleter> memory_;
};

}  // namespace kavex
