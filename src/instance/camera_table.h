#pragma once
#include <functional>
#include <memory>

#include "instance/other_cameras.h"

namespace kavex {

class EngineInstance;

// The cameras of the process as one camera sees them: the table it enters once built and leaves as
// it is torn down, the others it takes a phone from, and the refresh they all run when the phones
// change. Passed to each camera, so that no camera reaches the others through a global.
// Thread: any.
class CameraTable : public OtherCameras {
 public:
  virtual void Enter(int index, std::shared_ptr<EngineInstance> instance) = 0;
  // Empties the slot if it still holds this instance and hands the table's reference back, so the
  // caller decides where the last reference is dropped.
  virtual std::shared_ptr<EngineInstance> Remove(int index, const EngineInstance* instance) = 0;
  // Every camera refreshes, staggered by 0.5 s per index so that lower indexes choose phones first.
  virtual void RefreshAll() = 0;
  // Runs a camera's teardown on a thread of its own (the host tore the camera down from a callback,
  // on a thread the teardown must join); the host's next EUninitialize or EInitialize waits for it.
  virtual void TearDownLater(std::function<void()> teardown) = 0;
};

}  // namespace kavex
