#include "preview_capture.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "png_writer.h"
#include "render_target.h"

namespace kavexhost {

namespace {

constexpr unsigned kFrameMs = 33;

std::string Hex(int32_t result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(static_cast<uint32_t>(result)));
  return text;
}

// After a display change the first call gives no surface; the host asks again.
void* TakeSurface(const testkit::PreviewExports& preview, std::string* error) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    void* surface = nullptr;
    const int32_t result = preview.GetBackBufferNoRef(&surface);
    if (result != S_OK) {
      *error = "no preview surface (GetBackBufferNoRef " + Hex(result) + ")";
      return nullptr;
    }
    if (surface != nullptr) return surface;
  }
  *error = "no preview surface (GetBackBufferNoRef gave none twice)";
  return nullptr;
}

}  // namespace

std::string CapturePreview(const testkit::PreviewExports& preview, const std::string& path, int renders,
                           void (*pump)(void*, unsigned), void* context) {
  std::string error;
  void* surface = TakeSurface(preview, &error);
  if (surface == nullptr) return "preview: " + error;
  std::vector<double> costsMs;
  for (int i = 0; i < renders; ++i) {
    pump(context, kFrameMs);
    const auto start = std::chrono::steady_clock::now();
    const int32_t result = preview.Render();
    costsMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (result != S_OK) return "preview: Render " + Hex(result);
  }
  testkit::RenderTargetPixels target;
  if (!testkit::ReadRenderTarget(surface, &target, &error)) return "preview: reading the target back: " + error;

  std::vector<uint8_t> rgb;
  rgb.reserve(target.pixels.size() * 3);
  size_t lit = 0;
  for (const uint32_t pixel : target.pixels) {
    const uint8_t red = static_cast<uint8_t>(pixel >> 16);
    const uint8_t green = static_cast<uint8_t>(pixel >> 8);
    const uint8_t blue = static_cast<uint8_t>(pixel);
    rgb.insert(rgb.end(), {red, green, blue});
    lit += std::max({red, green, blue}) >= 32 ? 1 : 0;
  }
  if (!png_writer::WriteRgb(path, target.width, target.height, rgb.data())) return "preview: cannot write " + path;
  std::sort(costsMs.begin(), costsMs.end());
  char line[256];
  std::snprintf(line, sizeof line, "preview: saved %dx%d to %s, %d%% lit, Render median %.2f ms", target.width,
                target.height, path.c_str(),
                target.pixels.empty() ? 0 : static_cast<int>(100 * lit / target.pixels.size()),
                costsMs[costsMs.size() / 2]);
  return line;
}

}  // namespace kavexhost
