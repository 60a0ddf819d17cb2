#pragma once
#include <utility>

namespace kavex::platform {

// A reference on the module that holds the engine's code, so that a host unloading it while
// cameras still run (their threads inside it) does not unmap that code. On Windows the module's
// load count is raised through an address inside it (the DLL when the engine is a DLL, the program
// when it is linked in); natively the shared object is referenced with dlopen the same way.
// Thread: any; the owner calls Release once for each successful Hold.
class ModulePin {
 public:
  ModulePin() = default;
  ModulePin(const ModulePin&) = delete;
  ModulePin& operator=(const ModulePin&) = delete;
  ModulePin(ModulePin&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  ModulePin& operator=(ModulePin&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  // Dropping a held pin without Release keeps the module loaded: the safe side.
  ~ModulePin() = default;

  // False when the module could not be referenced (the engine then runs unpinned, as before).
  bool Hold();
  // Lets go of the reference. Never from code that may be the last user of the module while it
  // returns into it: the host's own reference keeps it mapped while it calls the engine.
  void Release();
  bool held() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

}  // namespace kavex::platform
