#include "platform/preview_surface.h"

#include <windows.h>
// after windows.h
#include <d3d9.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dynamic_library.h"

namespace kavex::platform::preview {

namespace {

constexpr wchar_t kWindowClass[] = L"99E0F3C2AFD54D";

// Set by the hidden window when the display configuration changes; the next GetBackBufferNoRef
// starts over, as the adapters and their monitors may be others now.
std::atomic<bool> g_displayChanged{false};

template <typename T>
void Release(T*& object) {
  if (object != nullptr) {
    object->Release();
    object = nullptr;
  }
}

LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DISPLAYCHANGE) g_displayChanged.store(true);
  return DefWindowProcW(window, message, wParam, lParam);
}

HINSTANCE EngineModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&HiddenWindowProc), &module);
  return module;
}

// One adapter's device, its render target and the staging surface the picture is copied into.
// Thread: the host's user-interface thread, under the manager's mutex.
class Renderer {
 public:
  ~Renderer() {
    Release(staging_);
    Release(target_);
    Release(deviceEx_);
    Release(device_);
  }

  HRESULT Initialise(IDirect3D9* d3d, IDirect3D9Ex* d3dEx, UINT adapter, HWND window) {
    D3DCAPS9 caps{};
    HRESULT result = d3d->GetDeviceCaps(adapter, D3DDEVTYPE_HAL, &caps);
    if (FAILED(result)) return result;
    DWORD flags = D3DCREATE_MULTITHREADED | D3DCREATE_FPU_PRESERVE;
    flags |= (caps.DevCaps & D3DDEVCAPS_HWTRANSFORMANDLIGHT) != 0 ? D3DCREATE_HARDWARE_VERTEXPROCESSING
                                                                 : D3DCREATE_SOFTWARE_VERTEXPROCESSING;
    D3DPRESENT_PARAMETERS parameters{};
    parameters.BackBufferWidth = 1;
    parameters.BackBufferHeight = 1;
    parameters.BackBufferFormat = D3DFMT_UNKNOWN;
    parameters.BackBufferCount = 0;
    parameters.MultiSampleType = D3DMULTISAMPLE_NONE;
    parameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
    parameters.hDeviceWindow = nullptr;
    parameters.Windowed = TRUE;
    parameters.EnableAutoDepthStencil = FALSE;
    parameters.PresentationInterval = D3DPRESENT_INTERVAL_DEFAULT;
    if (d3dEx != nullptr) {
      result = d3dEx->CreateDeviceEx(adapter, D3DDEVTYPE_HAL, window, flags, &parameters, nullptr, &deviceEx_);
      if (FAILED(result)) return result;
      result = deviceEx_->QueryInterface(__uuidof(IDirect3DDevice9), reinterpret_cast<void**>(&device_));
    } else {
      result = d3d->CreateDevice(adapter, D3DDEVTYPE_HAL, window, flags, &parameters, &device_);
    }
    if (FAILED(result)) return result;
    device_->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    device_->SetRenderState(D3DRS_LIGHTING, FALSE);
    return S_OK;
  }

  // A device that is lost or gone is of no more use: everything is made again.
  bool Lost() const {
    if (device_ == nullptr) return true;
    const HRESULT state = deviceEx_ != nullptr ? deviceEx_->CheckDeviceState(nullptr) : device_->TestCooperativeLevel();
    return FAILED(state);
  }

  HRESULT MakeTarget(UINT width, UINT height, D3DFORMAT format, D3DMULTISAMPLE_TYPE samples) {
    Release(target_);
    // An extended device's render target cannot be lockable.
    HRESULT result = device_->CreateRenderTarget(width, height, format, samples, 0, deviceEx_ == nullptr, &target_,
                                                 nullptr);
    if (FAILED(result)) return result;
    return device_->SetRenderTarget(0, target_);
  }

  IDirect3DSurface9* target() const { return target_; }

  // One copy into the staging surface and one StretchRect onto the render target per picture.
  HRESULT Render(PreviewPictureSource& source) {
    PreviewPictureSource::Picture picture;
    if (!source.Peek(&picture) || picture.width <= 0 || picture.height <= 0 || picture.pixels == nullptr)
      return S_OK;
    if (staging_ == nullptr || picture.width != stagingWidth_ || picture.height != stagingHeight_) {
      stagingWidth_ = picture.width;
      stagingHeight_ = picture.height;
      Release(staging_);
      const HRESULT made = device_->CreateOffscreenPlainSurface(
          static_cast<UINT>(picture.width), static_cast<UINT>(picture.height), D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT,
          &staging_, nullptr);
      if (FAILED(made)) return made;
    }
    D3DLOCKED_RECT locked{};
    HRESULT result = staging_->LockRect(&locked, nullptr, 0);
    if (FAILED(result)) return result;
    const size_t rowBytes = static_cast<size_t>(picture.width) * 4;
    for (int32_t y = 0; y < picture.height; ++y)
      std::memcpy(static_cast<uint8_t*>(locked.pBits) + static_cast<size_t>(y) * locked.Pitch,
                  picture.pixels + static_cast<size_t>(y) * rowBytes, rowBytes);
    staging_->UnlockRect();

    IDirect3DSurface9* target = nullptr;
    result = device_->GetRenderTarget(0, &target);
    if (FAILED(result)) return result;
    result = device_->StretchRect(staging_, nullptr, target, nullptr, D3DTEXF_NONE);
    target->Release();
    // A picture that did not reach the target stays waiting.
    if (SUCCEEDED(result)) source.Consumed();
    return result;
  }

