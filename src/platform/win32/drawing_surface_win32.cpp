#include "platform/win32/drawing_surface_win32.h"

#include <climits>

namespace kavex::platform {

namespace {

// Thread: the one drawing thread (see DrawingSurface). Owns the memory device context, created
// once and kept across resizes, and the DIB section currently selected into it.
class GdiDrawingSurface final : public DrawingSurface {
 public:
  GdiDrawingSurface() = default;
  ~GdiDrawingSurface() override {
    DropPicture();
    if (memoryDc_ != nullptr) DeleteDC(memoryDc_);
  }
  GdiDrawingSurface(const GdiDrawingSurface&) = delete;
  GdiDrawingSurface& operator=(const GdiDrawingSurface&) = delete;

  bool Resize(int width, int height, bool topDown) override {
    DropPicture();
    if (width <= 0 || height <= 0) return false;
    const long long stride = (3LL * width + 3) / 4 * 4;
    if (stride * height > INT_MAX) return false;  // GDI sizes DIBs in 32-bit arithmetic

    HDC screenDc = GetDC(nullptr);
    if (memoryDc_ == nullptr) memoryDc_ = CreateCompatibleDC(screenDc);
    if (memoryDc_ != nullptr) {
      BITMAPINFO info = {};
      info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
      info.bmiHeader.biWidth = width;
      info.bmiHeader.biHeight = topDown ? -height : height;
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = 24;
      info.bmiHeader.biCompression = BI_RGB;
      void* bits = nullptr;
      dib_ = CreateDIBSection(screenDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
      // The context's own 1 × 1 bitmap comes back from the first selection; it goes back in
      // before the DIB is deleted, since GDI does not delete a selected bitmap.
      HGDIOBJ previous = nullptr;
      if (dib_ != nullptr && bits != nullptr) previous = SelectObject(memoryDc_, dib_);
      if (previous != nullptr && previous != HGDI_ERROR) {
        if (originalBitmap_ == nullptr) originalBitmap_ = previous;
        pixels_ = static_cast<uint8_t*>(bits);
        width_ = width;
        height_ = height;
        topDown_ = topDown;
        stride_ = static_cast<int>(stride);
      } else if (dib_ != nullptr) {
        DeleteObject(dib_);
        dib_ = nullptr;
      }
    }
    if (screenDc != nullptr) ReleaseDC(nullptr, screenDc);
    return pixels_ != nullptr;
  }

  uint8_t* pixels() override {
    // GDI may still hold drawing calls in its batch; the bits are read directly after this.
    if (pixels_ != nullptr) GdiFlush();
    return pixels_;
  }
  int width() const override { return width_; }
  int height() const override { return height_; }
  bool topDown() const override { return topDown_; }
  int stride() const override { return stride_; }

  void FillBlack() override {
    if (pixels_ == nullptr) return;
    // The context's default pen is black too, so the outline adds nothing of another colour.
    SelectObject(memoryDc_, GetStockObject(BLACK_BRUSH));
    Rectangle(memoryDc_, 0, 0, width_, height_);
  }

  void DrawBitmap(int x, int y, const void* bitmapInfoHeader, const uint8_t* pixels) override {
    if (pixels_ == nullptr || bitmapInfoHeader == nullptr || pixels == nullptr) return;
    const auto* header = static_cast<const BITMAPINFOHEADER*>(bitmapInfoHeader);
    const LONG rows = header->biHeight < 0 ? -header->biHeight : header->biHeight;
    // A 32-bit BI_RGB bitmap has no colour table: the header alone is a whole BITMAPINFO.
    SetDIBitsToDevice(memoryDc_, x, y, static_cast<DWORD>(header->biWidth), static_cast<DWORD>(rows), 0, 0, 0,
                      static_cast<UINT>(rows), pixels, reinterpret_cast<const BITMAPINFO*>(header), DIB_RGB_COLORS);
  }

  void DrawCaption(const std::wstring& text, int left, int top, int right, int bottom) override {
    if (pixels_ == nullptr) return;
    SetTextColor(memoryDc_, RGB(250, 250, 250));
    SetBkColor(memoryDc_, RGB(0, 0, 0));
    RECT rect = {left, top, right, bottom};
    DrawTextW(memoryDc_, text.c_str(), static_cast<int>(text.size()), &rect, DT_CENTER);
  }

  HDC dc() const { return memoryDc_; }

 private:
  void DropPicture() {
    if (dib_ != nullptr) {
      if (originalBitmap_ != nullptr) SelectObject(memoryDc_, originalBitmap_);
      DeleteObject(dib_);
      dib_ = nullptr;
    }
    pixels_ = nullptr;
    width_ = height_ = stride_ = 0;
    topDown_ = false;
  }

  HDC memoryDc_ = nullptr;
  HBITMAP dib_ = nullptr;
  HGDIOBJ originalBitmap_ = nullptr;
  uint8_t* pixels_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  bool topDown_ = false;
  int stride_ = 0;
};

}  // namespace

std::unique_ptr<DrawingSurface> DrawingSurface::Create() { return std::make_unique<GdiDrawingSurface>(); }

HDC DrawingSurfaceDc(DrawingSurface& surface) {
  auto* gdi = dynamic_cast<GdiDrawingSurface*>(&surface);
  return gdi != nullptr ? gdi->dc() : nullptr;
}

}  // namespace kavex::platform
