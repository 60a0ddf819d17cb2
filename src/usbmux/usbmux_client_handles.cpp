#include "usbmux/usbmux_client_handles.h"

#include <cerrno>
#include <climits>
#include "platform/sync.h"

namespace kavex::usbmux {

HandleTable& HandleTable::Instance() {
  static HandleTable* const table = new HandleTable();
  return *table;
}

int HandleTable::Add(std::shared_ptr<DeviceStream> stream) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  if (open_.size() >= kMaxOpen) return -EMFILE;
  // 0 is a valid handle for the interface, but callers of descriptors often take it for "none".
  while (open_.count(next_) != 0) next_ = next_ == INT_MAX ? 1 : next_ + 1;
  const int handle = next_;
  next_ = next_ == INT_MAX ? 1 : next_ + 1;
  open_.emplace(handle, std::move(stream));
  return handle;
}

std::shared_ptr<DeviceStream> HandleTable::Find(int handle) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  const auto found = open_.find(handle);
  return found == open_.end() ? nullptr : found->second;
}

std::shared_ptr<DeviceStream> HandleTable::Remove(int handle) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  const auto found = open_.find(handle);
  if (found == open_.end()) return nullptr;
  std::shared_ptr<DeviceStream> stream = std::move(found->second);
  open_.erase(found);
  return stream;
}

}  // namespace kavex::usbmux
