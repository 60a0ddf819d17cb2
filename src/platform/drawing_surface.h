#pragma once
#include <cstdint>
#include <memory>

namespace kavex::platform {

// The canvas on which the placeholder picture is drawn: on Windows a memory device context with a
// 24-bit DIB section selected into it (GDI draws on it), natively a software picture with the same
// memory layout. Pixels are B, G, R; rows are padded to a multiple of 4 bytes, as DIB rows are.
// Thread: the output's feeder thread (and the opening thread before the feeder starts).
class DrawingSurface {
 public:
  static std::unique_ptr<DrawingSurface> Create();
  virtual ~DrawingSurface() = default;

  // Replaces the picture with a new one of width × height pixels, rows stored top row first when
  // topDown, else bottom row first. False when it cannot be made; pixels() is then null.
  virtual bool Resize(int width, int height, bool topDown) = 0;
  virtual uint8_t* pixels() = 0;
  virtual int width() const = 0;
  virtual int height() const = 0;
  virtual bool topDown() const = 0;
  // Bytes from one stored row to the next: 3 × width rounded up to a multiple of 4.
  virtual int stride() const = 0;
};

}  // namespace kavex::platform
