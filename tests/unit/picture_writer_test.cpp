// Decoded pictures into camera frame slots and the preview buffer: where a picture lands (fit,
// bars, row order), that the pixels are the scaler's own conversion of the picture in the layout
// the driver reads, the length each layout announces, and what is refused rather than written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "common/error_log.h"
#include "fixture_file.h"
#include "output/frame_slot.h"
#include "output/output_format.h"
#include "output/picture_fit.h"
#include "output/picture_writer.h"
#include "output/preview_buffer.h"
#include "settings_fixture.h"

namespace kavex {
namespace {

// ---- the fit -------------------------------------------------------------------------------------

void ExpectFit(const PictureFit& fit, uint32_t width, uint32_t height, uint32_t x, uint32_t y) {
  EXPECT_EQ(fit.width, width);
  EXPECT_EQ(fit.height, height);
  EXPECT_EQ(fit.xOffset, x);
  EXPECT_EQ(fit.yOffset, y);
}

TEST(PictureFitTest, RgbAndYuy2KeepTheAspect) {
  ExpectFit(FitPicture(1280, 720, 640, 480, kPixelYuy2), 640, 360, 0, 60);      // letterbox
  ExpectFit(FitPicture(720, 1280, 1280, 720, kPixelRgb24), 400, 720, 440, 0);   // pillarbox, 405 -> 400
  ExpectFit(FitPicture(720, 1280, 1280, -720, kPixelRgb24), 400, 720, 440, 0);  // bottom-up alike
  ExpectFit(FitPicture(1920, 1080, 1280, 720, kPixelRgb24), 1280, 720, 0, 0);   // same aspect
  ExpectFit(FitPicture(1282, 720, 1280, 720, kPixelYuy2), 1280, 720, 0, 0);     // within the slack
  // 854 - 264 leaves an odd 295: YUY2 starts on a pixel pair, RGB24 where it falls.
  ExpectFit(FitPicture(720, 1280, 854, 480, kPixelRgb24), 264, 480, 295, 0);
  ExpectFit(FitPicture(720, 1280, 854, 480, kPixelYuy2), 264, 480, 294, 0);
}

TEST(PictureFitTest, I420AndArgbFillTheOutput) {
  ExpectFit(FitPicture(720, 1280, 1280, 720, kPixelI420), 1280, 720, 0, 0);
  ExpectFit(FitPicture(1280, 720, 640, -480, kPixelArgb), 640, 480, 0, 0);
}

TEST(PictureFitTest, NothingToDrawForZeroSizesAndNoOverflowForHugeOnes) {
  EXPECT_TRUE(FitPicture(0, 720, 640, 480, kPixelRgb24).empty());
  EXPECT_TRUE(FitPicture(1280, 0, 640, 480, kPixelRgb24).empty());
  EXPECT_TRUE(FitPicture(1280, 720, 0, 480, kPixelYuy2).empty());
  EXPECT_TRUE(FitPicture(1280, 720, 640, 0, kPixelI420).empty());
  EXPECT_TRUE(FitPicture(-4, 720, 640, 480, kPixelRgb24).empty());
  // Products of these sizes are far beyond 32 bits.
  ExpectFit(FitPicture(65536, 65536, 4000000000u, -2000000000, kPixelRgb24), 2000000000, 2000000000, 1000000000, 0);
  ExpectFit(FitPicture(65536, 32768, 2000000000u, 2000000000, kPixelRgb24), 2000000000, 1000000000, 0, 500000000);
}

// ---- pictures --------------------------------------------------------------------------------------

struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// The fixture clip's first picture (a keyframe), as the engine's decoder produces it.
FramePtr DecodeFirstPicture(const char* name) {
  const std::vector<std::vector<uint8_t>> packets = fixture_file::ReadPackets(name);
  if (packets.empty()) return nullptr;
  const std::vector<uint8_t>& bytes = packets.front();
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (bytes.empty() || codec == nullptr) return nullptr;
  AVCodecContext* context = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  FramePtr frame(av_frame_alloc());
  bool decoded = false;
  if (context != nullptr && packet != nullptr && avcodec_open2(context, codec, nullptr) == 0 &&
      av_new_packet(packet, static_cast<int>(bytes.size())) == 0) {
    std::memcpy(packet->data, bytes.data(), bytes.size());
    decoded = avcodec_send_packet(context, packet) == 0 && avcodec_send_packet(context, nullptr) == 0 &&
              avcodec_receive_frame(context, frame.get()) == 0;
  }
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return decoded ? std::move(frame) : nullptr;
}

// A 4:2:0 picture with a horizontal luma ramp and a vertical chroma ramp.
FramePtr MakePicture(int width, int height) {
  FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) != 0) return nullptr;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) frame->data[0][y * frame->linesize[0] + x] = 16 + x * 219 / width;
  for (int y = 0; y < height / 2; ++y) {
    std::memset(frame->data[1] + y * frame->linesize[1], 16 + y * 224 / (height / 2), width / 2);
    std::memset(frame->data[2] + y * frame->linesize[2], 240 - y * 224 / (height / 2), width / 2);
  }
  return frame;
}

