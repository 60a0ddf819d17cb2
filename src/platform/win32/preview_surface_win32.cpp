#include "platform/preview_surface.h"

#include <windows.h>
// after windows.h
#include <d3d9.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/module_pin.h"
#include "platform/sync.h"

namespace kavex::platform::preview {

namespace {

constexpr wchar_t kWindowClass[] = L"99E0F3C2AFD54D";
// How long GetBackBufferNoRef waits for the window's new thread to make the window.
constexpr auto kWindowStartWait = std::chrono::seconds(5);

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

// The hidden window and the thread it lives on. The thread pumps the window's messages until told
// to end, so a display change reaches the preview (and other programs' broadcasts are answered)
// however the host's threads pump; and since only a window's own thread can destroy it, Destroy
// on any host thread ends it by ending that thread. The window's class is registered, and
// unregistered, on the same thread. While the thread lives the engine's module is held, and it is
// let go only once the thread has been joined: the window's procedure and the thread's code stay
// mapped for as long as anything can reach them.
// Thread: started by GetBackBufferNoRef under g_mutex, ended by Destroy with no lock held; the
// state the two threads share is `Shared`'s, under its mutex (a leaf) but for the stop event.
class WindowThread {
 public:
  // Null when the window cannot be made (the error is then the caller's E_FAIL).
  static std::unique_ptr<WindowThread> Start(ThreadStarter startThread) {
    std::unique_ptr<WindowThread> started(new WindowThread());
    // Held before the thread exists; a module that cannot be held runs unpinned, as before.
    started->pin_.Hold();
    if (started->shared_->stop == nullptr) return nullptr;
    started->thread_ = startThread([shared = started->shared_] { Run(*shared); });
    std::unique_lock<platform::Mutex> lock(started->shared_->mutex);
    const bool ready =
        started->shared_->changed.wait_for(lock, kWindowStartWait, [&] { return started->shared_->made; });
    if (!ready) {
      // A thread that never came to make its window is left to end by itself whenever it runs;
      // the module stays held for it, for good.
      lock.unlock();
      SetEvent(started->shared_->stop);
      started->thread_.detach();
      ModulePin forThatThread = std::move(started->pin_);  // dropped without Release
      return nullptr;
    }
    if (started->shared_->window == nullptr) return nullptr;  // the thread has ended: joined below
    return started;
  }

  ~WindowThread() {
    if (thread_.joinable()) {
      SetEvent(shared_->stop);
      if (thread_.IsCurrent()) {
        // Destroy from inside the window's own messages (a host's hook): the thread ends once this
        // returns into its loop, still in the module, which therefore stays held.
        thread_.detach();
        return;
      }
      thread_.join();
    }
    pin_.Release();  // the caller's own reference keeps the module mapped while it returns
  }

  WindowThread(const WindowThread&) = delete;
  WindowThread& operator=(const WindowThread&) = delete;

  HWND window() const { return shared_->window; }

 private:
  struct Shared {
    Shared() : stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Shared() {
      if (stop != nullptr) CloseHandle(stop);
    }
    HANDLE stop;
    platform::Mutex mutex;
    platform::ConditionVariable changed;
    bool made = false;      // the thread has tried to make the window
    HWND window = nullptr;  // the window, once made; written before made, read after
  };

  WindowThread() : shared_(std::make_shared<Shared>()) {}

  // The thread's whole work: nothing in it throws, and it reports whether the window was made
  // before anything else can fail.
  static void Run(Shared& shared) {
    const HINSTANCE module = EngineModule();
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = HiddenWindowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = kWindowClass;
    // Already there: the window of a thread that Destroy is still ending.
    const bool registered = RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    HWND window = registered ? CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
                                               module, nullptr)
                             : nullptr;
    {
      std::lock_guard<platform::Mutex> lock(shared.mutex);
      shared.window = window;
      shared.made = true;
    }
    shared.changed.notify_all();
    while (window != nullptr) {
      const DWORD woke = MsgWaitForMultipleObjectsEx(1, &shared.stop, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      if (woke != WAIT_OBJECT_0 + 1) break;  // told to end, or the wait itself failed
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
    if (window != nullptr) DestroyWindow(window);
    // Refused while another window of the class lives (a newer manager's): that one's thread
    // unregisters it.
    if (registered) UnregisterClassW(kWindowClass, module);
  }

  std::shared_ptr<Shared> shared_;
  platform::SystemThread thread_;
  ModulePin pin_;
};

// One adapter's device, its render target and the staging surface the picture is copied into.
// Thread: a host thread, under the manager's mutex.
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
    HRESULT result =
        device_->CreateRenderTarget(width, height, format, samples, 0, deviceEx_ == nullptr, &target_, nullptr);
    if (FAILED(result)) return result;
    return device_->SetRenderTarget(0, target_);
  }

  IDirect3DSurface9* target() const { return target_; }

