#pragma once
#include <cstdint>
#include <string>

// Writes the pictures that the tests, the host's previews and the viewer's snapshots leave for
// people to look at, as PNG files any viewer opens.
namespace png_writer {

// An 8-bit RGB picture: height rows of width × 3 bytes (red, green, blue), top row first.
// False when the file cannot be written.
bool WriteRgb(const std::string& path, int width, int height, const uint8_t* rgb);

}  // namespace png_writer
