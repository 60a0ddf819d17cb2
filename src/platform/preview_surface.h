#pragma once
#include <cstdint>
#include <functional>

#include "platform/system_thread.h"

namespace kavex::platform {

// The host's preview: a Direct3D 9 render target that the host takes and composes into its own
// window, onto which the engine draws the latest preview picture. One manager per process, behind
// the seven preview exports; where there is no Direct3D 9 (natively) it behaves as a system
// without d3d9.dll: the surface is never had.
// Thread: the host's threads, any of them; the calls are serialised by the manager's own mutex, a
// leaf (the picture source is called under it, and takes only its own atomics). The hidden window
// lives on a thread of its own, which pumps its messages and which Destroy ends from any thread;
// while the window exists the engine's module stays loaded (platform/module_pin.h), so a host that
// unloads the engine without Destroy never leaves the window's procedure unmapped.

using HResult = int32_t;
constexpr HResult kOk = 0;
constexpr HResult kFail = static_cast<HResult>(0x80004005);

// Where Render takes its picture: 4 bytes a pixel (blue, green, red, alpha), rows width x 4 bytes
// apart.
class PreviewPictureSource {
 public:
  struct Picture {
    const uint8_t* pixels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
  };
  virtual ~PreviewPictureSource() = default;
  // True while a picture waits; it stays unchanged until Consumed.
  virtual bool Peek(Picture* picture) = 0;
  // The picture was drawn: the producers may fill the source again.
  virtual void Consumed() = 0;
};

namespace preview {

// The setters make the manager when there is none and take effect at the next GetBackBufferNoRef.
HResult SetSize(uint32_t width, uint32_t height);
HResult SetAlpha(bool useAlpha);
HResult SetNumDesiredSamples(uint32_t samples);
// The renderer of the adapter whose monitor holds this screen point becomes the current one; a
// point outside every monitor keeps the current renderer.
HResult SetAdapter(int32_t x, int32_t y);
// How the preview starts the thread its hidden window lives on: the caller's layer starts it as it
// starts every engine thread (marked, named, guarded), with `body` as the thread's whole work.
using ThreadStarter = platform::SystemThread (*)(std::function<void()> body);

// The current render target (an IDirect3DSurface9, no reference added), or null. The first call
// (and the first after Destroy) starts the hidden window's thread through `startThread`.
HResult GetBackBufferNoRef(void** surface, ThreadStarter startThread);
// Draws the waiting picture onto the current render target; S_OK when there is nothing to do.
HResult Render(PreviewPictureSource& source);
// Releases everything, the manager included; the hidden window's thread ends (and is waited for)
// with no lock held, and only then does the engine let go of its module.
void Destroy();

}  // namespace preview
}  // namespace kavex::platform
