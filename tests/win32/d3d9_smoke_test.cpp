// Direct3D 9 as the camera preview will meet it: the device the host hands us a render target on,
// a picture uploaded through a locked offscreen surface and stretched onto the target, read back.
// Under Wine this needs a real display (scripts/wine-display.sh); with the null display driver
// the device cannot be made, which this program reports as a failure, not a skip.
#include <windows.h>

#include <d3d9.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Create9Fn = IDirect3D9*(WINAPI*)(UINT);
using Create9ExFn = HRESULT(WINAPI*)(UINT, IDirect3D9Ex**);

constexpr DWORD kBehaviour = D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_MULTITHREADED | D3DCREATE_FPU_PRESERVE;

template <typename T>
void Release(T*& p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

std::string Hr(HRESULT hr) {
  char text[48];
  const char* name = hr == D3D_OK                ? " (D3D_OK)"
                     : hr == D3DERR_NOTAVAILABLE ? " (D3DERR_NOTAVAILABLE)"
                     : hr == D3DERR_INVALIDCALL  ? " (D3DERR_INVALIDCALL)"
                                                 : "";
  std::snprintf(text, sizeof text, "0x%08lx%s", static_cast<unsigned long>(hr), name);
  return text;
}

// Runs on the test's thread. Owns d3d9.dll, the hidden device window, the Direct3D object and the
// device, released in reverse order.
class Direct3DDevice {
 public:
  ~Direct3DDevice() {
    Release(device_);
    Release(d3d_);
    if (window_ != nullptr) DestroyWindow(window_);
    if (library_ != nullptr) FreeLibrary(library_);
  }

  // Empty on success, else what failed.
  std::string Create() {
    library_ = LoadLibraryW(L"d3d9.dll");
    if (library_ == nullptr) return "LoadLibraryW(d3d9.dll) failed: " + std::to_string(GetLastError());
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KavexD3d9Smoke";
    RegisterClassW(&windowClass);
    window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 1, 1, nullptr, nullptr,
                              windowClass.hInstance, nullptr);
    if (window_ == nullptr) return "CreateWindowExW failed: " + std::to_string(GetLastError());

    D3DPRESENT_PARAMETERS present = {};
    present.BackBufferWidth = 1;
    present.BackBufferHeight = 1;
    present.BackBufferFormat = D3DFMT_UNKNOWN;
    present.BackBufferCount = 1;
    present.SwapEffect = D3DSWAPEFFECT_DISCARD;
    present.hDeviceWindow = window_;
    present.Windowed = TRUE;

    const auto create9Ex =
        reinterpret_cast<Create9ExFn>(reinterpret_cast<void*>(GetProcAddress(library_, "Direct3DCreate9Ex")));
    if (create9Ex != nullptr) {
      IDirect3D9Ex* d3dEx = nullptr;
      const HRESULT hr = create9Ex(D3D_SDK_VERSION, &d3dEx);
      if (FAILED(hr)) return "Direct3DCreate9Ex failed: " + Hr(hr);
      d3d_ = d3dEx;
      IDirect3DDevice9Ex* deviceEx = nullptr;
      const HRESULT created =
          d3dEx->CreateDeviceEx(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window_, kBehaviour, &present, nullptr, &deviceEx);
      if (FAILED(created)) return "CreateDeviceEx failed: " + Hr(created);
      device_ = deviceEx;
      isEx_ = true;
      return {};
    }
    const auto create9 =
        reinterpret_cast<Create9Fn>(reinterpret_cast<void*>(GetProcAddress(library_, "Direct3DCreate9")));
    if (create9 == nullptr) return "d3d9.dll exports neither Direct3DCreate9Ex nor Direct3DCreate9";
    d3d_ = create9(D3D_SDK_VERSION);
    if (d3d_ == nullptr) return "Direct3DCreate9 returned null";
    const HRESULT created =
        d3d_->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window_, kBehaviour, &present, &device_);
    if (FAILED(created)) return "CreateDevice failed: " + Hr(created);
    return {};
  }

  IDirect3D9* d3d() const { return d3d_; }
  IDirect3DDevice9* device() const { return device_; }
  bool isEx() const { return isEx_; }

 private:
  HMODULE library_ = nullptr;
  HWND window_ = nullptr;
  IDirect3D9* d3d_ = nullptr;
  IDirect3DDevice9* device_ = nullptr;
  bool isEx_ = false;
};

