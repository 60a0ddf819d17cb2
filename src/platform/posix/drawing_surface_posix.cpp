#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/drawing_surface.h"

namespace kavex::platform {

namespace {

// The caption's font: our own fixed 6 × 10 cell (5 × 9 glyphs, one blank row above them and one
// blank column to their right), printable ASCII only. Each glyph is 9 rows of 5 columns, '#' lit,
// rows 7 and 8 for descenders.
constexpr int kCellWidth = 6;
constexpr int kCellHeight = 10;
constexpr int kGlyphWidth = 5;
constexpr int kGlyphRows = 9;
constexpr int kGlyphTop = 1;
constexpr char kFirstGlyph = ' ';
constexpr char kLastGlyph = '~';
constexpr const char* kGlyphs[kLastGlyph - kFirstGlyph + 1] = {
    "..... ..... ..... ..... ..... ..... ..... ..... .....",  // ' '
    "..#.. ..#.. ..#.. ..#.. ..#.. ..... ..#.. ..... .....",  // '!'
    ".#.#. .#.#. .#.#. ..... ..... ..... ..... ..... .....",  // '"'
    ".#.#. .#.#. ##### .#.#. ##### .#.#. .#.#. ..... .....",  // '#'
    "..#.. .#### #.#.. .###. ..#.# ####. ..#.. ..... .....",  // '$'
    "##... ##..# ...#. ..#.. .#... #..## ...## ..... .....",  // '%'
    ".##.. #..#. #.#.. .#... #.#.# #..#. .##.# ..... .....",  // '&'
    "..#.. ..#.. .#... ..... ..... ..... ..... ..... .....",  // '\''
    "...#. ..#.. .#... .#... .#... ..#.. ...#. ..... .....",  // '('
    ".#... ..#.. ...#. ...#. ...#. ..#.. .#... ..... .....",  // ')'
    "..... ..#.. #.#.# .###. #.#.# ..#.. ..... ..... .....",  // '*'
    "..... ..#.. ..#.. ##### ..#.. ..#.. ..... ..... .....",  // '+'
    "..... ..... ..... ..... ..... ..##. ..##. ...#. ..#..",  // ','
    "..... ..... ..... ##### ..... ..... ..... ..... .....",  // '-'
    "..... ..... ..... ..... ..... .##.. .##.. ..... .....",  // '.'
    "..... ....# ...#. ..#.. .#... #.... ..... ..... .....",  // '/'
    ".###. #...# #..## #.#.# ##..# #...# .###. ..... .....",  // '0'
    "..#.. .##.. ..#.. ..#.. ..#.. ..#.. .###. ..... .....",  // '1'
    ".###. #...# ....# ...#. ..#.. .#... ##### ..... .....",  // '2'
    "##### ...#. ..#.. ...#. ....# #...# .###. ..... .....",  // '3'
    "...#. ..##. .#.#. #..#. ##### ...#. ...#. ..... .....",  // '4'
    "##### #.... ####. ....# ....# #...# .###. ..... .....",  // '5'
    "..##. .#... #.... ####. #...# #...# .###. ..... .....",  // '6'
    "##### ....# ...#. ..#.. .#... .#... .#... ..... .....",  // '7'
    ".###. #...# #...# .###. #...# #...# .###. ..... .....",  // '8'
    ".###. #...# #...# .#### ....# ...#. .##.. ..... .....",  // '9'
    "..... .##.. .##.. ..... .##.. .##.. ..... ..... .....",  // ':'
    "..... .##.. .##.. ..... .##.. .##.. ..#.. .#... .....",  // ';'
    "...#. ..#.. .#... #.... .#... ..#.. ...#. ..... .....",  // '<'
    "..... ..... ##### ..... ##### ..... ..... ..... .....",  // '='
    ".#... ..#.. ...#. ....# ...#. ..#.. .#... ..... .....",  // '>'
    ".###. #...# ....# ...#. ..#.. ..... ..#.. ..... .....",  // '?'
    ".###. #...# ....# .##.# #.#.# #.#.# .###. ..... .....",  // '@'
    ".###. #...# #...# ##### #...# #...# #...# ..... .....",  // 'A'
    "####. #...# #...# ####. #...# #...# ####. ..... .....",  // 'B'
    ".###. #...# #.... #.... #.... #...# .###. ..... .....",  // 'C'
    "###.. #..#. #...# #...# #...# #..#. ###.. ..... .....",  // 'D'
    "##### #.... #.... ####. #.... #.... ##### ..... .....",  // 'E'
    "##### #.... #.... ####. #.... #.... #.... ..... .....",  // 'F'
    ".###. #...# #.... #.### #...# #...# .#### ..... .....",  // 'G'
    "#...# #...# #...# ##### #...# #...# #...# ..... .....",  // 'H'
    ".###. ..#.. ..#.. ..#.. ..#.. ..#.. .###. ..... .....",  // 'I'
    "..### ...#. ...#. ...#. ...#. #..#. .##.. ..... .....",  // 'J'
    "#...# #..#. #.#.. ##... #.#.. #..#. #...# ..... .....",  // 'K'
    "#.... #.... #.... #.... #.... #.... ##### ..... .....",  // 'L'
    "#...# ##.## #.#.# #.#.# #...# #...# #...# ..... .....",  // 'M'
    "#...# #...# ##..# #.#.# #..## #...# #...# ..... .....",  // 'N'
    ".###. #...# #...# #...# #...# #...# .###. ..... .....",  // 'O'
    "####. #...# #...# ####. #.... #.... #.... ..... .....",  // 'P'
    ".###. #...# #...# #...# #.#.# #..#. .##.# ..... .....",  // 'Q'
    "####. #...# #...# ####. #.#.. #..#. #...# ..... .....",  // 'R'
    ".#### #.... #.... .###. ....# ....# ####. ..... .....",  // 'S'
    "##### ..#.. ..#.. ..#.. ..#.. ..#.. ..#.. ..... .....",  // 'T'
    "#...# #...# #...# #...# #...# #...# .###. ..... .....",  // 'U'
    "#...# #...# #...# #...# #...# .#.#. ..#.. ..... .....",  // 'V'
    "#...# #...# #...# #.#.# #.#.# #.#.# .#.#. ..... .....",  // 'W'
    "#...# #...# .#.#. ..#.. .#.#. #...# #...# ..... .....",  // 'X'
    "#...# #...# .#.#. ..#.. ..#.. ..#.. ..#.. ..... .....",  // 'Y'
    "##### ....# ...#. ..#.. .#... #.... ##### ..... .....",  // 'Z'
    ".###. .#... .#... .#... .#... .#... .###. ..... .....",  // '['
    "..... #.... .#... ..#.. ...#. ....# ..... ..... .....",  // '\\'
    ".###. ...#. ...#. ...#. ...#. ...#. .###. ..... .....",  // ']'
    "..#.. .#.#. #...# ..... ..... ..... ..... ..... .....",  // '^'
    "..... ..... ..... ..... ..... ..... ..... ##### .....",  // '_'
    ".#... ..#.. ...#. ..... ..... ..... ..... ..... .....",  // '`'
    "..... ..... .###. ....# .#### #...# .#### ..... .....",  // 'a'
    "#.... #.... #.##. ##..# #...# #...# ####. ..... .....",  // 'b'
    "..... ..... .###. #.... #.... #...# .###. ..... .....",  // 'c'
    "....# ....# .##.# #..## #...# #...# .#### ..... .....",  // 'd'
    "..... ..... .###. #...# ##### #.... .###. ..... .....",  // 'e'
    "..##. .#..# .#... ###.. .#... .#... .#... ..... .....",  // 'f'
    "..... ..... .#### #...# #...# #...# .#### ....# .###.",  // 'g'
    "#.... #.... #.##. ##..# #...# #...# #...# ..... .....",  // 'h'
    "..#.. ..... .##.. ..#.. ..#.. ..#.. .###. ..... .....",  // 'i'
    "...#. ..... ..##. ...#. ...#. ...#. ...#. #..#. .##..",  // 'j'
    "#.... #.... #..#. #.#.. ##... #.#.. #..#. ..... .....",  // 'k'
    ".##.. ..#.. ..#.. ..#.. ..#.. ..#.. .###. ..... .....",  // 'l'
    "..... ..... ##.#. #.#.# #.#.# #.#.# #.#.# ..... .....",  // 'm'
    "..... ..... #.##. ##..# #...# #...# #...# ..... .....",  // 'n'
    "..... ..... .###. #...# #...# #...# .###. ..... .....",  // 'o'
    "..... ..... ####. #...# #...# #...# ####. #.... #....",  // 'p'
    "..... ..... .#### #...# #...# #...# .#### ....# ....#",  // 'q'
    "..... ..... #.##. ##..# #.... #.... #.... ..... .....",  // 'r'
    "..... ..... .###. #.... .###. ....# ####. ..... .....",  // 's'
    ".#... .#... ###.. .#... .#... .#..# ..##. ..... .....",  // 't'
    "..... ..... #...# #...# #...# #..## .##.# ..... .....",  // 'u'
    "..... ..... #...# #...# #...# .#.#. ..#.. ..... .....",  // 'v'
    "..... ..... #...# #...# #.#.# #.#.# .#.#. ..... .....",  // 'w'
    "..... ..... #...# .#.#. ..#.. .#.#. #...# ..... .....",  // 'x'
    "..... ..... #...# #...# #...# #...# .#### ....# .###.",  // 'y'
    "..... ..... ##### ...#. ..#.. .#... ##### ..... .....",  // 'z'
    "...#. ..#.. ..#.. .#... ..#.. ..#.. ...#. ..... .....",  // '{'
    "..#.. ..#.. ..#.. ..#.. ..#.. ..#.. ..#.. ..... .....",  // '|'
    ".#... ..#.. ..#.. ...#. ..#.. ..#.. .#... ..... .....",  // '}'
    "..... ..... .#... #.#.# ...#. ..... ..... ..... .....",  // '~'
};

constexpr bool GlyphsWellFormed() {
  for (const char* glyph : kGlyphs) {
    for (int i = 0; i < kGlyphRows * (kGlyphWidth + 1) - 1; ++i) {
      const bool separator = i % (kGlyphWidth + 1) == kGlyphWidth;
      if (separator ? glyph[i] != ' ' : glyph[i] != '#' && glyph[i] != '.') return false;
    }
    if (glyph[kGlyphRows * (kGlyphWidth + 1) - 1] != '\0') return false;
  }
  return true;
}
static_assert(GlyphsWellFormed(), "every glyph is 9 rows of 5 columns");

bool GlyphLit(wchar_t character, int row, int column) {
  // Characters the font lacks show as '?', so that a caption never loses its length.
  if (character < kFirstGlyph || character > kLastGlyph) character = L'?';
  return kGlyphs[character - kFirstGlyph][row * (kGlyphWidth + 1) + column] == '#';
}

const uint8_t kCaptionColour[3] = {250, 250, 250};  // B, G, R

// Thread: the one drawing thread (see DrawingSurface). Owns the picture's memory, laid out as a
// 24-bit DIB so that the code reading it is the same on both systems.
class SoftwareDrawingSurface final : public DrawingSurface {
 public:
  bool Resize(int width, int height, bool topDown) override {
    pixels_.clear();
    pixels_.shrink_to_fit();
    bytes_ = 0;
    width_ = height_ = stride_ = 0;
    topDown_ = false;
    if (width <= 0 || height <= 0) return false;
    const long long stride = (3LL * width + 3) / 4 * 4;
    if (stride * height > INT_MAX) return false;  // the limit a DIB section has
    // The converters that read the picture may read a few bytes past its last row, as they may
    // past the end of a DIB section's rows within its pages.
    bytes_ = static_cast<size_t>(stride * height);
    pixels_.assign(bytes_ + kReadSlack, 0);
    width_ = width;
    height_ = height;
    topDown_ = topDown;
    stride_ = static_cast<int>(stride);
    return true;
  }

