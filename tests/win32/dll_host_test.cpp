// Loads the engine the way a host does and drives every export through pointers of the declared
// calling conventions: engine-simdrivers.dll (the same engine with simulated drivers) for a whole
// lifetime, and engine.dll against this system's own devices, of which there are none.
#include <windows.h>
#include <objbase.h>

#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine_library.h"
#include "export_table.h"
#include "process_figures.h"

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
  if (RegGetValueA(HKEY_CURRENT_USER, "Software\\Kavex\\webcam", "erd", RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS)
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

// A host that unloads the engine with a camera still initialised: the engine keeps itself loaded
// while the camera's threads run in it; once the last camera is uninitialised, the host's
// FreeLibrary unloads it for real.
TEST(EngineDll, StaysLoadedWhileACameraExistsAndGoesWithTheLast) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  const std::string path = testkit::EnginePathFor("engine-simdrivers.dll");
  ASSERT_EQ(GetModuleHandleA(path.c_str()), nullptr) << "loaded before the test";
  HMODULE module = LoadLibraryA(path.c_str());
  ASSERT_NE(module, nullptr);
  const auto initialize =
      reinterpret_cast<EInitializeFn>(reinterpret_cast<void*>(GetProcAddress(module, "EInitialize")));
  const auto open = reinterpret_cast<EOpenFn>(reinterpret_cast<void*>(GetProcAddress(module, "EOpen")));
  const auto uninitialize =
      reinterpret_cast<EUninitializeFn>(reinterpret_cast<void*>(GetProcAddress(module, "EUninitialize")));
  ASSERT_TRUE(initialize != nullptr && open != nullptr && uninitialize != nullptr);
  initialize(1, &OnOpenResult);
  EXPECT_EQ(open(), 0);

  FreeLibrary(module);
  EXPECT_EQ(GetModuleHandleA(path.c_str()), module) << "unloaded under a running camera";
  Sleep(1500);  // the camera's threads go on in the module; the process must survive them

  // Loaded again, the host reaches the same engine and ends the camera as it should have.
  HMODULE again = LoadLibraryA(path.c_str());
  EXPECT_EQ(again, module);
  uninitialize(0);
  FreeLibrary(again);
  EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr) << "still loaded after the last camera went";
  DeleteStoredError();
  CoUninitialize();
}

// A host thread that drove a camera's whole life and outlives the engine's unload (a host's worker
// or UI thread) keeps nothing of that load: no handle of a thread that ended, and no more events
// than the toolchain's own unload leaves on the unloading thread. (Measured under Wine with a
// two-line DLL of this toolchain that throws once: each unload leaves the unloading thread a
// handle of itself and an event, and each load an event.) Nor does the process keep the engine's
// memory: a 32-bit host that loads the engine again and again runs out of address space, and then
// of room for a camera's pictures (the preview's 32 MiB picture was once kept for good per load).
TEST(EngineDll, AHostThreadThatOutlivesTheEngineKeepsNothingOfIt) {
  constexpr int kLoads = 3;
  constexpr int64_t kToolchainEventsPerLoad = 2, kToolchainRunningThreadsPerLoad = 1;
  // The toolchain's thread left running per load reserves its stack.
  constexpr int64_t kRoomMiBPerLoad = 4;
  std::map<std::string, int64_t> afterFirst;
  int64_t roomAfterFirst = 0;
  for (int load = 0; load < kLoads; ++load) {
    testkit::EngineLibrary library;
    std::string error;
    ASSERT_TRUE(library.Load("engine-simdrivers.dll", &error)) << error;
    HANDLE unloaded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread host([&] {
      RunExportLifecycle(library.exports(), 20, [&] { library.preview().Render(); });
      SetEvent(done);
      WaitForSingleObject(unloaded, INFINITE);
    });
    WaitForSingleObject(done, INFINITE);
    library.Unload();
    SetEvent(unloaded);
    host.join();
    CloseHandle(unloaded);
    CloseHandle(done);
    if (load == 0) {
      afterFirst = soak::HandlesByKind();
      roomAfterFirst = soak::AddressRoom(1);
    }
  }
  EXPECT_GE(soak::AddressRoom(1), roomAfterFirst - kRoomMiBPerLoad * (kLoads - 1)) << "MiB of address space left";
  int64_t events = 0, running = 0, ended = 0;
  std::string kinds;
  for (const auto& [kind, count] : soak::HandlesByKind()) {
    const auto was = afterFirst.find(kind);
    const int64_t grew = count - (was == afterFirst.end() ? 0 : was->second);
    if (grew == 0) continue;
    kinds += " " + kind + " " + std::to_string(grew);
    if (kind == "Event") events += grew;
    if (kind.rfind("Thread(", 0) == 0) (kind.find(", running)") != std::string::npos ? running : ended) += grew;
  }
  EXPECT_EQ(ended, 0) << "handles of host threads that ended:" << kinds;
  EXPECT_LE(events, kToolchainEventsPerLoad * (kLoads - 1)) << kinds;
  EXPECT_LE(running, kToolchainRunningThreadsPerLoad * (kLoads - 1)) << kinds;
}

}  // namespace