// The picture converted by a scaler of its own into a plain picture of the given size: what the
// slot must hold where the picture lands.
struct PlainPicture {
  std::vector<uint8_t> bytes;
  uint8_t* planes[4] = {};
  int strides[4] = {};
  const uint8_t* Row(int plane, int row) const { return planes[plane] + ptrdiff_t{row} * strides[plane]; }
};

PlainPicture Convert(const AVFrame& picture, int width, int height, AVPixelFormat format) {
  PlainPicture out;
  out.bytes.resize(static_cast<size_t>(av_image_get_buffer_size(format, width, height, 1)));
  av_image_fill_arrays(out.planes, out.strides, out.bytes.data(), format, width, height, 1);
  SwsContext* scaler = sws_getContext(picture.width, picture.height, static_cast<AVPixelFormat>(picture.format), width,
                                      height, format, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
  sws_scale(scaler, picture.data, picture.linesize, 0, picture.height, out.planes, out.strides);
  sws_freeContext(scaler);
  return out;
}

// The largest byte difference between rows of two pictures.
int MaxDifference(const uint8_t* a, ptrdiff_t aStride, const uint8_t* b, ptrdiff_t bStride, size_t rowBytes, int rows) {
  int largest = 0;
  for (int row = 0; row < rows; ++row)
    for (size_t i = 0; i < rowBytes; ++i)
      largest = std::max(largest, std::abs(a[row * aStride + i] - b[row * bStride + i]));
  return largest;
}

// A frame slot's memory, black as ClearFrameSlots leaves it, with its fields after the picture
// data marked so that a write past the data shows.
class Slot {
 public:
  static constexpr uint8_t kTailMark = 0xEE;
  explicit Slot(bool yuy2 = false) : base_(static_cast<uint8_t*>(std::calloc(1, FrameSlot::kBytes))) {
    if (yuy2)
      for (size_t i = 1; i < FrameSlot::kDataBytes; i += 2) base_[i] = 0x80;
    std::memset(base_ + FrameSlot::kDataBytes, kTailMark, FrameSlot::kBytes - FrameSlot::kDataBytes);
  }
  ~Slot() { std::free(base_); }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

  uint8_t* data() { return base_; }
  uint8_t* Row(size_t rowBytes, int row) { return base_ + rowBytes * row; }
  bool TailIntact() const {
    for (size_t i = FrameSlot::kDataBytes; i < FrameSlot::kBytes; ++i)
      if (base_[i] != kTailMark) return false;
    return true;
  }
  // Whether [first, first + count) still holds the black it started with.
  bool Black(size_t first, size_t count, bool yuy2 = false) const {
    for (size_t i = first; i < first + count; ++i)
      if (base_[i] != ((yuy2 && (i & 1)) ? 0x80 : 0x00)) return false;
    return true;
  }
  bool AllBlack(bool yuy2 = false) const { return Black(0, FrameSlot::kDataBytes, yuy2); }

 private:
  uint8_t* base_;
};

// The fixture's colour bars (1280 x 720: bars in rows 0-479; yellow over columns 182-365, blue over
// 1098-1279, white over 0-181; black band below), as fractions of the picture.
constexpr double kYellowX = 273.0 / 1280, kBlueX = 1189.0 / 1280, kWhiteX = 90.0 / 1280;
constexpr double kBarY = 240.0 / 720;

class PictureWriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    landscape_ = DecodeFirstPicture("h264-1280x720.psimpkt").release();
    portrait_ = DecodeFirstPicture("h264-720x1280.psimpkt").release();
  }
  static void TearDownTestSuite() {
    av_frame_free(&landscape_);
    av_frame_free(&portrait_);
  }
  void SetUp() override {
    ASSERT_NE(landscape_, nullptr) << fixture_file::Path("h264-1280x720.psimpkt");
    ASSERT_NE(portrait_, nullptr) << fixture_file::Path("h264-720x1280.psimpkt");
    ASSERT_EQ(landscape_->format, AV_PIX_FMT_YUV420P);
    settings_fixture::DeleteErrorValue();
  }
  void TearDown() override { settings_fixture::DeleteErrorValue(); }

  static const AVFrame& landscape() { return *landscape_; }
  static const AVFrame& portrait() { return *portrait_; }

  PictureWriter writer;
  uint32_t length = 0;

 private:
  static AVFrame* landscape_;
  static AVFrame* portrait_;
};
AVFrame* PictureWriterTest::landscape_ = nullptr;
AVFrame* PictureWriterTest::portrait_ = nullptr;

