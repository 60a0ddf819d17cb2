#pragma once
#include <cstdint>

namespace kavex {

// Where a picture lands inside an output picture: its scaled size and the top-left corner of that
// rectangle. Everything outside it (the bars) is left as the slot already holds it.
struct PictureFit {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t xOffset = 0;
  uint32_t yOffset = 0;

  bool empty() const { return width == 0 || height == 0; }
};

// Fits a pictureWidth x pictureHeight picture into an outputWidth x |outputHeight| output of the given
// OutputPixelCode. RGB24 and YUY2 keep the picture's aspect (pillarbox or letterbox, with two
// pixels of slack so that near-equal aspects fill); I420 and ARGB always fill the output. Any zero
// or negative size gives an empty fit: there is nothing to draw.
PictureFit FitPicture(int pictureWidth, int pictureHeight, uint32_t outputWidth, int32_t outputHeight, uint32_t code);

}  // namespace kavex
