#include "output/picture_fit.h"

#include "output/output_format.h"

namespace kavex {

PictureFit FitPicture(int pictureWidth, int pictureHeight, uint32_t outputWidth, int32_t outputHeight, uint32_t code) {
  // 64-bit throughout: a product of two sizes does not fit 32 bits.
  const int64_t w = pictureWidth;
  const int64_t h = pictureHeight;
  const int64_t outW = outputWidth;
  const int64_t outH = outputHeight < 0 ? -static_cast<int64_t>(outputHeight) : outputHeight;
  PictureFit fit;
  if (w <= 0 || h <= 0 || outW == 0 || outH == 0) return fit;

  int64_t dstW = outW;
  int64_t dstH = outH;
  int64_t x = 0;
  int64_t y = 0;
  if (code == kPixelRgb24 || code == kPixelYuy2) {
    if (w + 2 < h * outW / outH) {
      dstW = (w * outH / h) & ~int64_t{7};
      x = (outW - dstW) / 2;
      // A YUY2 pixel pair shares its chroma: a rectangle starting on an odd pixel would put luma
      // where the driver reads chroma.
      if (code == kPixelYuy2) x &= ~int64_t{1};
    } else if (h + 2 < w * outH / outW) {
      dstH = h * outW / w;
      y = (outH - dstH) / 2;
    }
  }
  if (dstW == 0 || dstH == 0) return fit;
  fit.width = static_cast<uint32_t>(dstW);
  fit.height = static_cast<uint32_t>(dstH);
  fit.xOffset = static_cast<uint32_t>(x);
  fit.yOffset = static_cast<uint32_t>(y);
  return fit;
}

}  // namespace kavex