 private:
  IDirect3DDevice9* device_ = nullptr;
  IDirect3DDevice9Ex* deviceEx_ = nullptr;
  IDirect3DSurface9* target_ = nullptr;
  IDirect3DSurface9* staging_ = nullptr;
  int32_t stagingWidth_ = 0;
  int32_t stagingHeight_ = 0;
};

using Create9 = IDirect3D9*(WINAPI*)(UINT);
using Create9Ex = HRESULT(WINAPI*)(UINT, IDirect3D9Ex**);

// The process's preview: the Direct3D objects, one renderer per adapter, the hidden window and the
// host's settings. Thread: under g_mutex.
class Manager {
 public:
  ~Manager() {
    ReleaseAll();
    if (window_ != nullptr) DestroyWindow(window_);
    if (classRegistered_) UnregisterClassW(kWindowClass, EngineModule());
  }

  void SetSize(UINT width, UINT height) {
    if (width == width_ && height == height_) return;
    width_ = width;
    height_ = height;
    changed_ = true;
  }
  void SetAlpha(bool useAlpha) {
    if (useAlpha == useAlpha_) return;
    useAlpha_ = useAlpha;
    changed_ = true;
  }
  void SetSamples(UINT samples) {
    if (samples == samples_) return;
    samples_ = samples;
    changed_ = true;
  }

  void SetAdapter(POINT point) {
    DropLostDevices();
    if (d3d_ == nullptr || renderers_.empty()) return;
    const HMONITOR monitor = MonitorFromPoint(point, MONITOR_DEFAULTTONULL);
    if (monitor == nullptr) return;
    for (size_t i = 0; i < renderers_.size(); ++i) {
      if (d3d_->GetAdapterMonitor(static_cast<UINT>(i)) == monitor) {
        current_ = renderers_[i].get();
        return;
      }
    }
  }

  HRESULT GetBackBuffer(IDirect3DSurface9** surface) {
    *surface = nullptr;
    if (g_displayChanged.exchange(false)) {
      ReleaseAll();
      return S_OK;  // no surface this time: the host asks again
    }
    DropLostDevices();
    if (d3d_ == nullptr && !CreateDirect3D()) return E_FAIL;
    if (renderers_.empty()) {
      const HRESULT made = MakeRenderers();
      if (FAILED(made)) return made;
    }
    if (changed_) {
      const HRESULT result = ApplySettings();
      if (FAILED(result)) return result == D3DERR_DEVICELOST ? S_OK : result;
    }
    if (current_ != nullptr) *surface = current_->target();
    return S_OK;
  }

  HRESULT Render(PreviewPictureSource& source) {
    return current_ != nullptr ? current_->Render(source) : S_OK;
  }

 private:
  // Devices first, then the objects that made them, then the library they came from.
  void ReleaseAll() {
    current_ = nullptr;
    renderers_.clear();
    Release(d3d_);
    Release(d3dEx_);
    library_.Free();
    adapters_ = 0;
    changed_ = true;
  }

  void DropLostDevices() {
    for (const std::unique_ptr<Renderer>& renderer : renderers_) {
      if (renderer->Lost()) {
        ReleaseAll();
        return;
      }
    }
  }

  bool CreateDirect3D() {
    // Kept loaded while its objects live: freeing it under them would unmap their code in a host
    // that does not use Direct3D itself.
    library_ = DynamicLibrary::LoadFromSystemFolder("d3d9.dll");
    if (!library_.loaded()) return false;
    if (const auto createEx = library_.FindFunction<Create9Ex>("Direct3DCreate9Ex")) {
      if (SUCCEEDED(createEx(D3D_SDK_VERSION, &d3dEx_)) && d3dEx_ != nullptr &&
          FAILED(d3dEx_->QueryInterface(__uuidof(IDirect3D9), reinterpret_cast<void**>(&d3d_)))) {
        Release(d3dEx_);
      }
    }
    // Offered but refused (no extended device on this system): the plain object serves.
    if (d3d_ == nullptr) {
      Release(d3dEx_);
      if (const auto create = library_.FindFunction<Create9>("Direct3DCreate9")) d3d_ = create(D3D_SDK_VERSION);
    }
    if (d3d_ == nullptr) {
      library_.Free();
      return false;
    }
    adapters_ = d3d_->GetAdapterCount();
    return true;
  }

