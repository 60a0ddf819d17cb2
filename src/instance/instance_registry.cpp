#include "instance/instance_registry.h"

#include <mutex>

#include "broker/camera_roster.h"
#include "broker/phone_broker.h"
#include "common/trace.h"
#include "instance/camera_table.h"
#include "instance/engine_instance.h"
#include "instance/teardown_reaper.h"
#include "platform/sync.h"

namespace kavex {

namespace {

platform::Mutex g_mutex;
// Never destroyed: an instance the host did not uninitialise must not be torn down (threads joined)
// by a static destructor while the library is being unloaded. Made at first use, inside an export's
// guard, rather than while the library loads, where running out of memory could not be caught.
std::shared_ptr<EngineInstance>* Slots() {
  static std::shared_ptr<EngineInstance>* const slots = new std::shared_ptr<EngineInstance>[InstanceRegistry::kSlots];
  return slots;
}

constexpr double kRefreshStaggerSeconds = 0.5;

bool ValidIndex(int index) { return index >= 0 && index < InstanceRegistry::kSlots; }

// The instances as the phone broker sees them.
class RegistryRoster final : public CameraRoster {
 public:
  std::vector<CameraSlot> Cameras() override {
    std::vector<CameraSlot> cameras(InstanceRegistry::kSlots);
    for (int i = 0; i < InstanceRegistry::kSlots; ++i) {
      if (const std::shared_ptr<EngineInstance> instance = InstanceRegistry::Get(i)) {
        cameras[i].exists = true;
        cameras[i].phone = instance->currentPhone();
        cameras[i].takesPhones = !instance->opened() || instance->workerRunning();
      }
    }
    return cameras;
  }
  void OnPhoneListChanged() override { InstanceRegistry::RefreshAll(); }
};

// The instances as each of them sees the others.
class RegistryCameras final : public CameraTable {
 public:
  void Enter(int index, std::shared_ptr<EngineInstance> instance) override {
    InstanceRegistry::Enter(index, std::move(instance));
  }
  std::shared_ptr<EngineInstance> Remove(int index, const EngineInstance* instance) override {
    return InstanceRegistry::Remove(index, instance);
  }
  void RefreshAll() override { InstanceRegistry::RefreshAll(); }
  void TearDownLater(std::function<void()> teardown) override { TeardownReaper::Run(std::move(teardown)); }
  void TakePhoneFromOthers(const PhoneConnector& taker, const PhoneId& phone) override {
    for (int i = 0; i < InstanceRegistry::kSlots; ++i) {
      std::shared_ptr<EngineInstance> other = InstanceRegistry::Get(i);
      if (other == nullptr || &other->connector() == &taker) continue;
      if (other->YieldPhone(phone))
        KAVEX_TRACE_INFO("instance", "camera %d: its phone was taken by camera %d", other->index(), taker.index());
    }
  }
};

}  // namespace

void InstanceRegistry::Enter(int index, std::shared_ptr<EngineInstance> instance) {
  if (!ValidIndex(index)) return;
  std::lock_guard<platform::Mutex> lock(g_mutex);
  Slots()[index] = std::move(instance);
}

std::shared_ptr<EngineInstance> InstanceRegistry::Remove(int index, const EngineInstance* instance) {
  if (!ValidIndex(index)) return nullptr;
  std::lock_guard<platform::Mutex> lock(g_mutex);
  if (Slots()[index].get() != instance) return nullptr;
  return std::move(Slots()[index]);
}

std::shared_ptr<EngineInstance> InstanceRegistry::Get(int index) {
  if (!ValidIndex(index)) return nullptr;
  std::lock_guard<platform::Mutex> lock(g_mutex);
  return Slots()[index];
}

void InstanceRegistry::RefreshAll() {
  for (int i = 0; i < kSlots; ++i) {
    if (std::shared_ptr<EngineInstance> instance = Get(i))
      instance->Push(EngineEvent::Refresh(kRefreshStaggerSeconds * i));
  }
}

PhoneBroker& InstanceRegistry::Broker() {
  // Never destroyed, like the slots: its discovery may still be running at unload.
  static RegistryRoster* const roster = new RegistryRoster;
  static PhoneBroker* const broker = new PhoneBroker(*roster);
  return *broker;
}

CameraTable& InstanceRegistry::Cameras() {
  // Never destroyed, like the slots it reaches.
  static RegistryCameras* const cameras = new RegistryCameras;
  return *cameras;
}

}  // namespace kavex