  uint8_t* pixels() override { return pixels_.empty() ? nullptr : pixels_.data(); }
  int width() const override { return width_; }
  int height() const override { return height_; }
  bool topDown() const override { return topDown_; }
  int stride() const override { return stride_; }

  void FillBlack() override {
    std::fill(pixels_.begin(), pixels_.begin() + static_cast<ptrdiff_t>(bytes_), uint8_t{0});
  }

  void DrawBitmap(int x, int y, const void* bitmapInfoHeader, const uint8_t* pixels) override {
    if (pixels_.empty() || bitmapInfoHeader == nullptr || pixels == nullptr) return;
    const auto* header = static_cast<const uint8_t*>(bitmapInfoHeader);
    int32_t sourceWidth = 0;
    int32_t sourceHeight = 0;
    uint16_t bitCount = 0;
    uint32_t compression = 0;
    std::memcpy(&sourceWidth, header + 4, 4);
    std::memcpy(&sourceHeight, header + 8, 4);
    std::memcpy(&bitCount, header + 14, 2);
    std::memcpy(&compression, header + 16, 4);
    // The placeholder's frames are the only bitmaps drawn: 32-bit, uncompressed.
    if (bitCount != 32 || compression != 0 || sourceWidth <= 0 || sourceHeight == 0 || sourceHeight == INT32_MIN)
      return;
    const bool sourceTopDown = sourceHeight < 0;
    const int64_t rows = sourceTopDown ? -static_cast<int64_t>(sourceHeight) : sourceHeight;
    const int64_t firstColumn = std::max<int64_t>(0, -static_cast<int64_t>(x));
    const int64_t endColumn = std::min<int64_t>(sourceWidth, static_cast<int64_t>(width_) - x);
    const int64_t firstRow = std::max<int64_t>(0, -static_cast<int64_t>(y));
    const int64_t endRow = std::min<int64_t>(rows, static_cast<int64_t>(height_) - y);
    for (int64_t j = firstRow; j < endRow; ++j) {
      const int64_t stored = sourceTopDown ? j : rows - 1 - j;
      const uint8_t* source = pixels + (stored * sourceWidth + firstColumn) * 4;
      uint8_t* target = Row(static_cast<int>(y + j)) + (x + firstColumn) * 3;
      for (int64_t i = firstColumn; i < endColumn; ++i, source += 4, target += 3) std::memcpy(target, source, 3);
    }
  }

