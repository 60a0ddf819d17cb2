#include "instance/instance_registry.h"

#include <mutex>

namespace kavex {

namespace {

std::mutex g_mutex;
// Never destroyed: an instance the host did not uninitialise must not be torn down (threads joined)
// by a static destructor while the library is being unloaded.
std::shared_ptr<EngineInstance>* const g_slots = new std::shared_ptr<EngineInstance>[InstanceRegistry::kSlots];

bool ValidIndex(int index) { return index >= 0 && index < InstanceRegistry::kSlots; }

}  // namespace

void InstanceRegistry::Enter(int index, std::shared_ptr<EngineInstance> instance) {
  if (!ValidIndex(index)) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_slots[index] = std::move(instance);
}

std::shared_ptr<EngineInstance> InstanceRegistry::Remove(int index, const EngineInstance* instance) {
  if (!ValidIndex(index)) return nullptr;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_slots[index].get() != instance) return nullptr;
  return std::move(g_slots[index]);
}

std::shared_ptr<EngineInstance> InstanceRegistry::Get(int index) {
  if (!ValidIndex(index)) return nullptr;
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_slots[index];
}

}  // namespace kavex
