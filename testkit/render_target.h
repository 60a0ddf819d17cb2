#pragma once
// A Direct3D 9 render target read back as a host checks what it composes: copied into a
// system-memory surface of the same size and format (GetRenderTargetData) and locked. Windows only.
// Thread: any that may use the surface's device (the preview's: the thread that took the surface).
#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

struct RenderTargetPixels {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // row after row, 0xAARRGGBB as the X8R8G8B8 / A8R8G8B8 formats hold them
};

// `surface` is an IDirect3DSurface9* of a 32-bit format. On failure, *error says which step failed.
bool ReadRenderTarget(void* surface, RenderTargetPixels* out, std::string* error);

}  // namespace testkit
