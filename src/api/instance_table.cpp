#include "api/instance_table.h"

#include "common/engine_thread.h"
#include "common/trace.h"

#include "common/error_log.h"
#include "instance/engine_instance.h"
#include "instance/host_callbacks.h"
#include "instance/instance_registry.h"
#include "instance/teardown_reaper.h"
#include "platform/sync.h"

namespace kavex {

InstanceTable& InstanceTable::Instance() {
  // Never destroyed, for the same reason as the instance registry: no teardown at unload.
  static InstanceTable* const table = new InstanceTable;
  return *table;
}

void InstanceTable::Initialize(int count, HostStateCallback stateCallback) {
  SetHostStateCallback(stateCallback);
  // Cameras torn down from callbacks are gone before their indexes (and named objects) are reused.
  TeardownReaper::JoinAll();
  for (int i = 0; i < count && i < kSlots; ++i) {
    std::shared_ptr<EngineInstance> previous;
    {
      std::lock_guard<platform::Mutex> lock(mutex_);
      previous = std::move(slots_[i]);
    }
    // A second initialisation replaces the instance; the old one is torn down, not leaked with its
    // threads still running.
    if (previous != nullptr) previous->Destroy();
    TeardownReaper::JoinAll();
    std::shared_ptr<EngineInstance> instance =
        EngineInstance::Create(i, InstanceRegistry::Broker(), InstanceRegistry::Cameras());
    instance->callbacks().Clear();
    std::lock_guard<platform::Mutex> lock(mutex_);
    // Without a pin (natively, an engine linked into the program has no object of its own to
    // reference) the engine runs as before.
    if (!modulePin_.held() && !modulePin_.Hold()) KAVEX_TRACE_DEBUG("api", "the engine's module is not pinned");
    slots_[i] = std::move(instance);
  }
}

int InstanceTable::OpenNext() {
  TeardownReaper::JoinFinished();
  std::shared_ptr<EngineInstance> instance;
  int index = -1;
  {
    std::lock_guard<platform::Mutex> lock(mutex_);
    if (openCount_ >= kSlots || slots_[openCount_] == nullptr) return -1;
    index = openCount_++;
    instance = slots_[index];
  }
  // The counter has moved on: whatever happens, the host hears how this index's open ended.
  int result = EngineInstance::kInternalFailure;
  try {
    result = instance->Open();
  } catch (...) {
    ErrorLog::Record(error_codes::kOpenThrew);
  }
  KAVEX_TRACE_INFO("api", "EOpen: camera %d, open result %d", index, result);
  CallHostState(index, result);
  return index;
}

void InstanceTable::Uninitialize(int index) {
  if (static_cast<unsigned>(index) >= kSlots) return;
  std::shared_ptr<EngineInstance> instance;
  {
    std::lock_guard<platform::Mutex> lock(mutex_);
    instance = std::move(slots_[index]);
  }
  if (instance != nullptr) instance->Destroy();
  // From a host thread this also finishes teardowns that callbacks asked for; from a callback it
  // returns at once, and the camera's threads end as soon as the callbacks running on them return.
  TeardownReaper::JoinAll();
  ReleaseModuleWhenIdle();
}

void InstanceTable::ReleaseModuleWhenIdle() {
  // On an engine thread (a callback) nothing has been joined: the module stays until a host
  // thread comes back.
  if (OnEngineThread()) return;
  platform::ModulePin pin;
  {
    std::lock_guard<platform::Mutex> lock(mutex_);
    for (const std::shared_ptr<EngineInstance>& slot : slots_)
      if (slot != nullptr) return;
    if (!TeardownReaper::Idle()) return;
    pin = std::move(modulePin_);
  }
  pin.Release();  // the loader's lock, not with ours held
}

std::shared_ptr<EngineInstance> InstanceTable::Get(int index) {
  if (static_cast<unsigned>(index) >= kSlots) return nullptr;
  std::lock_guard<platform::Mutex> lock(mutex_);
  return slots_[index];
}

int InstanceTable::openCount() {
  std::lock_guard<platform::Mutex> lock(mutex_);
  return openCount_;
}

}  // namespace kavex
