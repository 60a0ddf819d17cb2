#include "output/animated_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "output/gif_reader.h"
#include "platform/module_resource.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace kavex {
namespace {

using Bytes = std::vector<uint8_t>;

// GIF's LZW as an encoder writes it: a clear code first, the table cleared when full.
Bytes LzwEncode(const Bytes& indices, int minimumCodeSize) {
  const int clear = 1 << minimumCodeSize;
  Bytes out;
  uint32_t bits = 0;
  int bitCount = 0;
  int width = minimumCodeSize + 1;
  auto emit = [&](int code) {
    bits |= static_cast<uint32_t>(code) << bitCount;
    for (bitCount += width; bitCount >= 8; bitCount -= 8, bits >>= 8) out.push_back(bits & 0xFF);
  };
  std::map<std::pair<int, int>, int> table;
  int next = clear + 2;
  emit(clear);
  int current = -1;
  for (uint8_t value : indices) {
    if (current < 0) {
      current = value;
      continue;
    }
    auto found = table.find({current, value});
    if (found != table.end()) {
      current = found->second;
      continue;
    }
    emit(current);
    if (next < 4096) {
      table[{current, value}] = next++;
      if (next > (1 << width) && width < 12) ++width;
    } else {
      emit(clear);
      table.clear();
      next = clear + 2;
      width = minimumCodeSize + 1;
    }
    current = value;
  }
  if (current >= 0) emit(current);
  emit(clear + 1);
  if (bitCount > 0) out.push_back(bits & 0xFF);
  return out;
}

// Codes of chosen widths, packed least-significant bit first: for streams no encoder writes.
Bytes PackCodes(const std::vector<std::pair<int, int>>& codesAndWidths) {
  Bytes out;
  uint32_t bits = 0;
  int bitCount = 0;
  for (auto [code, width] : codesAndWidths) {
    bits |= static_cast<uint32_t>(code) << bitCount;
    for (bitCount += width; bitCount >= 8; bitCount -= 8, bits >>= 8) out.push_back(bits & 0xFF);
  }
  if (bitCount > 0) out.push_back(bits & 0xFF);
  return out;
}

struct ImageOptions {
  bool interlaced = false;
  std::vector<GifColor> localTable;  // a power of two entries, or none
  int minimumCodeSize = 4;
  size_t subBlockSize = 255;
  const Bytes* rawData = nullptr;  // LZW data as given, instead of encoding the indices
};

// A GIF written block by block; images take their indices in display order.
class GifBuilder {
 public:
  GifBuilder(uint16_t width, uint16_t height, const std::vector<GifColor>& globalTable, uint8_t backgroundIndex = 0)
      : bytes_{'G', 'I', 'F', '8', '9', 'a'} {
    U16(width);
    U16(height);
    bytes_.push_back(globalTable.empty() ? 0 : static_cast<uint8_t>(0xF0 | TableExponent(globalTable)));
    bytes_.push_back(backgroundIndex);
    bytes_.push_back(0);
    Table(globalTable);
  }

  GifBuilder& Control(int disposal, bool transparentFlag, uint8_t transparentIndex) {
    Bytes block = {static_cast<uint8_t>((disposal << 2) | (transparentFlag ? 1 : 0)), 8, 0, transparentIndex};
    return Extension(0xF9, {block});
  }

  GifBuilder& Extension(uint8_t label, const std::vector<Bytes>& blocks) {
    bytes_.push_back(0x21);
    bytes_.push_back(label);
    for (const Bytes& block : blocks) {
      bytes_.push_back(static_cast<uint8_t>(block.size()));
      bytes_.insert(bytes_.end(), block.begin(), block.end());
    }
    bytes_.push_back(0);
    return *this;
  }

  GifBuilder& Image(uint16_t left, uint16_t top, uint16_t width, uint16_t height, const Bytes& indices,
                    const ImageOptions& options = {}) {
    bytes_.push_back(0x2C);
    U16(left);
    U16(top);
    U16(width);
    U16(height);
    uint8_t packed = options.interlaced ? 0x40 : 0;
    if (!options.localTable.empty()) packed |= 0x80 | TableExponent(options.localTable);
    bytes_.push_back(packed);
    Table(options.localTable);
    bytes_.push_back(static_cast<uint8_t>(options.minimumCodeSize));
    const Bytes data = options.rawData != nullptr ? *options.rawData
                                                  : LzwEncode(StoredOrder(indices, width, height, options.interlaced),
                                                              options.minimumCodeSize);
    for (size_t start = 0; start < data.size(); start += options.subBlockSize) {
      size_t length = std::min(options.subBlockSize, data.size() - start);
      bytes_.push_back(static_cast<uint8_t>(length));
      bytes_.insert(bytes_.end(), data.begin() + start, data.begin() + start + length);
    }
    bytes_.push_back(0);
    return *this;
  }

