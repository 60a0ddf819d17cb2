#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace kavex::platform {

// The canvas on which the placeholder picture is drawn: on Windows a memory device context with a
// 24-bit DIB section selected into it (GDI draws on it), natively a software picture with the same
// memory layout and the same results. Pixels are B, G, R; rows are padded to a multiple of 4 bytes,
// as DIB rows are.
// Thread: the output's feeder thread (and the opening thread before the feeder starts).
class DrawingSurface {
 public:
  static std::unique_ptr<DrawingSurface> Create();
  virtual ~DrawingSurface() = default;

  // Replaces the picture with a new one of width × height pixels, rows stored top row first when
  // topDown, else bottom row first. False when it cannot be made; pixels() is then null.
  virtual bool Resize(int width, int height, bool topDown) = 0;
  // The picture's memory, with every drawing call made so far applied to it.
  virtual uint8_t* pixels() = 0;
  virtual int width() const = 0;
  virtual int height() const = 0;
  virtual bool topDown() const = 0;
  // Bytes from one stored row to the next: 3 × width rounded up to a multiple of 4.
  virtual int stride() const = 0;

  // The drawing calls take picture coordinates (x to the right, y down from the top row) whatever
  // the row order in memory, and draw nothing outside the picture.

  // Paints the whole picture black.
  virtual void FillBlack() = 0;
  // Copies a 32-bit bitmap (its alpha is not used) with its top-left corner at (x, y).
  // bitmapInfoHeader: the 40 bytes of a Windows BITMAPINFOHEADER describing pixels (BI_RGB;
  // a negative height means top row first).
  virtual void DrawBitmap(int x, int y, const void* bitmapInfoHeader, const uint8_t* pixels) = 0;
  // One line of text in near-white on black, in the surface's default font, centred horizontally
  // in the rectangle [left, right) × [top, bottom) and at its top; clipped to the rectangle.
  virtual void DrawCaption(const std::wstring& text, int left, int top, int right, int bottom) = 0;
};

}  // namespace kavex::platform