TEST_F(PictureWriterTest, Rgb24LetterboxIsTheScaledPictureBetweenBlackBars) {
  Slot slot;
  ASSERT_TRUE(writer.Write(landscape(), OutputFormat{640, 480, 30.0f, kPixelRgb24}, slot.data(), &length));
  EXPECT_EQ(length, 640u * 480 * 3);
  const size_t row = 640 * 3;
  const PlainPicture expected = Convert(landscape(), 640, 360, AV_PIX_FMT_BGR24);
  EXPECT_LE(MaxDifference(slot.Row(row, 60), row, expected.Row(0, 0), expected.strides[0], row, 360), 2);
  EXPECT_TRUE(slot.Black(0, 60 * row));
  EXPECT_TRUE(slot.Black(420 * row, 60 * row));
  EXPECT_TRUE(slot.TailIntact());

  // Bytes are blue, green, red: yellow has no blue, the blue bar nothing else; white is grey.
  auto pixel = [&](double fx, double fy) {
    return slot.Row(row, 60 + static_cast<int>(fy * 360)) + 3 * static_cast<int>(fx * 640);
  };
  const uint8_t* yellow = pixel(kYellowX, kBarY);
  EXPECT_LT(yellow[0], 40);
  EXPECT_GT(yellow[1], 160);
  EXPECT_GT(yellow[2], 160);
  const uint8_t* blue = pixel(kBlueX, kBarY);
  EXPECT_GT(blue[0], 160);
  EXPECT_LT(blue[1], 40);
  EXPECT_LT(blue[2], 40);
  const uint8_t* white = pixel(kWhiteX, kBarY);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(white[c], 191, 6);
}

TEST_F(PictureWriterTest, PillarboxesTallPicturesInRgb24AndYuy2) {
  {
    Slot slot;
    ASSERT_TRUE(writer.Write(portrait(), OutputFormat{1280, 720, 30.0f, kPixelRgb24}, slot.data(), &length));
    EXPECT_EQ(length, 1280u * 720 * 3);
    const size_t row = 1280 * 3;
    const PlainPicture expected = Convert(portrait(), 400, 720, AV_PIX_FMT_BGR24);
    EXPECT_LE(MaxDifference(slot.data() + 440 * 3, row, expected.Row(0, 0), expected.strides[0], 400 * 3, 720), 2);
    for (int y = 0; y < 720; y += 7) {
      EXPECT_TRUE(slot.Black(y * row, 440 * 3)) << y;
      EXPECT_TRUE(slot.Black(y * row + 840 * 3, 440 * 3)) << y;
    }
  }
  {
    // 854 wide: the picture starts at the even column 294 and rows stay 854 pixels apart.
    Slot slot(true);
    ASSERT_TRUE(writer.Write(portrait(), OutputFormat{854, 480, 30.0f, kPixelYuy2}, slot.data(), &length));
    EXPECT_EQ(length, 854u * 480 * 2);
    const size_t row = 854 * 2;
    const PlainPicture expected = Convert(portrait(), 264, 480, AV_PIX_FMT_YUYV422);
    EXPECT_LE(MaxDifference(slot.data() + 294 * 2, row, expected.Row(0, 0), expected.strides[0], 264 * 2, 480), 2);
    for (int y = 0; y < 480; y += 7) {
      EXPECT_TRUE(slot.Black(y * row, 294 * 2, true)) << y;
      EXPECT_TRUE(slot.Black(y * row + 558 * 2, 296 * 2, true)) << y;
    }
    EXPECT_TRUE(slot.Black(480 * row, FrameSlot::kDataBytes - 480 * row, true));
  }
}

