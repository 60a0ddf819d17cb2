#pragma once
#include <memory>
#include <mutex>

#include "output/virtual_camera_output.h"
#include "platform/sync.h"

namespace kavex {

// The instance's output, shared: a caller on any thread keeps it alive for as long as it uses it,
// so a teardown running meanwhile never frees it under that caller (the last holder closes it).
// Thread: any.
class SharedOutput {
 public:
  std::shared_ptr<VirtualCameraOutput> Get() const {
    std::lock_guard<platform::Mutex> lock(mutex_);
    return output_;
  }
  void Set(std::shared_ptr<VirtualCameraOutput> output) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    output_ = std::move(output);
  }
  std::shared_ptr<VirtualCameraOutput> Take() {
    std::lock_guard<platform::Mutex> lock(mutex_);
    return std::move(output_);
  }
  // The camera goes back to the placeholder with empty slots: the phone's stream is over.
  void ShowPlaceholder() const {
    if (const std::shared_ptr<VirtualCameraOutput> output = Get()) {
      output->SetStreaming(false);
      output->ClearFrameSlots();
    }
  }

 private:
  mutable platform::Mutex mutex_;
  std::shared_ptr<VirtualCameraOutput> output_;
};

}  // namespace kavex
