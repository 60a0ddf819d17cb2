#include "engine_library.h"

#include <vector>

namespace kavexhost {
namespace {

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn* slot, std::vector<std::string>* missing) {
  *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*slot == nullptr) missing->push_back(name);
  return *slot != nullptr;
}

}  // namespace

EngineLibrary::~EngineLibrary() { Unload(); }

bool EngineLibrary::Load(const std::string& path, std::string* error) {
  Unload();
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  EngineExports found;
  std::vector<std::string> missing;
  Resolve(module, "EInitialize", &found.EInitialize, &missing);
  Resolve(module, "EOpen", &found.EOpen, &missing);
  Resolve(module, "EUninitialize", &found.EUninitialize, &missing);
  Resolve(module, "SetCallback", &found.SetCallback, &missing);
  Resolve(module, "SetIdleCallback", &found.SetIdleCallback, &missing);
  Resolve(module, "ButtonEvent", &found.ButtonEvent, &missing);
  Resolve(module, "EFocus", &found.EFocus, &missing);
  Resolve(module, "EFocusDistance", &found.EFocusDistance, &missing);
  Resolve(module, "ESetActiveIdx", &found.ESetActiveIdx, &missing);
  Resolve(module, "ESetBlank", &found.ESetBlank, &missing);
  Resolve(module, "ESetVideoFormat", &found.ESetVideoFormat, &missing);
  Resolve(module, "ESelectPhone", &found.ESelectPhone, &missing);
  Resolve(module, "ERefresh", &found.ERefresh, &missing);
  Resolve(module, "ESetPasscode", &found.ESetPasscode, &missing);
  if (!missing.empty()) {
    std::string names;
    for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
    *error = path + " lacks the export" + (missing.size() > 1 ? "s " : " ") + names;
    FreeLibrary(module);
    return false;
  }
  module_ = module;
  exports_ = found;
  return true;
}

void EngineLibrary::Unload() {
  if (module_ != nullptr) FreeLibrary(module_);
  module_ = nullptr;
  exports_ = EngineExports();
}

std::string EnginePathFor(const std::string& dll) {
  if (dll.find_first_of("\\/:") != std::string::npos) return dll;
  char program[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) return dll;
  std::string folder(program, length);
  const size_t slash = folder.find_last_of("\\/");
  if (slash == std::string::npos) return dll;
  return folder.substr(0, slash + 1) + dll;
}

}  // namespace kavexhost
