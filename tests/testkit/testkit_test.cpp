// The test kit plays the outside world: the camera section as its consumer sees it (from the camera
// contract the engine shares) and the export list as a host loads it. Here, the one place where the
// kit and the engine's own code meet, the two are held together. The last case opens the engine (linked in natively;
// engine-simdrivers.dll loaded through the kit under Windows) on sections published under the kit's names.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "camera_section_layout.h"
#include "camera_section_peer.h"
#include "engine_library.h"
#include "output/camera_section.h"
#include "output/frame_slot.h"
#include "png_writer.h"
#include "wire_records.h"
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>
#ifdef _WIN32
#include <windows.h>

#include "named_section.h"
#else
#include "platform/named_objects.h"
#endif

namespace {

namespace kit = testkit::camera_section;
namespace engine = kavex::camera_section;
using kavex::FrameSlot;

// The layout itself is the one camera contract both sides compile against; the kit's names answer
// only for the four cameras.
TEST(KitLayout, NamesOnlyForTheFourCameras) {
  for (int camera = 0; camera < kit::kCameras; ++camera) {
    EXPECT_NE(kit::SectionName(camera), nullptr);
    EXPECT_NE(kit::EventName(camera), nullptr);
    EXPECT_NE(kit::MutexName(camera), nullptr);
  }
  EXPECT_EQ(kit::SectionName(kit::kCameras), nullptr);
  EXPECT_EQ(kit::SectionName(-1), nullptr);
  EXPECT_EQ(kit::MutexName(kit::kCameras), nullptr);
}

// The peer and the engine's accessors on one memory: what the consumer writes is what the engine
// reads, and the other way round.
TEST(KitLayout, ThePeerAndTheEngineReadEachOthersFields) {
  std::vector<uint8_t> memory(kit::kBytes + 8);
  // Page-aligned like a mapped view; 8 bytes is all the 32-bit fields need.
  uint8_t* view = memory.data() + (8 - reinterpret_cast<uintptr_t>(memory.data()) % 8) % 8;
  testkit::CameraSectionPeer peer(view);
  FrameSlot slot1(view + engine::kSlot1);
  slot1.SetReady(true);
  peer.Publish({1280, -720, 29.97f, kit::kArgb});
  EXPECT_FALSE(slot1.ready()) << "a stale picture is freed";
  EXPECT_EQ(engine::ReadU32(view, engine::kVersion), 6u);
  EXPECT_EQ(engine::ReadU32(view, engine::kConsumerCount), 1u);
  EXPECT_EQ(engine::ReadU32(view, engine::kDemandedWidth), 1280u);
  EXPECT_EQ(engine::ReadI32(view, engine::kDemandedHeight), -720);
  EXPECT_EQ(engine::ReadF32(view, engine::kDemandedFps), 29.97f);
  EXPECT_EQ(engine::ReadU32(view, engine::kDemandedCode), 3u);
  peer.SetControls(7, 1);
  EXPECT_EQ(engine::ReadU32(view, engine::kControlValue), 7u);
  EXPECT_EQ(engine::ReadU32(view, engine::kControlFlag), 1u);

  engine::WriteByte(view, engine::kEngineAttached, 1);
  engine::WriteU32(view, engine::kFormatTableCount, 2);
  engine::WriteU32(view, engine::kFormatTableRows + engine::kFormatTableRowBytes + 8, 60060);
  EXPECT_TRUE(peer.EngineAttached());
  EXPECT_EQ(peer.FormatTableCount(), 2u);
  EXPECT_EQ(peer.FormatTableRowAt(1).fpsMilli, 60060u);

  // The engine fills slot 1, then slot 0 later: the consumer takes the older first and frees it.
  FrameSlot slot0(view + engine::kSlot0);
  slot1.data()[0] = 0x5a;
  slot1.SetLength(4);
  slot1.SetTime(1.5f);
  slot1.SetReady(true);
  slot0.SetTime(2.0f);
  slot0.SetReady(true);
  ASSERT_EQ(peer.OldestReady(), 1);
  std::vector<uint8_t> bytes;
  testkit::SlotPicture picture;
  ASSERT_TRUE(peer.Take(1, 4, &bytes, &picture));
  EXPECT_EQ(bytes[0], 0x5a);
  EXPECT_EQ(picture.length, 4u);
  EXPECT_EQ(picture.time, 1.5f);
  EXPECT_FALSE(slot1.ready());
  EXPECT_EQ(peer.OldestReady(), 0);
  EXPECT_FALSE(peer.Take(1, 4, &bytes, &picture));
}

TEST(KitWireRecords, DecodeOnlyWholeMessagesOfTheirType) {
  namespace wr = testkit::wire_records;
  // Type 11, 24 bytes: H.264 at 1280 × 720.
  const std::string request =
      "1800000b"
      "01000000"
      "01000000"
      "00050000"
      "d0020000"
      "1e000000";
  const auto format = wr::DecodeFormatRequest(request);
  ASSERT_TRUE(format);
  EXPECT_EQ(format->codec, 1u);
  EXPECT_EQ(format->width, 1280u);
  EXPECT_EQ(format->height, 720u);
  EXPECT_FALSE(wr::DecodeFormatRequest(request.substr(0, 40))) << "short";
  EXPECT_FALSE(wr::DecodeAcknowledgement(request)) << "another type";
  EXPECT_FALSE(wr::DecodeFormatRequest(request.substr(0, 47) + "g")) << "not hex";
  // Type 9: timestamp 1.0, decode 0.5, delivery 0.25.
  const auto ack = wr::DecodeAcknowledgement(
      "10000009"
      "0000803f"
      "0000003f"
      "0000803e");
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->timestamp, 1.0f);
  EXPECT_EQ(ack->decodeSeconds, 0.5f);
  EXPECT_EQ(ack->deliverySeconds, 0.25f);
  std::string report =
      "0c01000c"
      "0c000000"
      "0e000000"
      "77653a733a363733";  // "we:s:673"
  report.resize(2 * 268, '0');
  EXPECT_EQ(wr::DecodeErrorReport(report), std::string("we:s:673"));
}

