#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace kavex {

// A GIF file read block by block, with the LZW image data decoded row by row into a sink.
// Thread: whichever thread loads the animation; one reader per file. Owns nothing but its small
// fixed tables: the bytes stay the caller's and must outlive the reader.
//
// Damaged files are read, never trusted:
// - every read past the end of the data yields zero bytes, so a descriptor or colour table cut short
//   is completed with zeros and a truncated image decodes with its missing pixels at index 0;
// - a colour table is always 256 entries, zero (black) past the entries the file gives, so any
//   colour index, and the background index, picks an entry inside the table;
// - an LZW code that names no string ends its row early (the rest of the row stays index 0) and is
//   dropped; decoding goes on with the next row;
// - the LZW end code ends the image: every pixel not yet written stays index 0 (what follows it up to
//   the terminating sub-block is skipped rather than decoded into further rows);
// - an image whose minimum code size is not 1 to 8 cannot be decoded at all: its data is skipped and
//   DecodeImage reports false without emitting rows.
// The file's order of blocks is kept; the caller decides what to do with images that lie partly
// outside the logical screen (rows and columns are given in image coordinates).

struct GifColor {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
};

using GifColorTable = std::array<GifColor, 256>;

struct GifScreen {
  uint16_t width = 0;
  uint16_t height = 0;
  bool hasGlobalTable = false;
  uint8_t colorResolution = 0;  // bits per primary minus one, as stored
  bool sorted = false;
  uint8_t tableExponent = 0;  // the table holds 2^(exponent + 1) entries
  uint8_t backgroundIndex = 0;
  uint8_t aspect = 0;
  GifColorTable globalTable{};  // all black without a global table
};

struct GifImageDescriptor {
  uint16_t left = 0;
  uint16_t top = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  bool hasLocalTable = false;
  bool interlaced = false;
  bool sorted = false;
  uint8_t tableExponent = 0;
  GifColorTable localTable{};
};

// An extension as stored: its label and its data sub-blocks. Only the first sub-block's bytes are
// kept (the graphic control extension lives there); the others are counted and skipped.
struct GifExtension {
  uint8_t label = 0;
  size_t blockCount = 0;
  uint8_t firstBlockSize = 0;
  std::array<uint8_t, 255> firstBlock{};
};

// Receives an image's rows in the order the file stores them (interlaced images in their four
// passes). indices holds the row's first `written` pixels; the others (up to the image width) are
// index 0.
class GifRowSink {
 public:
  virtual ~GifRowSink() = default;
  virtual void OnRow(uint32_t row, const uint8_t* indices, uint32_t written) = 0;
};

class GifReader {
 public:
  static constexpr uint8_t kImageIntroducer = 0x2C;
  static constexpr uint8_t kExtensionIntroducer = 0x21;
  static constexpr uint8_t kGraphicControlLabel = 0xF9;

  GifReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  GifReader(const GifReader&) = delete;
  GifReader& operator=(const GifReader&) = delete;

  // The header and the logical screen with its global table. False when the data does not start
  // with "GIF": nothing else is read then.
  bool ReadScreen(GifScreen* screen);

  enum class Block { kImage, kExtension, kEnd };
  // The next block. For kImage the descriptor (and local table) is read and DecodeImage must follow
  // before the next call (else the image's data is skipped then); for kExtension the whole
  // extension is read. kEnd for the trailer and for any other byte, the end of the data included.
  Block NextBlock();
  const GifImageDescriptor& image() const { return image_; }
  const GifExtension& extension() const { return extension_; }

  // Decodes the current image's data into the sink, every row of the image once, then skips what
  // is left of the data up to and including the terminating sub-block. False (no rows given) when
  // the image's minimum code size cannot be decoded.
  bool DecodeImage(GifRowSink* sink);

 private:
  class CodeReader;
  class LzwDecoder;

  uint8_t ReadByte();
  uint16_t ReadU16();
  void ReadColorTable(uint8_t exponent, GifColorTable* table);
  void SkipSubBlocks();

  const uint8_t* const data_;
  const size_t size_;
  size_t position_ = 0;
  bool imagePending_ = false;
  GifImageDescriptor image_;
  GifExtension extension_;
};

}  // namespace kavex
