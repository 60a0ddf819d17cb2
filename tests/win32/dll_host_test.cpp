// Loads the engine the way a host does and drives every export through pointers of the declared
// calling conventions: engine-simdrivers.dll (the same engine with simulated drivers) for a whole
// lifetime, and engine.dll against this system's own devices, of which there are none.
#include <objbase.h>
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "engine_library.h"
#include "export_table.h"

namespace {

TEST(EngineDll, EveryExportResolvesByNameAndSurvivesThousandsOfCalls) {
  testkit::EngineLibrary library;
  std::string error;
  ASSERT_TRUE(library.Load("engine-simdrivers.dll", &error)) << error;
  RunExportLifecycle(library.exports(), 3000);
  library.Unload();
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
  testkit::EngineLibrary library;
  std::string error;
  ASSERT_TRUE(library.Load("engine.dll", &error)) << error;
  const testkit::EngineExports& table = library.exports();
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
  library.Unload();
  CoUninitialize();
}

}  // namespace