// Surfaces of one test; released before the device goes.
struct Surface {
  IDirect3DSurface9* p = nullptr;
  ~Surface() { Release(p); }
};

HRESULT CreateTarget(const Direct3DDevice& d3d, UINT width, UINT height, Surface* out) {
  // A 9Ex device refuses lockable render targets; the preview never locks its target anyway.
  return d3d.device()->CreateRenderTarget(width, height, D3DFMT_X8R8G8B8, D3DMULTISAMPLE_NONE, 0, FALSE, &out->p,
                                          nullptr);
}

HRESULT CreateOffscreen(const Direct3DDevice& d3d, UINT width, UINT height, D3DPOOL pool, Surface* out) {
  return d3d.device()->CreateOffscreenPlainSurface(width, height, D3DFMT_X8R8G8B8, pool, &out->p, nullptr);
}

// Copies rows of width 32-bit pixels into a locked surface, whatever its pitch.
HRESULT Upload(IDirect3DSurface9* surface, const std::vector<uint32_t>& pixels, int width, int height) {
  D3DLOCKED_RECT locked = {};
  const HRESULT hr = surface->LockRect(&locked, nullptr, 0);
  if (FAILED(hr)) return hr;
  for (int y = 0; y < height; ++y)
    std::memcpy(static_cast<uint8_t*>(locked.pBits) + static_cast<size_t>(y) * locked.Pitch,
                &pixels[static_cast<size_t>(y) * width], static_cast<size_t>(width) * 4);
  return surface->UnlockRect();
}

// Distinct in every 64 × 64 position and in each channel, so a shifted or mirrored copy shows.
uint32_t Pattern(int x, int y) {
  return (static_cast<uint32_t>(x * 4) << 16) | (static_cast<uint32_t>(y * 4) << 8) |
         static_cast<uint32_t>(((x + 2 * y) * 5) & 0xff);
}

bool Near(uint32_t a, uint32_t b, int tolerance) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int d = static_cast<int>((a >> shift) & 0xff) - static_cast<int>((b >> shift) & 0xff);
    if (d > tolerance || d < -tolerance) return false;
  }
  return true;
}

class Direct3D9 : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string error = d3d_.Create();
    ASSERT_TRUE(error.empty()) << error << " (under Wine: is there an X display and the x11 driver?)";
  }
  Direct3DDevice d3d_;
};

TEST_F(Direct3D9, ReportsWhatTheAdapterOffers) {
  D3DDISPLAYMODE mode = {};
  ASSERT_EQ(d3d_.d3d()->GetAdapterDisplayMode(D3DADAPTER_DEFAULT, &mode), D3D_OK);
  const auto check = [&](DWORD usage) {
    return d3d_.d3d()->CheckDeviceFormat(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, mode.Format, usage, D3DRTYPE_SURFACE,
                                         D3DFMT_X8R8G8B8);
  };
  const HRESULT renderTarget = check(D3DUSAGE_RENDERTARGET);
  const HRESULT dynamicTarget = check(D3DUSAGE_RENDERTARGET | D3DUSAGE_DYNAMIC);
  DWORD qualities = 0;
  const HRESULT multiSample = d3d_.d3d()->CheckDeviceMultiSampleType(
      D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, D3DFMT_X8R8G8B8, TRUE, D3DMULTISAMPLE_4_SAMPLES, &qualities);
  std::printf("d3d9: Direct3DCreate9Ex offered: %s\n", d3d_.isEx() ? "yes" : "no");
  std::printf("d3d9: CheckDeviceFormat(RENDERTARGET, SURFACE, X8R8G8B8): %s\n", Hr(renderTarget).c_str());
  std::printf("d3d9: CheckDeviceFormat(RENDERTARGET|DYNAMIC, SURFACE, X8R8G8B8): %s\n", Hr(dynamicTarget).c_str());
  std::printf("d3d9: CheckDeviceMultiSampleType(X8R8G8B8, windowed, 4 samples): %s, %lu quality levels\n",
              Hr(multiSample).c_str(), static_cast<unsigned long>(qualities));
  // The preview's target cannot exist without this one.
  EXPECT_EQ(renderTarget, D3D_OK);
}

