// Loads the engine the way a host does and drives every export through pointers of the declared
// calling conventions: engine-simdrivers.dll (the same engine with simulated drivers) for a whole
// lifetime, and engine.dll against this system's own devices, of which there are none.
#include <objbase.h>
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "export_table.h"

namespace {

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn* slot) {
  *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  EXPECT_NE(*slot, nullptr) << name << " is not exported under its plain name";
}

TEST(EngineDll, EveryExportResolvesByNameAndSurvivesThousandsOfCalls) {
  HMODULE module = LoadLibraryA("engine-simdrivers.dll");
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

int g_openResult = 99;
void KAVEX_STDCALL OnOpenResult(int, int value) { g_openResult = value; }

std::string StoredError() {
  char text[256] = {};
  DWORD size = sizeof text;
  if (RegGetValueA(HKEY_CURRENT_USER, "Software\\Kavex\\webcam", "erd", RRF_RT_REG_SZ, nullptr, text,
                   &size) != ERROR_SUCCESS)
    return std::string();
  return text;
}

void DeleteStoredError() { RegDeleteKeyValueA(HKEY_CURRENT_USER, "Software\\Kavex\\webcam", "erd"); }

TEST(EngineDll, WithoutTheVirtualDevicesOpenFailsAndSaysWhy) {
  // As a host does: COM is up on the thread that opens instance 0, which scans the capture devices.
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  DeleteStoredError();
  HMODULE module = LoadLibraryA("engine.dll");
  ASSERT_NE(module, nullptr) << GetLastError();
  ExportTable table;
  Resolve(module, "EInitialize", &table.EInitialize);
  Resolve(module, "EOpen", &table.EOpen);
  Resolve(module, "EUninitialize", &table.EUninitialize);
  if (::testing::Test::HasFailure()) return;
  table.EInitialize(1, &OnOpenResult);
  EXPECT_EQ(table.EOpen(), 0);
  EXPECT_EQ(g_openResult, -1) << "no virtual microphone";
  // The capture category holds nothing here: scan status 2 in the record's tag.
  const std::string stored = StoredError();
  EXPECT_EQ(stored.rfind("we:s.C0E", 0), 0u) << stored;
  ASSERT_GE(stored.size(), 6u);
  EXPECT_EQ(stored.substr(stored.size() - 6), "D2:318") << stored;
  table.EUninitialize(0);
  DeleteStoredError();
  EXPECT_TRUE(FreeLibrary(module));
  CoUninitialize();
}

}  // namespace
