#include "output/gif_reader.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace kavex {

namespace {

constexpr int kMaxCodeWidth = 12;
constexpr uint32_t kTableSize = 1u << kMaxCodeWidth;  // 4,096 codes

// Rows 0, 1, 2, ... or, interlaced, the four passes: every 8th row from 0, every 8th from 4,
// every 4th from 2, every 2nd from 1.
class RowOrder {
 public:
  RowOrder(uint32_t height, bool interlaced) : height_(height), interlaced_(interlaced) {}

  // False once every row has been given.
  bool Next(uint32_t* row) {
    if (!interlaced_) {
      if (next_ >= height_) return false;
      *row = next_++;
      return true;
    }
    static constexpr uint32_t kStart[4] = {0, 4, 2, 1};
    static constexpr uint32_t kStep[4] = {8, 8, 4, 2};
    while (pass_ < 4) {
      if (!started_) {
        next_ = kStart[pass_];
        started_ = true;
      }
      if (next_ < height_) {
        *row = next_;
        next_ += kStep[pass_];
        return true;
      }
      ++pass_;
      started_ = false;
    }
    return false;
  }

 private:
  const uint32_t height_;
  const bool interlaced_;
  uint32_t next_ = 0;
  int pass_ = 0;
  bool started_ = false;
};

}  // namespace

// The image data's bytes, taken from the sub-blocks one after the other, as a stream of codes.
class GifReader::CodeReader {
 public:
  explicit CodeReader(GifReader* reader) : reader_(reader) {}

  // The next code of `width` bits, least-significant bit first. A code cut short by the end of the
  // data is completed with zero bits; false when no bit of it is left (the terminating sub-block
  // has been read by then).
  bool Read(int width, uint32_t* code) {
    while (bitCount_ < width) {
      if (ended_) {
        if (bitCount_ == 0) return false;
        break;
      }
      if (blockLeft_ == 0) {
        blockLeft_ = reader_->ReadByte();
        if (blockLeft_ == 0) {
          ended_ = true;
          continue;
        }
      }
      bits_ |= static_cast<uint32_t>(reader_->ReadByte()) << bitCount_;
      bitCount_ += 8;
      --blockLeft_;
    }
    *code = bits_ & ((1u << width) - 1);
    bits_ >>= std::min(width, bitCount_);
    bitCount_ = std::max(0, bitCount_ - width);
    return true;
  }

  // Skips the rest of the sub-blocks, the terminating one included (unless already read).
  void SkipRest() {
    if (ended_) return;
    for (; blockLeft_ > 0; --blockLeft_) reader_->ReadByte();
    reader_->SkipSubBlocks();
    ended_ = true;
  }

 private:
  GifReader* const reader_;
  uint32_t bits_ = 0;
  int bitCount_ = 0;
  uint32_t blockLeft_ = 0;
  bool ended_ = false;
};

// The string table of GIF's variable-length LZW and the string being written out. A string may be
// longer than what is left of a row: the rest is pending and goes to the next row.
class GifReader::LzwDecoder {
 public:
  explicit LzwDecoder(int minimumCodeSize)
      : clearCode_(1u << minimumCodeSize), endCode_(clearCode_ + 1), minimumCodeSize_(minimumCodeSize) {
    for (uint32_t code = 0; code < clearCode_; ++code) {
      suffix_[code] = static_cast<uint8_t>(code);
      first_[code] = static_cast<uint8_t>(code);
    }
    Reset();
  }

  int codeWidth() const { return codeWidth_; }
  bool HasPending() const { return pendingStart_ < kTableSize; }

  // Moves up to `room` pending indices to out; returns how many.
  uint32_t TakePending(uint8_t* out, uint32_t room) {
    uint32_t count = std::min(room, kTableSize - pendingStart_);
    std::copy_n(&pending_[pendingStart_], count, out);
    pendingStart_ += count;
    return count;
  }

  enum class Result { kString, kClear, kEnd, kFault };
  // Takes one code; for kString its string is pending afterwards.
  Result Take(uint32_t code) {
    if (code == clearCode_) {
      Reset();
      return Result::kClear;
    }
    if (code == endCode_) return Result::kEnd;
    if (previous_ < 0) {
      // The first code after a clear can only be a single colour.
      if (code >= clearCode_) return Result::kFault;
      Emit(code, -1);
      previous_ = static_cast<int>(code);
      return Result::kString;
    }
    uint8_t firstOfNew = 0;
    if (code < nextFree_) {
      // A single colour or a string of the table (clear and end are taken above).
      Emit(code, -1);
      firstOfNew = first_[code];
    } else if (code == nextFree_ && nextFree_ < kTableSize) {
      // The string being defined by this very code: previous string plus its own first index.
      firstOfNew = first_[previous_];
      Emit(static_cast<uint32_t>(previous_), firstOfNew);
    } else {
      return Result::kFault;
    }
    if (nextFree_ < kTableSize) {
      prefix_[nextFree_] = static_cast<uint16_t>(previous_);
      suffix_[nextFree_] = firstOfNew;
      first_[nextFree_] = first_[previous_];
      ++nextFree_;
      // Widen once the next free code no longer fits; a full table stays at 12 bits and takes no
      // more strings until the encoder clears it.
      if (nextFree_ == (1u << codeWidth_) && codeWidth_ < kMaxCodeWidth) ++codeWidth_;
    }
    previous_ = static_cast<int>(code);
    return Result::kString;
  }

 private:
  void Reset() {
    nextFree_ = clearCode_ + 2;
    codeWidth_ = minimumCodeSize_ + 1;
    previous_ = -1;
  }

