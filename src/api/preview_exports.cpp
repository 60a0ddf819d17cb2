// The preview's exports: the host's Direct3D surface, drawn from the process's preview buffer.
// Like every entry point, nothing thrown inside reaches the host.
#include <functional>
#include <utility>

#include "common/engine_thread.h"
#include "common/error_log.h"
#include "kavex_engine.h"
#include "output/preview_buffer.h"
#include "platform/preview_surface.h"

namespace {

namespace preview = kavex::platform::preview;
using kavex::platform::HResult;

// The preview buffer as the renderer takes it.
class PreviewBufferSource final : public kavex::platform::PreviewPictureSource {
 public:
  explicit PreviewBufferSource(kavex::PreviewBuffer& buffer) : buffer_(buffer) {}
  bool Peek(Picture* picture) override {
    kavex::PreviewBuffer::Picture waiting;
    if (!buffer_.PeekPreview(&waiting)) return false;
    picture->pixels = waiting.pixels;
    picture->width = waiting.width;
    picture->height = waiting.height;
    return true;
  }
  void Consumed() override { buffer_.MarkPreviewEmpty(); }

 private:
  kavex::PreviewBuffer& buffer_;
};

constexpr int kGetBackBufferNoRef = 19;

// The hidden window's thread, started as every engine thread is. What it might throw is counted
// against the export that started it.
kavex::platform::SystemThread StartWindowThread(std::function<void()> body) {
  return kavex::StartEngineThread("kavex-preview", kavex::error_codes::ExportFailed(kGetBackBufferNoRef),
                                  std::move(body));
}

template <typename Body>
HResult Guarded(int code, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    try {
      kavex::ErrorLog::Record(kavex::error_codes::ExportFailed(code));
    } catch (...) {
    }
    return kavex::platform::kFail;
  }
}

}  // namespace

extern "C" {

int32_t KAVEX_STDCALL SetSize(uint32_t width, uint32_t height) {
  return Guarded(15, [&] { return preview::SetSize(width, height); });
}

int32_t KAVEX_STDCALL SetAlpha(int32_t useAlpha) {
  return Guarded(16, [&] { return preview::SetAlpha(useAlpha != 0); });
}

int32_t KAVEX_STDCALL SetNumDesiredSamples(uint32_t samples) {
  return Guarded(17, [&] { return preview::SetNumDesiredSamples(samples); });
}

int32_t KAVEX_STDCALL SetAdapter(int32_t x, int32_t y) {
  return Guarded(18, [&] { return preview::SetAdapter(x, y); });
}

int32_t KAVEX_STDCALL GetBackBufferNoRef(void** surface) {
  return Guarded(kGetBackBufferNoRef, [&] { return preview::GetBackBufferNoRef(surface, &StartWindowThread); });
}

int32_t KAVEX_STDCALL Render(void) {
  return Guarded(20, [&] {
    kavex::PreviewBuffer* buffer = kavex::PreviewBuffer::Get();
    if (buffer == nullptr) return kavex::platform::kOk;  // nothing can ever wait
    PreviewBufferSource source(*buffer);
    return preview::Render(source);
  });
}

void KAVEX_STDCALL Destroy(void) {
  Guarded(21, [&] {
    preview::Destroy();
    return kavex::platform::kOk;
  });
}

}  // extern "C"