  // One copy into the staging surface and one StretchRect onto the render target per picture.
  HRESULT Render(PreviewPictureSource& source) {
    PreviewPictureSource::Picture picture;
    if (!source.Peek(&picture) || picture.width <= 0 || picture.height <= 0 || picture.pixels == nullptr) return S_OK;
    if (staging_ == nullptr || picture.width != stagingWidth_ || picture.height != stagingHeight_) {
      stagingWidth_ = picture.width;
      stagingHeight_ = picture.height;
      Release(staging_);
      const HRESULT made =
          device_->CreateOffscreenPlainSurface(static_cast<UINT>(picture.width), static_cast<UINT>(picture.height),
                                               D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &staging_, nullptr);
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

// The process's preview: the Direct3D objects, one renderer per adapter, the hidden window's thread
// and the host's settings. Thread: under g_mutex.
class Manager {
 public:
  ~Manager() { ReleaseAll(); }

  // The devices go first (the hidden window is their focus window); the window's thread is the
  // caller's to end, with no lock held.
  std::unique_ptr<WindowThread> Close() {
    ReleaseAll();
    return std::move(window_);
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

  HRESULT GetBackBuffer(IDirect3DSurface9** surface, ThreadStarter startThread) {
    *surface = nullptr;
    if (g_displayChanged.exchange(false)) {
      ReleaseAll();
      return S_OK;  // no surface this time: the host asks again
    }
    DropLostDevices();
    if (d3d_ == nullptr && !CreateDirect3D()) return E_FAIL;
    if (renderers_.empty()) {
      const HRESULT made = MakeRenderers(startThread);
      if (FAILED(made)) return made;
    }
    if (changed_) {
      const HRESULT result = ApplySettings();
      if (FAILED(result)) return result == D3DERR_DEVICELOST ? S_OK : result;
    }
    if (current_ != nullptr) *surface = current_->target();
    return S_OK;
  }

  HRESULT Render(PreviewPictureSource& source) { return current_ != nullptr ? current_->Render(source) : S_OK; }

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

  HRESULT MakeRenderers(ThreadStarter startThread) {
    if (window_ == nullptr) {
      window_ = WindowThread::Start(startThread);
      if (window_ == nullptr) return E_FAIL;
    }
    std::vector<std::unique_ptr<Renderer>> made;
    for (UINT adapter = 0; adapter < adapters_; ++adapter) {
      auto renderer = std::make_unique<Renderer>();
      const HRESULT result = renderer->Initialise(d3d_, d3dEx_, adapter, window_->window());
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
      const bool multisample =
          d3dEx_ != nullptr && samples_ > 1 && samples_ <= 16 &&
          SUCCEEDED(d3d_->CheckDeviceMultiSampleType(adapter, D3DDEVTYPE_HAL, format, TRUE,
                                                     static_cast<D3DMULTISAMPLE_TYPE>(samples_), nullptr));
      if (!multisample) samples_ = 0;
    }
    for (const std::unique_ptr<Renderer>& renderer : renderers_) {
      const HRESULT result = renderer->MakeTarget(width_, height_, format, static_cast<D3DMULTISAMPLE_TYPE>(samples_));
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
  std::unique_ptr<WindowThread> window_;
  UINT width_ = 1024;
  UINT height_ = 1024;
  UINT samples_ = 0;
  bool useAlpha_ = false;
  bool changed_ = true;
};

platform::Mutex g_mutex;
Manager* g_manager = nullptr;

Manager& TheManager() {
  if (g_manager == nullptr) g_manager = new Manager();
  return *g_manager;
}

}  // namespace

HResult SetSize(uint32_t width, uint32_t height) {
  std::lock_guard<platform::Mutex> lock(g_mutex);
  TheManager().SetSize(width, height);
  return kOk;
}

HResult SetAlpha(bool useAlpha) {
  std::lock_guard<platform::Mutex> lock(g_mutex);
  TheManager().SetAlpha(useAlpha);
  return kOk;
}

HResult SetNumDesiredSamples(uint32_t samples) {
  std::lock_guard<platform::Mutex> lock(g_mutex);
  TheManager().SetSamples(samples);
  return kOk;
}

HResult SetAdapter(int32_t x, int32_t y) {
  std::lock_guard<platform::Mutex> lock(g_mutex);
  TheManager().SetAdapter(POINT{x, y});
  return kOk;
}

HResult GetBackBufferNoRef(void** surface, ThreadStarter startThread) {
  std::lock_guard<platform::Mutex> lock(g_mutex);
  IDirect3DSurface9* target = nullptr;
  const HRESULT result = TheManager().GetBackBuffer(&target, startThread);
  if (surface != nullptr) *surface = target;
  return result;
}

HResult Render(PreviewPictureSource& source) {
  std::lock_guard<platform::Mutex> lock(g_mutex);
  // Before any other preview call there is no manager, and nothing to draw on.
  return g_manager != nullptr ? g_manager->Render(source) : kOk;
}

void Destroy() {
  std::unique_ptr<WindowThread> window;
  {
    std::lock_guard<platform::Mutex> lock(g_mutex);
    if (g_manager != nullptr) window = g_manager->Close();
    delete g_manager;
    g_manager = nullptr;
  }
  window.reset();  // joined with no lock held: a new manager may already be starting its own
}

}  // namespace kavex::platform::preview
