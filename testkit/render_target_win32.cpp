#include "render_target.h"

#include <windows.h>
// after windows.h
#include <d3d9.h>

#include <cstdio>
#include <cstring>

namespace testkit {

namespace {

std::string Failed(const char* step, HRESULT result) {
  char text[96];
  std::snprintf(text, sizeof text, "%s failed (0x%08lx)", step, static_cast<unsigned long>(result));
  return text;
}

// Releases a COM pointer when the read ends, whichever way.
template <typename T>
struct Held {
  T* p = nullptr;
  ~Held() {
    if (p != nullptr) p->Release();
  }
};

}  // namespace

bool ReadRenderTarget(void* surface, RenderTargetPixels* out, std::string* error) {
  auto* target = static_cast<IDirect3DSurface9*>(surface);
  if (target == nullptr) {
    *error = "no surface";
    return false;
  }
  D3DSURFACE_DESC desc{};
  HRESULT result = target->GetDesc(&desc);
  if (FAILED(result)) {
    *error = Failed("GetDesc", result);
    return false;
  }
  if (desc.Format != D3DFMT_X8R8G8B8 && desc.Format != D3DFMT_A8R8G8B8) {
    *error = "not a 32-bit render target (format " + std::to_string(desc.Format) + ")";
    return false;
  }
  Held<IDirect3DDevice9> device;
  Held<IDirect3DSurface9> copy;
  if (FAILED(result = target->GetDevice(&device.p))) {
    *error = Failed("GetDevice", result);
    return false;
  }
  if (FAILED(result = device.p->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM,
                                                            &copy.p, nullptr))) {
    *error = Failed("CreateOffscreenPlainSurface", result);
    return false;
  }
  if (FAILED(result = device.p->GetRenderTargetData(target, copy.p))) {
    *error = Failed("GetRenderTargetData", result);
    return false;
  }
  D3DLOCKED_RECT locked{};
  if (FAILED(result = copy.p->LockRect(&locked, nullptr, D3DLOCK_READONLY))) {
    *error = Failed("LockRect", result);
    return false;
  }
  out->width = static_cast<int>(desc.Width);
  out->height = static_cast<int>(desc.Height);
  out->pixels.resize(static_cast<size_t>(desc.Width) * desc.Height);
  for (UINT y = 0; y < desc.Height; ++y)
    std::memcpy(&out->pixels[static_cast<size_t>(y) * desc.Width],
                static_cast<const uint8_t*>(locked.pBits) + static_cast<size_t>(y) * locked.Pitch, desc.Width * 4);
  copy.p->UnlockRect();
  return true;
}

}  // namespace testkit
