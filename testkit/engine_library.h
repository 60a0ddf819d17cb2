#pragma once
// The engine as a host reaches it: a table of all fourteen exports and one of the seven preview
// functions. In the Windows build the tables are filled as any host fills them, LoadLibrary and
// then every export by its exported name through GetProcAddress, into pointers of the calling
// conventions the public header declares. In the
// native build there is no DLL: the table points at the engine linked into the program (which must
// then link the engine itself).
// Thread: the owner's. Owns the module handle; the engine must have been shut down (every instance
// uninitialised) before Unload or the destructor.
#include <string>

#include "kavex_engine.h"

namespace testkit {

using EngineExports = ::KavexEngineExports;
using PreviewExports = ::KavexPreviewExports;

constexpr int kExportCount = 14;
constexpr int kPreviewExportCount = 7;

// Calls visit(name, pointer) for each export of the table, in the table's order; the pointer is a
// reference of the export's own type.
template <typename Table, typename Visit>
void VisitExports(Table& e, Visit&& visit) {
  visit("EInitialize", e.EInitialize);
  visit("EOpen", e.EOpen);
  visit("EUninitialize", e.EUninitialize);
  visit("SetCallback", e.SetCallback);
  visit("SetIdleCallback", e.SetIdleCallback);
  visit("ButtonEvent", e.ButtonEvent);
  visit("EFocus", e.EFocus);
  visit("EFocusDistance", e.EFocusDistance);
  visit("ESetActiveIdx", e.ESetActiveIdx);
  visit("ESetBlank", e.ESetBlank);
  visit("ESetVideoFormat", e.ESetVideoFormat);
  visit("ESelectPhone", e.ESelectPhone);
  visit("ERefresh", e.ERefresh);
  visit("ESetPasscode", e.ESetPasscode);
}

// The same for the preview table, under the decorated stdcall names the DLL exports.
template <typename Table, typename Visit>
void VisitPreviewExports(Table& e, Visit&& visit) {
  visit("_SetSize@8", e.SetSize);
  visit("_SetAlpha@4", e.SetAlpha);
  visit("_SetNumDesiredSamples@4", e.SetNumDesiredSamples);
  visit("_SetAdapter@8", e.SetAdapter);
  visit("_GetBackBufferNoRef@4", e.GetBackBufferNoRef);
  visit("_Render@0", e.Render);
  visit("_Destroy@0", e.Destroy);
}

class EngineLibrary {
 public:
  EngineLibrary() = default;
  EngineLibrary(const EngineLibrary&) = delete;
  EngineLibrary& operator=(const EngineLibrary&) = delete;
  ~EngineLibrary() { Unload(); }

  // Windows: loads the DLL at `path` and resolves every export; on failure nothing stays loaded
  // and *error names the file and every missing export. Native: takes the linked engine, whatever
  // the path.
  bool Load(const std::string& path, std::string* error);
  void Unload();

  const EngineExports& exports() const { return exports_; }
  const PreviewExports& preview() const { return preview_; }

 private:
  void* module_ = nullptr;
  EngineExports exports_;
  PreviewExports preview_;
};

// Windows: a bare file name is taken from the folder of the running program (where the engine
// ships next to its host), not from the DLL search path; anything with a folder in it is used as
// given. Native: the name as given.
std::string EnginePathFor(const std::string& dll);

}  // namespace testkit