TEST(KitEngine, TheLoaderFindsEveryExport) {
  testkit::EngineLibrary library;
  std::string error;
#ifdef _WIN32
  EXPECT_FALSE(library.Load("no-such-engine.dll", &error));
  EXPECT_NE(error.find("no-such-engine.dll"), std::string::npos) << error;
  // A DLL without the exports: every missing one is named, and nothing stays loaded.
  EXPECT_FALSE(library.Load("kernel32.dll", &error));
  EXPECT_NE(error.find("EInitialize, EOpen"), std::string::npos) << error;
  EXPECT_NE(error.find("ESetPasscode"), std::string::npos) << error;
  EXPECT_EQ(library.exports().EInitialize, nullptr);
  ASSERT_TRUE(library.Load(testkit::EnginePathFor("engine.dll"), &error)) << error;
#else
  ASSERT_TRUE(library.Load("engine", &error)) << error;
  // The module definition is the single list of exports: the kit's table names all the engine's,
  // in order (the usbmux client's and libplist's follow them under their libraries' names, the
  // preview's under their stdcall names).
  std::ifstream def(KAVEX_ENGINE_DEF);
  std::vector<std::string> defined;
  std::vector<std::string> definedPreview;
  std::string line;
  while (std::getline(def, line)) {
    std::istringstream words(line.substr(0, line.find(';')));
    std::string word;
    while (words >> word) {
      const bool library =
          word.rfind("usbmuxd_", 0) == 0 || word.rfind("libusbmuxd_", 0) == 0 || word.rfind("plist_", 0) == 0;
      // The preview's stdcall functions: "_SetSize@8 = SetSize@8", the exported name first.
      if (word.rfind('_', 0) == 0 && word.find('@') != std::string::npos) {
        definedPreview.push_back(word);
        continue;
      }
      const bool preview = word == "=" || word.find('@') != std::string::npos;
      if (word != "LIBRARY" && word != "EXPORTS" && word.find('.') == std::string::npos && !library && !preview)
        defined.push_back(word);
    }
  }
  std::vector<std::string> listed;
  testkit::VisitExports(library.exports(), [&](const char* name, auto) { listed.emplace_back(name); });
  EXPECT_EQ(listed, defined);
  std::vector<std::string> listedPreview;
  testkit::VisitPreviewExports(library.preview(), [&](const char* name, auto) { listedPreview.emplace_back(name); });
  EXPECT_EQ(listedPreview, definedPreview);
#endif
  int found = 0;
  const auto count = [&](const char* name, auto pointer) {
    EXPECT_NE(pointer, nullptr) << name;
    found += pointer != nullptr;
  };
  testkit::VisitExports(library.exports(), count);
  testkit::VisitPreviewExports(library.preview(), count);
  EXPECT_EQ(found, testkit::kExportCount + testkit::kPreviewExportCount);
}