  Bytes Finish() {
    bytes_.push_back(0x3B);
    return bytes_;
  }

 private:
  static uint8_t TableExponent(const std::vector<GifColor>& table) {
    uint8_t exponent = 0;
    while ((size_t{2} << exponent) < table.size()) ++exponent;
    return exponent;
  }

  static Bytes StoredOrder(const Bytes& indices, uint16_t width, uint16_t height, bool interlaced) {
    if (!interlaced) return indices;
    Bytes stored;
    const int start[4] = {0, 4, 2, 1};
    const int step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
      for (int row = start[pass]; row < height; row += step[pass]) {
        stored.insert(stored.end(), indices.begin() + row * width, indices.begin() + (row + 1) * width);
      }
    }
    return stored;
  }

  void U16(uint16_t value) {
    bytes_.push_back(value & 0xFF);
    bytes_.push_back(value >> 8);
  }
  void Table(const std::vector<GifColor>& table) {
    for (const GifColor& color : table) {
      bytes_.push_back(color.red);
      bytes_.push_back(color.green);
      bytes_.push_back(color.blue);
    }
  }

  Bytes bytes_;
};

// A palette of n distinct colours: entry i is (i, 2i, 3i) + 1, never black.
std::vector<GifColor> Palette(size_t n) {
  std::vector<GifColor> table(n);
  for (size_t i = 0; i < n; ++i) {
    table[i] = {static_cast<uint8_t>(i + 1), static_cast<uint8_t>(2 * i + 1), static_cast<uint8_t>(3 * i + 1)};
  }
  return table;
}

using Bgra = std::array<uint8_t, 4>;
Bgra Opaque(GifColor color) { return {color.blue, color.green, color.red, 255}; }
constexpr Bgra kUntouched = {0, 0, 0, 0};