TEST_F(PictureWriterTest, NegativeHeightStoresTheBottomRowFirst) {
  {
    Slot slot;
    ASSERT_TRUE(writer.Write(landscape(), OutputFormat{1280, -720, 30.0f, kPixelRgb24}, slot.data(), &length));
    EXPECT_EQ(length, 1280u * 720 * 3);
    const size_t row = 1280 * 3;
    const PlainPicture expected = Convert(landscape(), 1280, 720, AV_PIX_FMT_BGR24);
    // Slot row 0 is the picture's row 719, and so on up.
    EXPECT_LE(MaxDifference(slot.data(), row, expected.Row(0, 719), -expected.strides[0], row, 720), 2);
    EXPECT_LT(slot.data()[0] + slot.data()[1] + slot.data()[2], 30);  // the black band first
    EXPECT_GT(slot.Row(row, 719)[0], 150);                            // the white bar last
  }
  {
    Slot slot;
    ASSERT_TRUE(writer.Write(landscape(), OutputFormat{640, -480, 30.0f, kPixelArgb}, slot.data(), &length));
    EXPECT_EQ(length, 640u * 480 * 4);
    const size_t row = 640 * 4;
    const PlainPicture expected = Convert(landscape(), 640, 480, AV_PIX_FMT_ARGB);
    EXPECT_LE(MaxDifference(slot.data(), row, expected.Row(0, 479), -expected.strides[0], row, 480), 2);
    EXPECT_TRUE(slot.TailIntact());
  }
}

TEST_F(PictureWriterTest, ArgbFillsTheOutputWithOpaqueArgbPixels) {
  Slot slot;
  ASSERT_TRUE(writer.Write(landscape(), OutputFormat{640, 480, 30.0f, kPixelArgb}, slot.data(), &length));
  EXPECT_EQ(length, 640u * 480 * 4);
  const size_t row = 640 * 4;
  const PlainPicture expected = Convert(landscape(), 640, 480, AV_PIX_FMT_ARGB);
  EXPECT_LE(MaxDifference(slot.data(), row, expected.Row(0, 0), expected.strides[0], row, 480), 2);
  const uint8_t* yellow = slot.Row(row, static_cast<int>(kBarY * 480)) + 4 * static_cast<int>(kYellowX * 640);
  EXPECT_EQ(yellow[0], 255);
  EXPECT_GT(yellow[1], 160);
  EXPECT_GT(yellow[2], 160);
  EXPECT_LT(yellow[3], 40);
}

TEST_F(PictureWriterTest, Yuy2LetterboxKeepsItsBlackBars) {
  Slot slot(true);
  ASSERT_TRUE(writer.Write(landscape(), OutputFormat{640, 480, 30.0f, kPixelYuy2}, slot.data(), &length));
  EXPECT_EQ(length, 640u * 480 * 2);
  const size_t row = 640 * 2;
  const PlainPicture expected = Convert(landscape(), 640, 360, AV_PIX_FMT_YUYV422);
  EXPECT_LE(MaxDifference(slot.Row(row, 60), row, expected.Row(0, 0), expected.strides[0], row, 360), 2);
  EXPECT_TRUE(slot.Black(0, 60 * row, true));
  EXPECT_TRUE(slot.Black(420 * row, 60 * row, true));
  // Y0 U Y1 V: the yellow bar's nominal Y' 168, Cb 44, Cr 136.
  const uint8_t* yellow =
      slot.Row(row, 60 + static_cast<int>(kBarY * 360)) + 2 * (static_cast<int>(kYellowX * 640) & ~1);
  EXPECT_NEAR(yellow[0], 168, 4);
  EXPECT_NEAR(yellow[1], 44, 4);
  EXPECT_NEAR(yellow[2], 168, 4);
  EXPECT_NEAR(yellow[3], 136, 4);

  // A negative height changes nothing for YUY2 but still announces whole rows.
  Slot flipped(true);
  ASSERT_TRUE(writer.Write(landscape(), OutputFormat{640, -480, 30.0f, kPixelYuy2}, flipped.data(), &length));
  EXPECT_EQ(length, 640u * 480 * 2);
  EXPECT_EQ(std::memcmp(flipped.data(), slot.data(), 640 * 480 * 2), 0);
}

