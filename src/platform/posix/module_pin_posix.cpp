#include <dlfcn.h>

#include "platform/module_pin.h"

namespace kavex::platform {

namespace {

// An address inside this shared object, or inside the program when the engine is linked in.
void Anchor() {}

}  // namespace

bool ModulePin::Hold() {
  if (handle_ != nullptr) return true;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0 || info.dli_fname == nullptr) return false;
  // RTLD_NOLOAD: a reference on the object already loaded, never a second copy of it.
  handle_ = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  return handle_ != nullptr;
}

void ModulePin::Release() {
  if (handle_ == nullptr) return;
  dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace kavex::platform
