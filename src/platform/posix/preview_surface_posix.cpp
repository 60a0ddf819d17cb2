#include "platform/preview_surface.h"

#include <mutex>

namespace kavex::platform::preview {

// No Direct3D 9 here: what a Windows system without d3d9.dll does. The manager keeps the host's
// settings only, so the calls behave the same way in both builds.
namespace {

struct Settings {
  uint32_t width = 1024;
  uint32_t height = 1024;
  bool useAlpha = false;
  uint32_t samples = 0;
};

std::mutex g_mutex;
Settings* g_manager = nullptr;

Settings& Manager() {
  if (g_manager == nullptr) g_manager = new Settings();
  return *g_manager;
}

}  // namespace

HResult SetSize(uint32_t width, uint32_t height) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Manager().width = width;
  Manager().height = height;
  return kOk;
}

HResult SetAlpha(bool useAlpha) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Manager().useAlpha = useAlpha;
  return kOk;
}

HResult SetNumDesiredSamples(uint32_t samples) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Manager().samples = samples;
  return kOk;
}

HResult SetAdapter(int32_t, int32_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Manager();
  return kOk;
}

HResult GetBackBufferNoRef(void** surface, ThreadStarter) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (surface != nullptr) *surface = nullptr;
  Manager();
  return kFail;  // the library cannot be had
}

HResult Render(PreviewPictureSource&) { return kOk; }  // never a current renderer

void Destroy() {
  std::lock_guard<std::mutex> lock(g_mutex);
  delete g_manager;
  g_manager = nullptr;
}

}  // namespace kavex::platform::preview