// A section's memory under a camera's name: mapped by the kit as another process would under
// Windows, from the engine's own table natively.
struct PublishedSection {
#ifdef _WIN32
  std::unique_ptr<testkit::NamedSection> memory;
#else
  std::unique_ptr<kavex::platform::SharedSection> memory;
#endif
  uint8_t* data() const { return memory->data(); }
};

PublishedSection Publish(int camera) {
  PublishedSection section;
#ifdef _WIN32
  std::string error;
  section.memory = testkit::NamedSection::CreateOrOpen(kit::SectionName(camera), kit::kBytes, &error);
  EXPECT_NE(section.memory, nullptr) << error;
#else
  uint32_t error = 0;
  section.memory = kavex::platform::SharedSection::CreateOrOpen(kit::SectionName(camera), kit::kBytes, &error);
  EXPECT_NE(section.memory, nullptr) << error;
#endif
  if (section.memory != nullptr) testkit::CameraSectionPeer(section.data()).Publish({640, 360, 30.0f, kit::kYuy2});
  return section;
}

std::vector<int> g_openResults;
void KAVEX_STDCALL OnState(int, int value) { g_openResults.push_back(value); }

TEST(KitEngine, EachCameraOpensTheSectionAndObjectsOfTheKitsNames) {
  PublishedSection sections[kit::kCameras];
  for (int camera = 0; camera < kit::kCameras; ++camera) {
    sections[camera] = Publish(camera);
    ASSERT_NE(sections[camera].memory, nullptr);
  }
  testkit::EngineLibrary library;
  std::string error;
  ASSERT_TRUE(library.Load(testkit::EnginePathFor("engine-simdrivers.dll"), &error)) << error;
  const testkit::EngineExports& e = library.exports();
  e.EInitialize(kit::kCameras, &OnState);
  for (int camera = 0; camera < kit::kCameras; ++camera) {
    g_openResults.clear();
    EXPECT_EQ(e.EOpen(), camera);
    EXPECT_EQ(g_openResults, std::vector<int>{0}) << "camera " << camera;
    EXPECT_TRUE(testkit::CameraSectionPeer(sections[camera].data()).EngineAttached()) << "camera " << camera;
#ifdef _WIN32
    // The driver's side opens the engine's mutex and event by these names.
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kit::MutexName(camera));
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, kit::EventName(camera));
    EXPECT_NE(mutex, nullptr) << kit::MutexName(camera);
    EXPECT_NE(event, nullptr) << kit::EventName(camera);
    if (mutex != nullptr) CloseHandle(mutex);
    if (event != nullptr) CloseHandle(event);
#endif
  }
  for (int camera = kit::kCameras - 1; camera >= 0; --camera) {
    e.EUninitialize(camera);
    EXPECT_FALSE(testkit::CameraSectionPeer(sections[camera].data()).EngineAttached()) << "camera " << camera;
  }
}

// The pictures people look at: read back by a decoder, each pixel where it was written, top row
// first; nothing written for an empty picture or where no file can be made.
TEST(PngWriter, APictureReadsBackPixelForPixel) {
  const std::string path = ::testing::TempDir() + "png_writer_test.png";
  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255,  // top row: red, green, blue
                                    1,   2, 3, 4, 5,   6, 7, 8, 9};
  ASSERT_TRUE(png_writer::WriteRgb(path, 3, 2, rgb.data()));
  int width = 0;
  int height = 0;
  int channels = 0;
  stbi_uc* decoded = stbi_load(path.c_str(), &width, &height, &channels, 3);
  ASSERT_NE(decoded, nullptr) << stbi_failure_reason();
  EXPECT_EQ(width, 3);
  EXPECT_EQ(height, 2);
  EXPECT_EQ(std::vector<uint8_t>(decoded, decoded + rgb.size()), rgb);
  stbi_image_free(decoded);
  std::remove(path.c_str());
  EXPECT_FALSE(png_writer::WriteRgb(path, 0, 2, rgb.data()));
  EXPECT_FALSE(png_writer::WriteRgb(::testing::TempDir() + "no-such-folder/x.png", 3, 2, rgb.data()));
}

}  // namespace
