// The preview surface on real Direct3D 9 (Wine's, on an X server): the host's calls as a host makes
// them, the render target read back and compared with the picture the preview buffer held.
// Runs through scripts/wine-display.sh, which gives it a display.
#include <windows.h>
// after windows.h
#include <d3d9.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine_library.h"
#include "kavex_engine.h"
#include "output/preview_buffer.h"
#include "render_target.h"

namespace {

using kavex::PreviewBuffer;

// Fills the preview buffer as the frame delivery does: width x height, 4 bytes a pixel (B, G, R, A),
// each quarter of the picture one colour.
constexpr uint32_t kQuarters[4] = {0x00ff0000, 0x0000ff00, 0x000000ff, 0x00ffffff};  // X8R8G8B8
uint32_t QuarterAt(int x, int y, int width, int height) { return kQuarters[(y >= height / 2) * 2 + (x >= width / 2)]; }

bool FillPreview(int width, int height) {
  PreviewBuffer* buffer = PreviewBuffer::Get();
  if (buffer == nullptr || !buffer->Claim()) return false;
  uint8_t* pixels = buffer->pixels();
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t colour = QuarterAt(x, y, width, height);
      uint8_t* pixel = pixels + (static_cast<size_t>(y) * width + x) * 4;
      pixel[0] = static_cast<uint8_t>(colour);
      pixel[1] = static_cast<uint8_t>(colour >> 8);
      pixel[2] = static_cast<uint8_t>(colour >> 16);
      pixel[3] = 0xff;
    }
  }
  buffer->Publish(width, height);
  return true;
}

IDirect3DSurface9* BackBuffer() {
  void* surface = nullptr;
  const int32_t result = GetBackBufferNoRef(&surface);
  EXPECT_EQ(result, S_OK);
  return static_cast<IDirect3DSurface9*>(surface);
}

D3DSURFACE_DESC Describe(IDirect3DSurface9* surface) {
  D3DSURFACE_DESC desc{};
  surface->GetDesc(&desc);
  return desc;
}

// The render target's pixels, through a system-memory copy.
std::vector<uint32_t> ReadBack(IDirect3DSurface9* target) {
  testkit::RenderTargetPixels read;
  std::string error;
  EXPECT_TRUE(testkit::ReadRenderTarget(target, &read, &error)) << error;
  return read.pixels;
}

// Every pixel of the target against the picture scaled to it (nearest neighbour); pixels on the
// quarters' borders may fall either way.
int Mismatches(const std::vector<uint32_t>& pixels, int width, int height) {
  int wrong = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool border = std::abs(2 * x - width) <= 2 || std::abs(2 * y - height) <= 2;
      if (!border && (pixels[static_cast<size_t>(y) * width + x] & 0x00ffffff) != QuarterAt(x, y, width, height))
        ++wrong;
    }
  }
  return wrong;
}

class PreviewSurface : public ::testing::Test {
 protected:
  void TearDown() override {
    Destroy();
    if (PreviewBuffer* buffer = PreviewBuffer::Get()) buffer->MarkPreviewEmpty();
  }
};

TEST_F(PreviewSurface, TheTargetStartsAsA1024SquareAndChangesOnlyWithTheSettings) {
  IDirect3DSurface9* first = BackBuffer();
  ASSERT_NE(first, nullptr);
  D3DSURFACE_DESC desc = Describe(first);
  EXPECT_EQ(desc.Width, 1024u);
  EXPECT_EQ(desc.Height, 1024u);
  EXPECT_EQ(desc.Format, D3DFMT_X8R8G8B8);
  EXPECT_EQ(desc.MultiSampleType, D3DMULTISAMPLE_NONE);

  EXPECT_EQ(SetSize(1024, 1024), S_OK);
  EXPECT_EQ(SetAdapter(-100000, -100000), S_OK) << "a point outside every monitor";
  EXPECT_EQ(BackBuffer(), first) << "nothing changed: the same surface";

  EXPECT_EQ(SetSize(320, 240), S_OK);
  EXPECT_EQ(SetNumDesiredSamples(4), S_OK);
  IDirect3DSurface9* resized = BackBuffer();
  ASSERT_NE(resized, nullptr);
  desc = Describe(resized);
  EXPECT_EQ(desc.Width, 320u);
  EXPECT_EQ(desc.Height, 240u);
  // Four samples stay only where the extended device supports them; otherwise none.
  EXPECT_TRUE(desc.MultiSampleType == D3DMULTISAMPLE_NONE || desc.MultiSampleType == D3DMULTISAMPLE_4_SAMPLES);
  std::printf("[ preview ] 4 samples asked: %d given\n", static_cast<int>(desc.MultiSampleType));

  for (uint32_t samples : {1u, 17u}) {  // one sample is none; seventeen is no sample type at all
    EXPECT_EQ(SetNumDesiredSamples(samples), S_OK);
    EXPECT_EQ(Describe(BackBuffer()).MultiSampleType, D3DMULTISAMPLE_NONE) << samples;
  }

  EXPECT_EQ(SetAlpha(1), S_OK);
  EXPECT_EQ(Describe(BackBuffer()).Format, D3DFMT_A8R8G8B8);
}

