#pragma once
#include <cstdint>
#include <string>

// Writes pictures that tests leave behind for people to look at, as PNG files any viewer opens.
// The image data is stored, not compressed: the files are for eyes, not for keeping.
namespace png_writer {

// An 8-bit RGB picture: height rows of width × 3 bytes (red, green, blue), top row first.
// False when the file cannot be written.
bool WriteRgb(const std::string& path, int width, int height, const uint8_t* rgb);

}  // namespace png_writer
