#include "output/local_frame_slots.h"

#include <cstdlib>
#include <new>

namespace kavex {

void LocalFrameSlots::FreeDeleter::operator()(uint8_t* bytes) const { std::free(bytes); }

LocalFrameSlots::LocalFrameSlots() {
  // calloc: the pages of slots that are never written (most of them, for small pictures) cost
  // nothing.
  memory_.reset(static_cast<uint8_t*>(std::calloc(2, FrameSlot::kBytes)));
  if (memory_ == nullptr) throw std::bad_alloc();
}

FrameSlot LocalFrameSlots::slot(int index) const {
  return FrameSlot(memory_.get() + (index == 0 ? 0 : FrameSlot::kBytes));
}

}  // namespace kavex