TEST_F(PictureWriterTest, I420FillsThreePlanes) {
  Slot slot;
  ASSERT_TRUE(writer.Write(landscape(), OutputFormat{640, 360, 30.0f, kPixelI420}, slot.data(), &length));
  EXPECT_EQ(length, 640u * 360 * 3 / 2);
  const PlainPicture expected = Convert(landscape(), 640, 360, AV_PIX_FMT_YUV420P);
  const uint8_t* y = slot.data();
  const uint8_t* u = y + 640 * 360;
  const uint8_t* v = y + 640 * 360 * 5 / 4;
  EXPECT_LE(MaxDifference(y, 640, expected.Row(0, 0), expected.strides[0], 640, 360), 2);
  EXPECT_LE(MaxDifference(u, 320, expected.Row(1, 0), expected.strides[1], 320, 180), 2);
  EXPECT_LE(MaxDifference(v, 320, expected.Row(2, 0), expected.strides[2], 320, 180), 2);
  const int column = static_cast<int>(kYellowX * 320);
  const int chromaRow = static_cast<int>(kBarY * 180);
  EXPECT_NEAR(y[chromaRow * 2 * 640 + column * 2], 168, 4);
  EXPECT_NEAR(u[chromaRow * 320 + column], 44, 4);
  EXPECT_NEAR(v[chromaRow * 320 + column], 136, 4);
  EXPECT_TRUE(slot.Black(640 * 360 * 3 / 2, FrameSlot::kDataBytes - 640 * 360 * 3 / 2));
}

TEST_F(PictureWriterTest, FullRangePicturesConvertAsPlain420) {
  FramePtr fullRange(av_frame_clone(&landscape()));
  ASSERT_NE(fullRange, nullptr);
  fullRange->format = AV_PIX_FMT_YUVJ420P;
  Slot plain;
  Slot full;
  const OutputFormat format{640, 480, 30.0f, kPixelRgb24};
  ASSERT_TRUE(writer.Write(landscape(), format, plain.data(), &length));
  ASSERT_TRUE(writer.Write(*fullRange, format, full.data(), &length));
  EXPECT_EQ(std::memcmp(plain.data(), full.data(), 640 * 480 * 3), 0);
}

TEST_F(PictureWriterTest, LargestPicturesStayInsideTheSlot) {
  // 3840 x 2160 in RGB24 leaves 32 bytes of the data unused; YUY2 and I420 leave more.
  const OutputFormat formats[] = {
      {3840, -2160, 30.0f, kPixelRgb24}, {3840, 2160, 30.0f, kPixelYuy2}, {3840, 2160, 30.0f, kPixelI420}};
  for (const OutputFormat& format : formats) {
    Slot slot(format.code == kPixelYuy2);
    ASSERT_TRUE(writer.Write(landscape(), format, slot.data(), &length)) << format.code;
    EXPECT_EQ(length, PictureBytes(format.width, format.height, format.code));
    EXPECT_TRUE(slot.TailIntact()) << format.code;
  }
}

TEST_F(PictureWriterTest, RefusesWhatItCannotWriteAndTouchesNothing) {
  const OutputFormat refused[] = {
      {640, 0, 30.0f, kPixelRgb24},     // no height
      {3840, 2160, 30.0f, kPixelArgb},  // 33 MB: more than a slot
      {3840, -2160, 30.0f, kPixelArgb},
      // Exactly a slot by its byte count, but the odd width's last pixel pair overruns it.
      {777601, 16, 30.0f, kPixelYuy2},
      // Within a slot by its byte count, but an odd height rounds the chroma rows up past the end.
      {5529606, 3, 30.0f, kPixelI420},
  };
  for (const OutputFormat& format : refused) {
    Slot slot(format.code == kPixelYuy2);
    length = 12345;
    EXPECT_FALSE(writer.Write(landscape(), format, slot.data(), &length)) << format.width;
    EXPECT_EQ(length, 12345u);
    EXPECT_TRUE(slot.AllBlack(format.code == kPixelYuy2)) << format.width;
    EXPECT_TRUE(slot.TailIntact()) << format.width;
  }
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);

  // Nothing to draw is nothing written: a picture whose fit is empty, one the scaler refuses.
  const FramePtr narrow = MakePicture(16, 2048);
  FramePtr hardware(av_frame_clone(&landscape()));
  ASSERT_TRUE(narrow != nullptr && hardware != nullptr);
  hardware->format = AV_PIX_FMT_VAAPI;
  for (const AVFrame* picture : {narrow.get(), hardware.get()}) {
    Slot slot(true);
    length = 12345;
    EXPECT_FALSE(writer.Write(*picture, OutputFormat{640, 360, 30.0f, kPixelYuy2}, slot.data(), &length))
        << picture->width;
    EXPECT_EQ(length, 12345u);
    EXPECT_TRUE(slot.AllBlack(true)) << picture->width;
  }

  Slot slot;
  EXPECT_FALSE(writer.Write(landscape(), OutputFormat{640, 480, 30.0f, 4}, slot.data(), &length));
  EXPECT_TRUE(slot.AllBlack());
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:qc:805");
}

