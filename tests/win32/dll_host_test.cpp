// Loads engine.dll the way a host does and drives every export through pointers of the declared
// calling conventions.
#include <windows.h>

#include <gtest/gtest.h>

#include "export_table.h"

namespace {

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn* slot) {
  *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  EXPECT_NE(*slot, nullptr) << name << " is not exported under its plain name";
}

TEST(EngineDll, EveryExportResolvesByNameAndSurvivesThousandsOfCalls) {
  HMODULE module = LoadLibraryA("engine.dll");
  ASSERT_NE(module, nullptr) << "LoadLibrary failed: " << GetLastError();

  ExportTable table;
  Resolve(module, "EInitialize", &table.EInitialize);
  Resolve(module, "EOpen", &table.EOpen);
  Resolve(module, "EUninitialize", &table.EUninitialize);
  Resolve(module, "SetCallback", &table.SetCallback);
  Resolve(module, "SetIdleCallback", &table.SetIdleCallback);
  Resolve(module, "ButtonEvent", &table.ButtonEvent);
  Resolve(module, "EFocus", &table.EFocus);
  Resolve(module, "EFocusDistance", &table.EFocusDistance);
  Resolve(module, "ESetActiveIdx", &table.ESetActiveIdx);
  Resolve(module, "ESetBlank", &table.ESetBlank);
  Resolve(module, "ESetVideoFormat", &table.ESetVideoFormat);
  Resolve(module, "ESelectPhone", &table.ESelectPhone);
  Resolve(module, "ERefresh", &table.ERefresh);
  Resolve(module, "ESetPasscode", &table.ESetPasscode);
  if (::testing::Test::HasFailure()) return;

  RunExportLifecycle(table, 3000);
  EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
