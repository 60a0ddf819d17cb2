#include "api/instance_table.h"

#include "api/host_callbacks.h"
#include "instance/engine_instance.h"

namespace kavex {

InstanceTable& InstanceTable::Instance() {
  // Never destroyed, for the same reason as the instance registry: no teardown at unload.
  static InstanceTable* const table = new InstanceTable;
  return *table;
}

void InstanceTable::Initialize(int count, HostStateCallback stateCallback) {
  SetHostStateCallback(stateCallback);
  for (int i = 0; i < count && i < kSlots; ++i) {
    std::shared_ptr<EngineInstance> previous;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      previous = std::move(slots_[i]);
    }
    // A second initialisation replaces the instance; the old one is torn down, not leaked with its
    // threads still running.
    if (previous != nullptr) previous->Destroy();
    std::shared_ptr<EngineInstance> instance = EngineInstance::Create(i);
    instance->callbacks().Clear();
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[i] = std::move(instance);
  }
}

int InstanceTable::OpenNext() {
  std::shared_ptr<EngineInstance> instance;
  int index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (openCount_ >= kSlots || slots_[openCount_] == nullptr) return -1;
    index = openCount_++;
    instance = slots_[index];
  }
  const int result = instance->Open();
  CallHostState(index, result);
  return index;
}

void InstanceTable::Uninitialize(int index) {
  if (static_cast<unsigned>(index) >= kSlots) return;
  std::shared_ptr<EngineInstance> instance;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    instance = std::move(slots_[index]);
  }
  if (instance != nullptr) instance->Destroy();
}

std::shared_ptr<EngineInstance> InstanceTable::Get(int index) {
  if (static_cast<unsigned>(index) >= kSlots) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_[index];
}

int InstanceTable::openCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return openCount_;
}

}  // namespace kavex
