#pragma once
// Camera 0's consumer in the end-to-end programs: publishes the camera's section (the engine's
// named object of that name, a real one under Windows) and takes pictures from its two slots as
// the driver would, every 2 ms.
// Thread: the test's. Keep it alive until the engine has closed: the section stays mapped.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "camera_section_peer.h"
#include "platform/named_objects.h"

namespace e2e {

// One picture taken from a slot.
struct SlotTake {
  float time = 0;
  uint32_t length = 0;         // as the engine wrote it: 0 for a cleared slot
  std::vector<uint8_t> bytes;  // the copied bytes, when asked for
};

class CameraZeroConsumer {
 public:
  // Publishes the consumer's format (a FourCC-like code; 1 is YUY2). False without a section.
  bool Publish(uint32_t width, int32_t height, uint32_t code = 1);
  // Asks the engine for another size mid-stream.
  void Demand(uint32_t width, int32_t height, uint32_t code = 1);
  // The driver's control state, as its consumer changes it.
  void Controls(uint32_t value, uint32_t flag);
  uint32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // The byte count of a whole YUY2 picture of the size now asked for.
  size_t Yuy2Bytes() const { return 2u * width_ * static_cast<size_t>(height_); }

  // For `seconds`, hands every ready picture to `each`, with up to `copyBytes` of its bytes.
  void TakeFor(double seconds, size_t copyBytes, const std::function<void(SlotTake&)>& each);

 private:
  std::unique_ptr<kavex::platform::SharedSection> section_;
  std::unique_ptr<testkit::CameraSectionPeer> peer_;
  uint32_t width_ = 0;
  int32_t height_ = 0;
};

}  // namespace e2e