  void DrawCaption(const std::wstring& text, int left, int top, int right, int bottom) override {
    if (pixels_.empty()) return;
    const int64_t textWidth = static_cast<int64_t>(text.size()) * kCellWidth;
    const int64_t textLeft = (static_cast<int64_t>(left) + right - textWidth) / 2;
    const int64_t clipLeft = std::max<int64_t>({left, 0, textLeft});
    const int64_t clipRight = std::min<int64_t>({right, width_, textLeft + textWidth});
    const int64_t clipTop = std::max<int64_t>(top, 0);
    const int64_t clipBottom = std::min<int64_t>({bottom, height_, static_cast<int64_t>(top) + kCellHeight});
    for (int64_t y = clipTop; y < clipBottom; ++y) {
      const int glyphRow = static_cast<int>(y - top) - kGlyphTop;
      uint8_t* row = Row(static_cast<int>(y));
      for (int64_t x = clipLeft; x < clipRight; ++x) {
        const int64_t offset = x - textLeft;
        const int column = static_cast<int>(offset % kCellWidth);
        // The cells are painted in the background colour too, as opaque text is.
        const bool lit = glyphRow >= 0 && glyphRow < kGlyphRows && column < kGlyphWidth &&
                         GlyphLit(text[static_cast<size_t>(offset / kCellWidth)], glyphRow, column);
        if (lit) {
          std::memcpy(row + x * 3, kCaptionColour, 3);
        } else {
          std::memset(row + x * 3, 0, 3);
        }
      }
    }
  }

 private:
  // The stored row that shows picture row y.
  uint8_t* Row(int y) {
    const int stored = topDown_ ? y : height_ - 1 - y;
    return pixels_.data() + static_cast<size_t>(stored) * static_cast<size_t>(stride_);
  }

  static constexpr size_t kReadSlack = 64;

  std::vector<uint8_t> pixels_;
  size_t bytes_ = 0;  // the picture's own bytes, without the slack
  int width_ = 0;
  int height_ = 0;
  bool topDown_ = false;
  int stride_ = 0;
};

}  // namespace

std::unique_ptr<DrawingSurface> DrawingSurface::Create() { return std::make_unique<SoftwareDrawingSurface>(); }

}  // namespace kavex::platform
