// The engine and a camera's consumers meet through real named objects: this program plays the
// consumer that publishes the camera section, loads engine-simdrivers.dll as a host would, and has
// a second process read what the engine wrote into the section.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "camera_section_layout.h"
#include "camera_section_peer.h"
#include "engine_library.h"
#include "named_section.h"

namespace {

namespace layout = testkit::camera_section;
constexpr size_t kTableRows = layout::kFormatTableRows;

int g_openResult = 99;
void KAVEX_STDCALL OnState(int, int value) { g_openResult = value; }

// Runs the peer and returns its exit code.
int Peer(const std::string& checks) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string command = path;
  command = "\"" + command.substr(0, command.find_last_of("\\/") + 1) + "camera_section_peer.exe\" 0 " + checks;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

std::string Field(size_t offset, unsigned int value) {
  return std::to_string(offset) + " " + std::to_string(value) + " ";
}

TEST(SectionConsumer, TheEngineAttachesPublishesItsFormatTableAndDetaches) {
  // The consumer's side of the section: layout 6, a table of two rows, 1280 × 720 YUY2 wanted.
  std::string error;
  const std::unique_ptr<testkit::NamedSection> section =
      testkit::NamedSection::CreateOrOpen(layout::SectionName(0), layout::kBytes, &error);
  ASSERT_NE(section, nullptr) << error;
  testkit::CameraSectionPeer peer(section->data());
  peer.SetFormatTableCapacity(2);
  peer.SetDemand({1280, 720, 30.0f, layout::kYuy2});
  peer.SetLayoutVersion(layout::kLayoutVersion);

  testkit::EngineLibrary library;
  ASSERT_TRUE(library.Load("engine-simdrivers.dll", &error)) << error;
  const testkit::EngineExports& e = library.exports();

  e.EInitialize(1, &OnState);
  ASSERT_EQ(e.EOpen(), 0);
  EXPECT_EQ(g_openResult, 0);
  EXPECT_TRUE(peer.EngineAttached());
  EXPECT_EQ(Peer(Field(layout::kEngineAttached, 1)), 0) << "another process sees the engine attached";

  // Preset 4 (1280 × 720) goes to the table at 30 and 60.06 frames a second.
  e.ESetVideoFormat(0, 4);
  EXPECT_EQ(Peer(Field(layout::kFormatTableCount, 2) + Field(kTableRows, 1280) + Field(kTableRows + 4, 720) +
                 Field(kTableRows + 8, 30000) + Field(kTableRows + 12, 0) + Field(kTableRows + 16, 1280) +
                 Field(kTableRows + 20, 720) + Field(kTableRows + 24, 60060) + Field(kTableRows + 28, 0)),
            0);
  // Automatic empties the table.
  e.ESetVideoFormat(0, 0);
  EXPECT_EQ(Peer(Field(layout::kFormatTableCount, 0)), 0);

  e.EUninitialize(0);
  EXPECT_EQ(Peer(Field(layout::kEngineAttached, 0)), 0) << "detached after close";
  EXPECT_FALSE(peer.EngineAttached());
}

}  // namespace