// ---- the preview buffer --------------------------------------------------------------------------

class PreviewBufferTest : public PictureWriterTest {
 protected:
  void SetUp() override {
    PictureWriterTest::SetUp();
    buffer = PreviewBuffer::Get();
    ASSERT_NE(buffer, nullptr);
    buffer->MarkPreviewEmpty();  // the process's buffer outlives every test
  }
  PreviewBuffer* buffer = nullptr;
  PreviewWriter preview;
};

TEST_F(PreviewBufferTest, FillsOnceAndWaitsUntilThePreviewEmptiesIt) {
  PreviewBuffer::Picture picture;
  EXPECT_FALSE(buffer->PeekPreview(&picture));
  ASSERT_TRUE(preview.Write(landscape()));
  ASSERT_TRUE(buffer->PeekPreview(&picture));
  EXPECT_EQ(picture.width, 1280);
  EXPECT_EQ(picture.height, 720);
  const PlainPicture expected = Convert(landscape(), 1280, 720, AV_PIX_FMT_BGRA);
  EXPECT_LE(MaxDifference(picture.pixels, 1280 * 4, expected.Row(0, 0), expected.strides[0], 1280 * 4, 720), 2);
  const uint8_t* yellow =
      picture.pixels + 4 * (static_cast<int>(kBarY * 720) * 1280 + static_cast<int>(kYellowX * 1280));
  EXPECT_LT(yellow[0], 40);  // blue, green, red, alpha
  EXPECT_GT(yellow[1], 160);
  EXPECT_GT(yellow[2], 160);
  EXPECT_EQ(yellow[3], 255);

  // Full: the next picture does not replace the waiting one.
  EXPECT_FALSE(preview.Write(portrait()));
  ASSERT_TRUE(buffer->PeekPreview(&picture));
  EXPECT_EQ(picture.width, 1280);
  EXPECT_EQ(std::memcmp(picture.pixels, expected.Row(0, 0), 1280 * 4), 0);

  buffer->MarkPreviewEmpty();
  EXPECT_FALSE(buffer->full());
  ASSERT_TRUE(preview.Write(portrait()));
  ASSERT_TRUE(buffer->PeekPreview(&picture));
  EXPECT_EQ(picture.width, 720);
  EXPECT_EQ(picture.height, 1280);
}

TEST_F(PreviewBufferTest, UltraHdIsHalvedAndOversizePicturesAreSkipped) {
  const FramePtr tooWide = MakePicture(4096, 2160);
  ASSERT_NE(tooWide, nullptr);
  EXPECT_FALSE(preview.Write(*tooWide));
  EXPECT_FALSE(buffer->full());

  // The skipped picture left the buffer free for the next one.
  const FramePtr ultraHd = MakePicture(3840, 2160);
  ASSERT_NE(ultraHd, nullptr);
  ASSERT_TRUE(preview.Write(*ultraHd));
  PreviewBuffer::Picture picture;
  ASSERT_TRUE(buffer->PeekPreview(&picture));
  EXPECT_EQ(picture.width, 1920);
  EXPECT_EQ(picture.height, 1080);
  const PlainPicture expected = Convert(*ultraHd, 1920, 1080, AV_PIX_FMT_BGRA);
  EXPECT_LE(MaxDifference(picture.pixels, 1920 * 4, expected.Row(0, 0), expected.strides[0], 1920 * 4, 1080), 2);
}

}  // namespace
}  // namespace kavex