Bgra PixelAt(const AnimationFrame& frame, int x, int y) {
  const uint8_t* p = &frame.pixels[(static_cast<size_t>(y) * frame.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

// Every row the reader gives, as it gives them.
struct RecordedImage : GifRowSink {
  RecordedImage(uint32_t width, uint32_t height) : width(width), pixels(size_t{width} * height, 0xEE) {}
  void OnRow(uint32_t row, const uint8_t* indices, uint32_t written) override {
    order.push_back(row);
    for (uint32_t k = 0; k < width; ++k) pixels[size_t{row} * width + k] = k < written ? indices[k] : 0;
  }
  uint32_t width;
  Bytes pixels;
  std::vector<uint32_t> order;
};

// The first image of a file, decoded by the reader alone.
RecordedImage DecodeFirstImage(const Bytes& gif) {
  GifReader reader(gif.data(), gif.size());
  GifScreen screen;
  EXPECT_TRUE(reader.ReadScreen(&screen));
  GifReader::Block block;
  while ((block = reader.NextBlock()) == GifReader::Block::kExtension) {
  }
  EXPECT_EQ(block, GifReader::Block::kImage);
  RecordedImage image(reader.image().width, reader.image().height);
  EXPECT_TRUE(reader.DecodeImage(&image));
  return image;
}

Bytes RandomIndices(size_t count, int colours, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes indices(count);
  // Runs of repeated values, so that strings grow long and the table fills.
  for (size_t i = 0; i < count; ++i) {
    indices[i] = (i > 0 && random() % 3 != 0) ? indices[i - 1] : static_cast<uint8_t>(random() % colours);
  }
  return indices;
}

TEST(AnimatedImageTest, ShippedAnimationHasSeventeenFramesOfThePhone) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(platform::LoadModuleResource(AnimatedImage::kPlaceholderResourceId, &data, &size));
  ASSERT_GT(size, 6u);
  EXPECT_EQ(std::memcmp(data, "GIF89a", 6), 0);
  EXPECT_FALSE(platform::LoadModuleResource(102, &data, &size));

  AnimatedImage image;
  ASSERT_EQ(image.LoadFromModule(), 17u);
  EXPECT_EQ(image.canvasWidth(), 132);
  EXPECT_EQ(image.canvasHeight(), 86);
  for (size_t i = 0; i < image.frameCount(); ++i) {
    const AnimationFrame& frame = image.frame(i);
    ASSERT_EQ(frame.width, 132);
    ASSERT_EQ(frame.height, 86);
    ASSERT_EQ(frame.pixels.size(), 132u * 86 * 4);
    EXPECT_EQ(frame.header.size, 40u);
    EXPECT_EQ(frame.header.width, 132);
    EXPECT_EQ(frame.header.height, -86);
    EXPECT_EQ(frame.header.planes, 1);
    EXPECT_EQ(frame.header.bitCount, 32);
    EXPECT_EQ(frame.header.compression, 0u);
    EXPECT_EQ(frame.header.xPelsPerMeter, 11811);
    // The phone's dark screen sits in the middle of every frame; the corners stay black.
    EXPECT_EQ(PixelAt(frame, 66, 43), (Bgra{26, 24, 24, 255})) << "frame " << i;
    EXPECT_EQ(PixelAt(frame, 0, 0)[2], 0);
    EXPECT_EQ(PixelAt(frame, 131, 85)[2], 0);
  }
  // The signal pulses: frames differ.
  EXPECT_NE(image.frame(0).pixels, image.frame(11).pixels);

  image.Release();
  EXPECT_EQ(image.frameCount(), 0u);
  EXPECT_EQ(image.canvasWidth(), 0);
}

#ifdef _WIN32
TEST(AnimatedImageTest, EngineDllCarriesTheSameAnimationInUsEnglish) {
  HMODULE dll = LoadLibraryExW(L"engine.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(dll, nullptr) << "engine.dll next to the test program";
  HRSRC info = FindResourceExW(dll, MAKEINTRESOURCEW(10) /* RT_RCDATA */, MAKEINTRESOURCEW(101),
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_NE(info, nullptr);
  const void* dllBytes = LockResource(LoadResource(dll, info));
  const DWORD dllSize = SizeofResource(dll, info);

  const uint8_t* ownBytes = nullptr;
  size_t ownSize = 0;
  ASSERT_TRUE(platform::LoadModuleResource(101, &ownBytes, &ownSize));
  ASSERT_EQ(dllSize, ownSize);
  EXPECT_EQ(std::memcmp(dllBytes, ownBytes, ownSize), 0);
  FreeLibrary(dll);
}
#endif

TEST(GifReaderTest, LzwRoundTripsAcrossCodeSizesSubBlocksAndFullTables) {
  struct Case {
    int minimumCodeSize;
    uint16_t width, height;
    size_t subBlockSize;
  };
  // Widths of 1 and 3 make strings straddle rows; 200 x 150 fills the 4,096-code table many times.
  const Case cases[] = {{2, 7, 5, 255},   {2, 1, 300, 3},     {3, 3, 64, 255},  {4, 33, 17, 7},
                        {5, 64, 64, 255}, {8, 200, 150, 255}, {8, 200, 150, 1}, {7, 255, 3, 254}};
  uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "code size " << c.minimumCodeSize << ", " << c.width << " x " << c.height
                                    << ", sub-blocks of " << c.subBlockSize);
    const Bytes indices = RandomIndices(size_t{c.width} * c.height, 1 << c.minimumCodeSize, seed++);
    ImageOptions options;
    options.minimumCodeSize = c.minimumCodeSize;
    options.subBlockSize = c.subBlockSize;
    const Bytes gif =
        GifBuilder(c.width, c.height, Palette(2)).Image(0, 0, c.width, c.height, indices, options).Finish();
    EXPECT_EQ(DecodeFirstImage(gif).pixels, indices);
  }

  // One colour throughout: the longest strings, each spanning many rows.
  const Bytes uniform(3 * 400, 1);
  const Bytes gif = GifBuilder(3, 400, Palette(4)).Image(0, 0, 3, 400, uniform, {false, {}, 2}).Finish();
  EXPECT_EQ(DecodeFirstImage(gif).pixels, uniform);
}

TEST(GifReaderTest, InterlacedRowsComeInFourPasses) {
  Bytes indices(4 * 10);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<uint8_t>(i / 4);  // row number
  ImageOptions interlaced;
  interlaced.interlaced = true;
  const Bytes gif = GifBuilder(4, 10, Palette(16)).Image(0, 0, 4, 10, indices, interlaced).Finish();

  RecordedImage image = DecodeFirstImage(gif);
  EXPECT_EQ(image.order, (std::vector<uint32_t>{0, 8, 4, 2, 6, 1, 3, 5, 7, 9}));
  EXPECT_EQ(image.pixels, indices);

  // Through the composition each row lands where it belongs.
  AnimatedImage animation;
  ASSERT_EQ(animation.Load(gif.data(), gif.size()), 1u);
  const std::vector<GifColor> palette = Palette(16);
  for (int row = 1; row < 10; ++row) EXPECT_EQ(PixelAt(animation.frame(0), 3, row), Opaque(palette[row]));
}

TEST(GifReaderTest, BadCodesEndTheirRowAndTheEndCodeEndsTheImage) {
  // Minimum code size 2: clear 4, end 5, first free 6, codes of 3 bits.
  ImageOptions options;
  options.minimumCodeSize = 2;
  auto decode = [&](const Bytes& data, uint16_t width, uint16_t height) {
    options.rawData = &data;
    return DecodeFirstImage(GifBuilder(width, height, Palette(4)).Image(0, 0, width, height, {}, options).Finish());
  };

  // 7 is past the next free code: row 0 keeps 1, 0, 0 and decoding goes on in row 1, where the
  // string table still follows the 1 (code 6 is 1, 2).
  EXPECT_EQ(decode(PackCodes({{4, 3}, {1, 3}, {7, 3}, {2, 3}, {6, 3}}), 3, 2).pixels, (Bytes{1, 0, 0, 2, 1, 2}));
  // The code being defined (6 right after 1) stands for 1, 1.
  EXPECT_EQ(decode(PackCodes({{4, 3}, {1, 3}, {6, 3}, {5, 3}}), 3, 1).pixels, (Bytes{1, 1, 1}));
  // Right after a clear only single colours are known.
  EXPECT_EQ(decode(PackCodes({{4, 3}, {6, 3}, {3, 3}, {3, 3}, {5, 3}}), 2, 2).pixels, (Bytes{0, 0, 3, 3}));
  // The end code leaves every pixel not yet written at 0, in later rows too.
  EXPECT_EQ(decode(PackCodes({{4, 3}, {2, 3}, {5, 3}, {3, 3}, {3, 3}}), 2, 2).pixels, (Bytes{2, 0, 0, 0}));
  // Data cut short: the missing pixels are 0.
  EXPECT_EQ(decode(PackCodes({{4, 3}, {3, 3}, {3, 3}}), 3, 2).pixels, (Bytes{3, 3, 0, 0, 0, 0}));
}

class CompositionTest : public ::testing::Test {
 protected:
  const std::vector<GifColor> palette_ = Palette(8);
};

TEST_F(CompositionTest, WithoutControlExtensionIndexZeroIsTransparent) {
  const Bytes gif = GifBuilder(2, 1, palette_).Image(0, 0, 2, 1, {0, 3}).Finish();
  AnimatedImage image;
  ASSERT_EQ(image.Load(gif.data(), gif.size()), 1u);
  EXPECT_EQ(PixelAt(image.frame(0), 0, 0), kUntouched);
  EXPECT_EQ(PixelAt(image.frame(0), 1, 0), Opaque(palette_[3]));
}

TEST_F(CompositionTest, FramesAccumulateAndTheControlWordPersists) {
  // The transparent index counts without its flag, and stays in force for the third image, which
  // has no extension of its own. An extension whose first block is not 4 bytes long is ignored.
  const Bytes gif = GifBuilder(4, 2, palette_)
                        .Control(1, false, 5)
                        .Image(0, 0, 4, 2, {1, 1, 1, 1, 2, 2, 2, 5})
                        .Image(1, 0, 2, 1, {5, 3})
                        .Extension(0xF9, {{0x04, 8, 0, 3, 0}})
                        .Image(0, 1, 4, 1, {5, 4, 0, 3})
                        .Finish();
  AnimatedImage image;
  ASSERT_EQ(image.Load(gif.data(), gif.size()), 3u);
  const AnimationFrame& first = image.frame(0);
  EXPECT_EQ(PixelAt(first, 0, 0), Opaque(palette_[1]));
  EXPECT_EQ(PixelAt(first, 0, 1), Opaque(palette_[2]));
  EXPECT_EQ(PixelAt(first, 3, 1), kUntouched);

  const AnimationFrame& second = image.frame(1);
  EXPECT_EQ(PixelAt(second, 1, 0), Opaque(palette_[1]));  // transparent: kept
  EXPECT_EQ(PixelAt(second, 2, 0), Opaque(palette_[3]));
  EXPECT_EQ(PixelAt(second, 0, 1), Opaque(palette_[2]));  // outside the image: kept

  const AnimationFrame& third = image.frame(2);
  EXPECT_EQ(PixelAt(third, 2, 0), Opaque(palette_[3]));
  EXPECT_EQ(PixelAt(third, 0, 1), Opaque(palette_[2]));  // still index 5 transparent
  EXPECT_EQ(PixelAt(third, 1, 1), Opaque(palette_[4]));
  EXPECT_EQ(PixelAt(third, 2, 1), Opaque(palette_[0]));  // index 0 is a colour now
  EXPECT_EQ(PixelAt(third, 3, 1), Opaque(palette_[3]));
  EXPECT_EQ(PixelAt(first, 2, 0), Opaque(palette_[1])) << "earlier frames are copies, not views";
}

TEST_F(CompositionTest, DisposalTwoGivesTransparentPixelsTheBackgroundColour) {
  for (int disposal = 0; disposal < 4; ++disposal) {
    SCOPED_TRACE(disposal);
    const Bytes gif = GifBuilder(2, 1, palette_, 6)
                          .Control(1, true, 7)
                          .Image(0, 0, 2, 1, {3, 3})
                          .Control(disposal, true, 2)
                          .Image(0, 0, 2, 1, {2, 4})
                          .Finish();
    AnimatedImage image;
    ASSERT_EQ(image.Load(gif.data(), gif.size()), 2u);
    const Bgra background = {palette_[6].blue, palette_[6].green, palette_[6].red, 0};
    EXPECT_EQ(PixelAt(image.frame(1), 0, 0), disposal == 2 ? background : Opaque(palette_[3]));
    EXPECT_EQ(PixelAt(image.frame(1), 1, 0), Opaque(palette_[4]));
  }
}

TEST_F(CompositionTest, LocalTableTakesPrecedenceAndFileWithoutImagesHasNoFrames) {
  ImageOptions local;
  local.localTable = {{200, 0, 0}, {0, 200, 0}};
  local.minimumCodeSize = 2;
  const Bytes gif = GifBuilder(2, 1, palette_).Control(0, false, 9).Image(0, 0, 2, 1, {0, 1}, local).Finish();
  AnimatedImage image;
  ASSERT_EQ(image.Load(gif.data(), gif.size()), 1u);
  EXPECT_EQ(PixelAt(image.frame(0), 0, 0), (Bgra{0, 0, 200, 255}));
  EXPECT_EQ(PixelAt(image.frame(0), 1, 0), (Bgra{0, 200, 0, 255}));

  const Bytes empty = GifBuilder(5, 4, palette_).Extension(0xFE, {{'h', 'i'}}).Control(1, true, 0).Finish();
  EXPECT_EQ(image.Load(empty.data(), empty.size()), 0u);
  EXPECT_EQ(image.canvasWidth(), 5);
  EXPECT_EQ(image.canvasHeight(), 4);
}

// Everything below must also pass under AddressSanitizer: nothing is read or written outside the
// data, the tables or the canvas.
TEST(AnimatedImageMalformedTest, FilesThatAreNoAnimationGiveNoFrames) {
  AnimatedImage image;
  const Bytes notGif = {'P', 'N', 'G', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3B};
  EXPECT_EQ(image.Load(notGif.data(), notGif.size()), 0u);
  EXPECT_EQ(image.canvasWidth(), 0);
  EXPECT_EQ(image.Load(nullptr, 0), 0u);
  const Bytes justSignature = {'G', 'I', 'F'};
  EXPECT_EQ(image.Load(justSignature.data(), justSignature.size()), 0u);

  // A huge logical screen is refused before anything is allocated for it.
  const Bytes huge = GifBuilder(65535, 65535, Palette(2)).Image(0, 0, 1, 1, {1}, {false, {}, 2}).Finish();
  EXPECT_EQ(image.Load(huge.data(), huge.size()), 0u);
  EXPECT_EQ(image.canvasWidth(), 0);
}

TEST(AnimatedImageMalformedTest, TruncatedAnimationKeepsTheFramesBeforeTheCut) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(platform::LoadModuleResource(AnimatedImage::kPlaceholderResourceId, &data, &size));
  AnimatedImage whole;
  ASSERT_EQ(whole.LoadFromModule(), 17u);

  size_t previousFrames = 0;
  for (size_t cut = 0; cut < size; cut += 29) {
    // A copy of exactly `cut` bytes, so that the sanitizer sees any read past its end.
    const Bytes truncated(data, data + cut);
    AnimatedImage image;
    const size_t frames = image.Load(truncated.data(), truncated.size());
    ASSERT_LE(frames, 17u);
    ASSERT_GE(frames, previousFrames) << "cut at " << cut;
    previousFrames = frames;
    // The last frame may be an image cut short; all before it are whole.
    for (size_t i = 0; i + 1 < frames; ++i) {
      ASSERT_EQ(image.frame(i).pixels, whole.frame(i).pixels) << "cut at " << cut << ", frame " << i;
    }
  }
}

TEST(AnimatedImageMalformedTest, ImagesOutsideTheScreenAreClipped) {
  const std::vector<GifColor> palette = Palette(4);
  const Bytes gif = GifBuilder(4, 3, palette)
                        .Control(0, false, 0)
                        .Image(2, 1, 3, 3, {1, 2, 3, 1, 2, 3, 1, 2, 3}, {false, {}, 2})
                        .Image(65530, 65530, 100, 100, Bytes(100 * 100, 2), {false, {}, 2})
                        .Image(4, 0, 2, 1, {3, 3}, {false, {}, 2})
                        .Finish();
  AnimatedImage image;
  ASSERT_EQ(image.Load(gif.data(), gif.size()), 3u);
  const AnimationFrame& frame = image.frame(0);
  EXPECT_EQ(PixelAt(frame, 1, 1), kUntouched);
  EXPECT_EQ(PixelAt(frame, 2, 1), Opaque(palette[1]));
  EXPECT_EQ(PixelAt(frame, 3, 2), Opaque(palette[2]));
  // Wholly outside: the frame repeats the canvas.
  EXPECT_EQ(image.frame(1).pixels, frame.pixels);
  EXPECT_EQ(image.frame(2).pixels, frame.pixels);
}

TEST(AnimatedImageMalformedTest, UndecodableImagesDrawNothingAndMissingTablesAreBlack) {
  const std::vector<GifColor> palette = Palette(4);
  ImageOptions badCodeSize;
  badCodeSize.minimumCodeSize = 12;
  const Bytes data = Bytes(40, 0xFF);
  badCodeSize.rawData = &data;
  ImageOptions zeroCodeSize = badCodeSize;
  zeroCodeSize.minimumCodeSize = 0;
  const Bytes gif = GifBuilder(2, 1, palette)
                        .Image(0, 0, 2, 1, {}, badCodeSize)
                        .Image(0, 0, 2, 1, {}, zeroCodeSize)
                        .Image(0, 0, 2, 1, {1, 2}, {false, {}, 2})  // still found after them
                        .Finish();
  AnimatedImage image;
  ASSERT_EQ(image.Load(gif.data(), gif.size()), 3u);
  EXPECT_EQ(PixelAt(image.frame(1), 0, 0), kUntouched);
  EXPECT_EQ(PixelAt(image.frame(2), 1, 0), Opaque(palette[2]));

  // No global table; index 200 of a 2-entry local table: both black, opaque.
  ImageOptions smallLocal;
  smallLocal.minimumCodeSize = 8;
  smallLocal.localTable = {{9, 9, 9}, {8, 8, 8}};
  const Bytes noGlobal =
      GifBuilder(2, 1, {}).Image(0, 0, 2, 1, {0, 3}, {false, {}, 2}).Image(0, 0, 2, 1, {1, 200}, smallLocal).Finish();
  ASSERT_EQ(image.Load(noGlobal.data(), noGlobal.size()), 2u);
  EXPECT_EQ(PixelAt(image.frame(0), 1, 0), (Bgra{0, 0, 0, 255}));
  EXPECT_EQ(PixelAt(image.frame(1), 0, 0), (Bgra{8, 8, 8, 255}));
  EXPECT_EQ(PixelAt(image.frame(1), 1, 0), (Bgra{0, 0, 0, 255}));
}

TEST(AnimatedImageMalformedTest, FrameCountIsCapped) {
  GifBuilder builder(1, 1, Palette(2));
  for (int i = 0; i < 300; ++i) builder.Image(0, 0, 1, 1, {1}, {false, {}, 2});
  const Bytes gif = builder.Finish();
  AnimatedImage image;
  EXPECT_EQ(image.Load(gif.data(), gif.size()), AnimatedImage::kMaxFrames);
}

}  // namespace
}  // namespace kavex