TEST_F(PreviewSurface, RenderDrawsTheWaitingPictureScaledAndEmptiesTheBuffer) {
  ASSERT_EQ(SetSize(128, 96), S_OK);
  IDirect3DSurface9* target = BackBuffer();
  ASSERT_NE(target, nullptr);
  for (const auto& size : {std::pair<int, int>{32, 24}, {64, 64}}) {
    SCOPED_TRACE(std::to_string(size.first) + "x" + std::to_string(size.second));
    ASSERT_TRUE(FillPreview(size.first, size.second));
    EXPECT_EQ(Render(), S_OK);
    EXPECT_FALSE(PreviewBuffer::Get()->full()) << "drawn: the buffer is free again";
    const std::vector<uint32_t> pixels = ReadBack(target);
    ASSERT_EQ(pixels.size(), 128u * 96u);
    EXPECT_EQ(Mismatches(pixels, 128, 96), 0);
  }
  // Nothing waits: nothing is drawn over the last picture.
  const std::vector<uint32_t> before = ReadBack(target);
  EXPECT_EQ(Render(), S_OK);
  EXPECT_EQ(ReadBack(target), before);
}

TEST_F(PreviewSurface, ADisplayChangeGivesNoSurfaceOnceThenEverythingIsMadeAgain) {
  ASSERT_NE(BackBuffer(), nullptr);
  HWND window = FindWindowW(L"99E0F3C2AFD54D", nullptr);
  ASSERT_NE(window, nullptr) << "the hidden window";
  SendMessageW(window, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
  EXPECT_EQ(BackBuffer(), nullptr) << "the host asks again";
  IDirect3DSurface9* rebuilt = BackBuffer();
  ASSERT_NE(rebuilt, nullptr);
  ASSERT_TRUE(FillPreview(16, 16));
  EXPECT_EQ(Render(), S_OK);
  EXPECT_EQ(Mismatches(ReadBack(rebuilt), 1024, 1024), 0);

  Destroy();
  EXPECT_EQ(FindWindowW(L"99E0F3C2AFD54D", nullptr), nullptr) << "Destroy takes the window";
  EXPECT_EQ(SetSize(64, 64), S_OK);
  IDirect3DSurface9* afresh = BackBuffer();
  ASSERT_NE(afresh, nullptr);
  EXPECT_EQ(Describe(afresh).Width, 64u);
}

// A host that takes the surface on its interface thread and destroys the preview from another, or
// unloads the engine before Destroy: the hidden window must go with Destroy whichever thread calls
// it, and the engine must stay loaded while the window lives, or the next message to the window
// (a display change, another program's broadcast) runs code that is no longer there.
TEST(PreviewWindow, GoesWithDestroyFromAnyThreadAndKeepsTheEngineLoadedUntilThen) {
  const wchar_t kClass[] = L"99E0F3C2AFD54D";
  ASSERT_EQ(FindWindowW(kClass, nullptr), nullptr);
  const std::string path = testkit::EnginePathFor("engine.dll");
  ASSERT_EQ(GetModuleHandleA(path.c_str()), nullptr) << "loaded before the test";
  HMODULE module = LoadLibraryA(path.c_str());
  ASSERT_NE(module, nullptr);
  const auto getBackBuffer =
      reinterpret_cast<GetBackBufferNoRefFn>(reinterpret_cast<void*>(GetProcAddress(module, "_GetBackBufferNoRef@4")));
  ASSERT_NE(getBackBuffer, nullptr);

  // The host's interface thread: takes the surface, then never pumps again (nor ends) until told.
  HANDLE finish = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int32_t> result{-1};
  std::atomic<bool> asked{false};
  void* surface = nullptr;
  std::thread host([getBackBuffer, finish, &result, &asked, &surface] {
    result.store(getBackBuffer(&surface));
    asked.store(true);
    WaitForSingleObject(finish, INFINITE);
  });
  for (int i = 0; i < 500 && !asked.load(); ++i) Sleep(10);
  ASSERT_TRUE(asked.load());
  EXPECT_EQ(result.load(), S_OK);
  EXPECT_NE(surface, nullptr);
  HWND window = FindWindowW(kClass, nullptr);
  EXPECT_NE(window, nullptr);

  FreeLibrary(module);  // the host lets go of the engine with the preview still up
  if (GetModuleHandleA(path.c_str()) != module) {
    ADD_FAILURE() << "unloaded while its window lives";
    host.detach();  // its window's procedure is gone: the thread must never touch it again
    return;
  }
  // A display change now runs the window's procedure, answered although the host's thread waits.
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutW(window, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768), SMTO_NORMAL, 1000, &answer), 0);
  // The host's reference again, for its last call, made from a thread that is not the first one.
  module = LoadLibraryA(path.c_str());
  const auto destroy = reinterpret_cast<DestroyFn>(reinterpret_cast<void*>(GetProcAddress(module, "_Destroy@0")));
  ASSERT_NE(destroy, nullptr);
  destroy();
  EXPECT_EQ(FindWindowW(kClass, nullptr), nullptr) << "Destroy from another thread left the window";
  FreeLibrary(module);
  EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr) << "still loaded after Destroy";
  SetEvent(finish);
  host.join();
  CloseHandle(finish);
}

// One Render at 1280 x 720 (the copy into the staging surface and the StretchRect), a figure for
// the notes; not a pass/fail.
TEST_F(PreviewSurface, CostOfOneRenderAt720p) {
  ASSERT_EQ(SetSize(1280, 720), S_OK);
  ASSERT_NE(BackBuffer(), nullptr);
  std::vector<double> ms;
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(FillPreview(1280, 720));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Render(), S_OK);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("[ preview ] Render 1280x720: median %.2f ms, max %.2f ms (30 renders)\n", ms[ms.size() / 2], ms.back());
}

}  // namespace
