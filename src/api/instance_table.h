#pragma once
#include <memory>
#include <mutex>

#include "kavex_engine.h"
#include "platform/module_pin.h"
#include "platform/sync.h"

namespace kavex {

class EngineInstance;

// The host's view of the engine: four slots and the count of instances opened so far. While any
// instance exists, or a teardown still runs, the table keeps the engine's module loaded: a host
// that unloads the DLL with cameras still initialised must not leave their threads in unmapped
// code. That hold goes when a host thread has uninitialised the last instance and joined every
// teardown; the host's own reference keeps the module mapped while that call returns.
// Thread: any host thread. Slot changes happen under one mutex; the instance's own operations run
// outside it, on a reference taken under it, so a slow call never blocks the table.
class InstanceTable {
 public:
  static constexpr int kSlots = 4;

  static InstanceTable& Instance();

  void Initialize(int count, HostStateCallback stateCallback);
  int OpenNext();
  void Uninitialize(int index);
  // Null for an index outside 0..3 (compared unsigned) or an empty slot.
  std::shared_ptr<EngineInstance> Get(int index);
  int openCount();

 private:
  void ReleaseModuleWhenIdle();

  platform::Mutex mutex_;
  std::shared_ptr<EngineInstance> slots_[kSlots];
  int openCount_ = 0;
  platform::ModulePin modulePin_;
};

}  // namespace kavex
