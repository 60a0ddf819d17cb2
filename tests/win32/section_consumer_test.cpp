// The engine and a camera's consumers meet through real named objects: this program plays the
// consumer that publishes the camera section, loads engine-simdrivers.dll as a host would, and has
// a second process read what the engine wrote into the section.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "export_table.h"

namespace {

const char kSection0[] = "Global\\242C35CFE1974E5AB3C65625F6B417DD";
constexpr DWORD kSectionSize = 49865088;
constexpr DWORD kEngineAttached = 49862564;
constexpr DWORD kDemandedWidth = 49864172;
constexpr DWORD kDemandedHeight = 49864176;
constexpr DWORD kDemandedFps = 49864180;
constexpr DWORD kDemandedCode = 49864184;
constexpr DWORD kTableCapacity = 49864580;
constexpr DWORD kTableCount = 49864584;
constexpr DWORD kTableRows = 49864588;

int g_openResult = 99;
void KAVEX_STDCALL OnState(int, int value) { g_openResult = value; }

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn* slot) {
  *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  ASSERT_NE(*slot, nullptr) << name;
}

void PutU32(unsigned char* view, DWORD offset, unsigned int value) { memcpy(view + offset, &value, 4); }

// Runs the peer and returns its exit code.
int Peer(const std::string& checks) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string command = path;
  command = "\"" + command.substr(0, command.find_last_of("\\/") + 1) + "camera_section_peer.exe\" " +
            kSection0 + " " + checks;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return -1;
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

std::string Field(DWORD offset, unsigned int value) {
  return std::to_string(offset) + " " + std::to_string(value) + " ";
}

TEST(SectionConsumer, TheEngineAttachesPublishesItsFormatTableAndDetaches) {
  // The consumer's side of the section: layout 6, a table of two rows, 1280 × 720 YUY2 wanted.
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionSize, kSection0);
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  PutU32(view, 0, 6);
  PutU32(view, kDemandedWidth, 1280);
  PutU32(view, kDemandedHeight, 720);
  const float fps = 30.0f;
  memcpy(view + kDemandedFps, &fps, 4);
  PutU32(view, kDemandedCode, 1);
  PutU32(view, kTableCapacity, 2);

  HMODULE module = LoadLibraryA("engine-simdrivers.dll");
  ASSERT_NE(module, nullptr) << GetLastError();
  ExportTable e;
  Resolve(module, "EInitialize", &e.EInitialize);
  Resolve(module, "EOpen", &e.EOpen);
  Resolve(module, "EUninitialize", &e.EUninitialize);
  Resolve(module, "ESetVideoFormat", &e.ESetVideoFormat);
  ASSERT_FALSE(::testing::Test::HasFailure());

  e.EInitialize(1, &OnState);
  ASSERT_EQ(e.EOpen(), 0);
  EXPECT_EQ(g_openResult, 0);
  EXPECT_EQ(view[kEngineAttached], 1);
  EXPECT_EQ(Peer(Field(kEngineAttached, 1)), 0) << "another process sees the engine attached";

  // Preset 4 (1280 × 720) goes to the table at 30 and 60.06 frames a second.
  e.ESetVideoFormat(0, 4);
  EXPECT_EQ(Peer(Field(kTableCount, 2) + Field(kTableRows, 1280) + Field(kTableRows + 4, 720) +
                 Field(kTableRows + 8, 30000) + Field(kTableRows + 12, 0) +
                 Field(kTableRows + 16, 1280) + Field(kTableRows + 20, 720) +
                 Field(kTableRows + 24, 60060) + Field(kTableRows + 28, 0)),
            0);
  // Automatic empties the table.
  e.ESetVideoFormat(0, 0);
  EXPECT_EQ(Peer(Field(kTableCount, 0)), 0);

  e.EUninitialize(0);
  EXPECT_EQ(Peer(Field(kEngineAttached, 0)), 0) << "detached after close";
  EXPECT_EQ(view[kEngineAttached], 0);
  FreeLibrary(module);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
}

}  // namespace
