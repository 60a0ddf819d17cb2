#pragma once
#include <memory>

namespace kavex {

class CameraTable;
class EngineInstance;
class PhoneBroker;

// The engine's own table of the live instances, indexed 0 to 3, by which instances see each other
// (refresh broadcasts, taking a phone over): each is handed it as its CameraTable (Cameras()),
// enters it once constructed and leaves it during teardown. Lookups hand out shared references, so an instance being
// torn down on one thread stays valid for a call another thread has already started on it. Thread: any.
class InstanceRegistry {
 public:
  static constexpr int kSlots = 4;

  static void Enter(int index, std::shared_ptr<EngineInstance> instance);
  // Empties the slot if it still holds this instance and hands the registry's reference back, so the
  // caller decides where the last reference is dropped.
  static std::shared_ptr<EngineInstance> Remove(int index, const EngineInstance* instance);
  static std::shared_ptr<EngineInstance> Get(int index);

  // Every instance refreshes, staggered by 0.5 s per index so that lower indexes choose phones
  // first.
  static void RefreshAll();
  // The process-wide phone broker, serving the instances of this table. Never destroyed.
  static PhoneBroker& Broker();
  // This table as the instances see it, to be passed to each. Never destroyed.
  static CameraTable& Cameras();
};

}  // namespace kavex