  // Writes the string of `code` (followed by `extra` when not negative) into the pending buffer,
  // backwards from its end. Every table entry's prefix is a smaller code, so the walk ends at a
  // single colour after at most 4,095 steps; the bound on `start` only keeps that provable.
  void Emit(uint32_t code, int extra) {
    uint32_t start = kTableSize;
    if (extra >= 0) pending_[--start] = static_cast<uint8_t>(extra);
    while (start > 0) {
      pending_[--start] = suffix_[code];
      if (code < clearCode_) break;
      code = prefix_[code];
    }
    pendingStart_ = start;
  }

  const uint32_t clearCode_;
  const uint32_t endCode_;
  const int minimumCodeSize_;
  uint32_t nextFree_ = 0;
  int codeWidth_ = 0;
  int previous_ = -1;
  std::array<uint16_t, kTableSize> prefix_{};
  std::array<uint8_t, kTableSize> suffix_{};
  std::array<uint8_t, kTableSize> first_{};
  std::array<uint8_t, kTableSize> pending_{};
  uint32_t pendingStart_ = kTableSize;
};

uint8_t GifReader::ReadByte() {
  if (position_ >= size_) return 0;
  return data_[position_++];
}

uint16_t GifReader::ReadU16() {
  uint16_t low = ReadByte();
  uint16_t high = ReadByte();
  return static_cast<uint16_t>(low | (high << 8));
}

void GifReader::ReadColorTable(uint8_t exponent, GifColorTable* table) {
  table->fill(GifColor{});
  const size_t entries = size_t{1} << (exponent + 1);
  for (size_t i = 0; i < entries; ++i) {
    (*table)[i].red = ReadByte();
    (*table)[i].green = ReadByte();
    (*table)[i].blue = ReadByte();
  }
}

void GifReader::SkipSubBlocks() {
  for (uint8_t length = ReadByte(); length != 0; length = ReadByte()) {
    // A length past the end of the data skips to the end; the next length then reads as zero.
    position_ = std::min(size_, position_ + length);
  }
}

bool GifReader::ReadScreen(GifScreen* screen) {
  *screen = GifScreen{};
  position_ = 0;
  uint8_t header[6];
  for (uint8_t& byte : header) byte = ReadByte();
  if (header[0] != 'G' || header[1] != 'I' || header[2] != 'F') return false;
  screen->width = ReadU16();
  screen->height = ReadU16();
  const uint8_t packed = ReadByte();
  screen->hasGlobalTable = (packed & 0x80) != 0;
  screen->colorResolution = (packed >> 4) & 0x07;
  screen->sorted = (packed & 0x08) != 0;
  screen->tableExponent = packed & 0x07;
  screen->backgroundIndex = ReadByte();
  screen->aspect = ReadByte();
  if (screen->hasGlobalTable) ReadColorTable(screen->tableExponent, &screen->globalTable);
  return true;
}

GifReader::Block GifReader::NextBlock() {
  if (imagePending_) DecodeImage(nullptr);
  switch (ReadByte()) {
    case kImageIntroducer: {
      image_ = GifImageDescriptor{};
      image_.left = ReadU16();
      image_.top = ReadU16();
      image_.width = ReadU16();
      image_.height = ReadU16();
      const uint8_t packed = ReadByte();
      image_.hasLocalTable = (packed & 0x80) != 0;
      image_.interlaced = (packed & 0x40) != 0;
      image_.sorted = (packed & 0x20) != 0;
      image_.tableExponent = packed & 0x07;
      if (image_.hasLocalTable) ReadColorTable(image_.tableExponent, &image_.localTable);
      imagePending_ = true;
      return Block::kImage;
    }
    case kExtensionIntroducer: {
      extension_ = GifExtension{};
      extension_.label = ReadByte();
      for (uint8_t length = ReadByte(); length != 0; length = ReadByte()) {
        if (extension_.blockCount++ == 0) {
          extension_.firstBlockSize = length;
          for (uint8_t i = 0; i < length; ++i) extension_.firstBlock[i] = ReadByte();
        } else {
          position_ = std::min(size_, position_ + length);
        }
      }
      return Block::kExtension;
    }
    default:
      return Block::kEnd;
  }
}

bool GifReader::DecodeImage(GifRowSink* sink) {
  if (!imagePending_) return false;
  imagePending_ = false;
  const int minimumCodeSize = ReadByte();
  CodeReader codes(this);
  if (minimumCodeSize < 1 || minimumCodeSize > 8 || sink == nullptr) {
    codes.SkipRest();
    return false;
  }

  // About 20 KB of tables: on the heap, as the reader may run on a thread with a small stack.
  auto decoder = std::make_unique<LzwDecoder>(minimumCodeSize);
  std::vector<uint8_t> row(image_.width);
  RowOrder order(image_.height, image_.interlaced);
  bool stopped = false;  // end code or end of data: every later pixel stays index 0
  for (uint32_t rowIndex = 0; order.Next(&rowIndex);) {
    uint32_t written = 0;
    while (written < image_.width) {
      if (decoder->HasPending()) {
        written += decoder->TakePending(row.data() + written, image_.width - written);
        continue;
      }
      if (stopped) break;
      uint32_t code = 0;
      if (!codes.Read(decoder->codeWidth(), &code)) {
        // Codes past the end would read as 0, a single index 0 each: the same as leaving the
        // remaining pixels alone.
        stopped = true;
        break;
      }
      LzwDecoder::Result result = decoder->Take(code);
      if (result == LzwDecoder::Result::kEnd) {
        stopped = true;
        break;
      }
      if (result == LzwDecoder::Result::kFault) break;
    }
    sink->OnRow(rowIndex, row.data(), written);
  }
  codes.SkipRest();
  return true;
}

}  // namespace kavex
