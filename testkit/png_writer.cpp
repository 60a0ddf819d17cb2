// The encoding is stb_image_write's (Debian's libstb-dev, header-only).
#include "png_writer.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace png_writer {

bool WriteRgb(const std::string& path, int width, int height, const uint8_t* rgb) {
  if (width <= 0 || height <= 0 || rgb == nullptr) return false;
  return stbi_write_png(path.c_str(), width, height, 3, rgb, width * 3) != 0;
}

}  // namespace png_writer