TEST_F(Direct3D9, StretchRectScalesALockedPictureOntoARenderTarget) {
  constexpr int kSource = 64, kTarget = 256, kScale = kTarget / kSource;
  Surface target, source, readBack;
  ASSERT_EQ(CreateTarget(d3d_, kTarget, kTarget, &target), D3D_OK);
  ASSERT_EQ(CreateOffscreen(d3d_, kSource, kSource, D3DPOOL_DEFAULT, &source), D3D_OK);
  ASSERT_EQ(CreateOffscreen(d3d_, kTarget, kTarget, D3DPOOL_SYSTEMMEM, &readBack), D3D_OK);

  std::vector<uint32_t> pattern(kSource * kSource);
  for (int y = 0; y < kSource; ++y)
    for (int x = 0; x < kSource; ++x) pattern[y * kSource + x] = Pattern(x, y);
  ASSERT_EQ(Upload(source.p, pattern, kSource, kSource), D3D_OK);
  ASSERT_EQ(d3d_.device()->StretchRect(source.p, nullptr, target.p, nullptr, D3DTEXF_NONE), D3D_OK);
  ASSERT_EQ(d3d_.device()->GetRenderTargetData(target.p, readBack.p), D3D_OK);

  D3DLOCKED_RECT locked = {};
  ASSERT_EQ(readBack.p->LockRect(&locked, nullptr, D3DLOCK_READONLY), D3D_OK);
  int wrong = 0;
  std::string first;
  for (int y = 0; y < kTarget; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(locked.pBits) +
                                                        static_cast<size_t>(y) * locked.Pitch);
    for (int x = 0; x < kTarget; ++x) {
      const uint32_t want = Pattern(x / kScale, y / kScale);
      if (Near(row[x], want, 2)) continue;
      if (wrong++ == 0) {
        char text[96];
        std::snprintf(text, sizeof text, "(%d,%d) is %06x, expected %06x", x, y,
                      static_cast<unsigned>(row[x] & 0xffffff), static_cast<unsigned>(want));
        first = text;
      }
    }
  }
  readBack.p->UnlockRect();
  EXPECT_EQ(wrong, 0) << "pixels off the 4x pattern, first " << first;
}

TEST_F(Direct3D9, TimesUploadAndStretchOf720pFrames) {
  constexpr int kWidth = 1280, kHeight = 720, kRounds = 50;
  Surface target, source;
  ASSERT_EQ(CreateTarget(d3d_, kWidth, kHeight, &target), D3D_OK);
  ASSERT_EQ(CreateOffscreen(d3d_, kWidth, kHeight, D3DPOOL_DEFAULT, &source), D3D_OK);
  std::vector<uint32_t> frame(static_cast<size_t>(kWidth) * kHeight, 0x00336699u);

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> ms;
  // One uncounted round: the first lock and blit also create the surfaces' storage.
  for (int round = 0; round <= kRounds; ++round) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    ASSERT_EQ(Upload(source.p, frame, kWidth, kHeight), D3D_OK);
    ASSERT_EQ(d3d_.device()->StretchRect(source.p, nullptr, target.p, nullptr, D3DTEXF_NONE), D3D_OK);
    QueryPerformanceCounter(&end);
    if (round > 0) ms.push_back(1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart);
  }
  std::sort(ms.begin(), ms.end());
  const double median = (ms[kRounds / 2 - 1] + ms[kRounds / 2]) / 2;
  std::printf(
      "d3d9: LockRect copy + StretchRect 1280x720 -> 1280x720: median %.3f ms, min %.3f, max %.3f "
      "(%d rounds)\n",
      median, ms.front(), ms.back(), kRounds);
}

}  // namespace
