#include <windows.h>

#include "platform/module_pin.h"

namespace kavex::platform {

namespace {

// An address inside this module, whichever module that is.
void Anchor() {}

}  // namespace

bool ModulePin::Hold() {
  if (handle_ != nullptr) return true;
  HMODULE module = nullptr;
  // Without GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT: the load count goes up by one, as with
  // LoadLibrary, and FreeLibrary takes it down again.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Anchor), &module))
    return false;
  handle_ = module;
  return true;
}

void ModulePin::Release() {
  if (handle_ == nullptr) return;
  FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

}  // namespace kavex::platform