  HRESULT MakeRenderers() {
    if (window_ == nullptr) {
      if (!classRegistered_) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.style = CS_HREDRAW | CS_VREDRAW;
        windowClass.lpfnWndProc = HiddenWindowProc;
        windowClass.hInstance = EngineModule();
        windowClass.lpszClassName = kWindowClass;
        if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return E_FAIL;
        classRegistered_ = true;
      }
      window_ = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
                                EngineModule(), nullptr);
      if (window_ == nullptr) return E_FAIL;
    }
    std::vector<std::unique_ptr<Renderer>> made;
    for (UINT adapter = 0; adapter < adapters_; ++adapter) {
      auto renderer = std::make_unique<Renderer>();
      const HRESULT result = renderer->Initialise(d3d_, d3dEx_, adapter, window_);
      // The renderers already made for earlier adapters go with this one.
      if (FAILED(result)) return result;
      made.push_back(std::move(renderer));
    }
    renderers_ = std::move(made);
    current_ = renderers_.empty() ? nullptr : renderers_[0].get();
    return S_OK;
  }

  HRESULT ApplySettings() {
    const D3DFORMAT format = useAlpha_ ? D3DFMT_A8R8G8B8 : D3DFMT_X8R8G8B8;
    for (UINT adapter = 0; adapter < adapters_; ++adapter) {
      if (FAILED(d3d_->CheckDeviceType(adapter, D3DDEVTYPE_HAL, D3DFMT_X8R8G8B8, format, TRUE))) return E_FAIL;
      // Dynamic means nothing for a render-target surface, and some systems refuse the pair
      // (Wine does): the render-target usage alone decides.
      if (FAILED(d3d_->CheckDeviceFormat(adapter, D3DDEVTYPE_HAL, D3DFMT_X8R8G8B8,
                                         D3DUSAGE_RENDERTARGET | D3DUSAGE_DYNAMIC, D3DRTYPE_SURFACE, format)) &&
          FAILED(d3d_->CheckDeviceFormat(adapter, D3DDEVTYPE_HAL, D3DFMT_X8R8G8B8, D3DUSAGE_RENDERTARGET,
                                         D3DRTYPE_SURFACE, format)))
        return E_FAIL;
      const bool multisample = d3dEx_ != nullptr && samples_ > 1 && samples_ <= 16 &&
                               SUCCEEDED(d3d_->CheckDeviceMultiSampleType(
                                   adapter, D3DDEVTYPE_HAL, format, TRUE,
                                   static_cast<D3DMULTISAMPLE_TYPE>(samples_), nullptr));
      if (!multisample) samples_ = 0;
    }
    for (const std::unique_ptr<Renderer>& renderer : renderers_) {
      const HRESULT result =
          renderer->MakeTarget(width_, height_, format, static_cast<D3DMULTISAMPLE_TYPE>(samples_));
      if (FAILED(result)) return result;  // settings stay changed: the next call makes them again
    }
    changed_ = false;
    return S_OK;
  }

  DynamicLibrary library_;
  IDirect3D9* d3d_ = nullptr;
  IDirect3D9Ex* d3dEx_ = nullptr;
  UINT adapters_ = 0;
  std::vector<std::unique_ptr<Renderer>> renderers_;
  Renderer* current_ = nullptr;
  HWND window_ = nullptr;
  bool classRegistered_ = false;
  UINT width_ = 1024;
  UINT height_ = 1024;
  UINT samples_ = 0;
  bool useAlpha_ = false;
  bool changed_ = true;
};

std::mutex g_mutex;
Manager* g_manager = nullptr;

Manager& TheManager() {
  if (g_manager == nullptr) g_manager = new Manager();
  return *g_manager;
}

}  // namespace

HResult SetSize(uint32_t width, uint32_t height) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TheManager().SetSize(width, height);
  return kOk;
}

HResult SetAlpha(bool useAlpha) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TheManager().SetAlpha(useAlpha);
  return kOk;
}

HResult SetNumDesiredSamples(uint32_t samples) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TheManager().SetSamples(samples);
  return kOk;
}

HResult SetAdapter(int32_t x, int32_t y) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TheManager().SetAdapter(POINT{x, y});
  return kOk;
}

HResult GetBackBufferNoRef(void** surface) {
  std::lock_guard<std::mutex> lock(g_mutex);
  IDirect3DSurface9* target = nullptr;
  const HRESULT result = TheManager().GetBackBuffer(&target);
  if (surface != nullptr) *surface = target;
  return result;
}

HResult Render(PreviewPictureSource& source) {
  std::lock_guard<std::mutex> lock(g_mutex);
  // Before any other preview call there is no manager, and nothing to draw on.
  return g_manager != nullptr ? g_manager->Render(source) : kOk;
}

void Destroy() {
  std::lock_guard<std::mutex> lock(g_mutex);
  delete g_manager;
  g_manager = nullptr;
}

}  // namespace kavex::platform::preview
