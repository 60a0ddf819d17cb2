// The video decoder on real streams (tests/fixtures): one picture per packet, in order, each
// announced before it is decoded; a full ring drops a packet and goes on; bad data frees the
// picture slots; destruction never waits for a packet that will not come. Also the ring's
// wrap-around and the picture slots' choices on their own.
#include "media/video_decoder.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <d3d9.h>
#include <dxva2api.h>
#include <objbase.h>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_dxva2.h>
}
#endif

#include "common/error_log.h"
#include "fixture_file.h"
#include "media/decoded_frame_pair.h"
#include "media/decoder_sink.h"
#include "media/packet_ring.h"
#include "platform/video_acceleration.h"
#include "settings_fixture.h"

namespace kavex {
namespace {

using Clock = std::chrono::steady_clock;
using Packets = std::vector<std::vector<uint8_t>>;

constexpr auto kDecodeTimeout = std::chrono::seconds(60);  // generous: sanitizers, Wine
constexpr float kFirstTime = 100.0f;                       // packet n of a clip: kFirstTime + n

// What the sink saw of one picture of the 1280x720 clip.
struct Picture {
  float timestamp = 0;
  int width = 0;
  int height = 0;
  int format = -1;
  int whiteY = 0;                         // white bar centre
  int blueY = 0, blueCb = 0, blueCr = 0;  // blue bar centre
  std::vector<uint8_t> squareRow;         // Y' of row 600, across the moving square
};

struct Event {
  bool taken;  // OnPacketTaken, else OnDecodeResult
  float timestamp;
  bool failed;
};

// Records every call; on each good result takes the ready picture, samples it and frees its slot,
// as the output step does. Can hold the decoder thread in OnPacketTaken.
class RecordingSink : public DecoderSink {
 public:
  explicit RecordingSink(DecodedFramePair& pair, bool takePictures = true) : pair_(pair), takePictures_(takePictures) {}

  void OnPacketTaken(float timestamp) override {
    std::unique_lock<std::mutex> lock(mutex_);
    events_.push_back(Event{true, timestamp, false});
    changed_.notify_all();
    changed_.wait(lock, [this] { return !holding_; });
  }

  void OnDecodeResult(bool failed, float timestamp) override {
    Picture picture;
    bool slotsFreed = false;
    if (failed) {
      slotsFreed = true;
      for (int slot = 0; slot < 2; ++slot) {
        slotsFreed = slotsFreed && pair_.state(slot) == DecodedFramePair::State::kFree && pair_.time(slot) == 0.0f;
      }
    } else if (takePictures_) {
      const int slot = pair_.TakeReady();
      if (slot >= 0) {
        picture = Sample(*pair_.frame(slot), pair_.time(slot));
        pair_.Release(slot);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(Event{false, timestamp, failed});
    if (!failed && takePictures_) pictures_.push_back(std::move(picture));
    if (failed) failuresFreedSlots_.push_back(slotsFreed);
    changed_.notify_all();
  }

  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
  }
  void Let() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = false;
    changed_.notify_all();
  }
  bool WaitForEvents(size_t count, bool taken) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDecodeTimeout, [&] { return Count(taken) >= count; });
  }
  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<Picture> pictures() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pictures_;
  }
  std::vector<bool> failuresFreedSlots() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failuresFreedSlots_;
  }

 private:
  static Picture Sample(const AVFrame& frame, float time) {
    Picture picture;
    picture.timestamp = time;
    picture.width = frame.width;
    picture.height = frame.height;
    picture.format = frame.format;
    if (frame.width != 1280 || frame.height != 720) return picture;
    auto y = [&](int x, int row) { return frame.data[0][row * frame.linesize[0] + x]; };
    picture.whiteY = y(91, 240);
    picture.blueY = y(1189, 240);
    picture.blueCb = frame.data[1][120 * frame.linesize[1] + 594];
    picture.blueCr = frame.data[2][120 * frame.linesize[2] + 594];
    picture.squareRow.assign(frame.data[0] + 600 * frame.linesize[0], frame.data[0] + 600 * frame.linesize[0] + 1280);
    return picture;
  }
  size_t Count(bool taken) const {
    size_t count = 0;
    for (const Event& event : events_) count += event.taken == taken ? 1 : 0;
    return count;
  }

  DecodedFramePair& pair_;
  const bool takePictures_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;
  std::vector<Event> events_;
  std::vector<Picture> pictures_;
  std::vector<bool> failuresFreedSlots_;
};

// Frame n of the 1280x720 clip: bars on top, the white square's left edge at 18 n in rows 540-659
// of the black band (tests/fixtures/README.md).
void ExpectClipPicture(const Picture& picture, int n) {
  SCOPED_TRACE("picture " + std::to_string(n));
  ASSERT_EQ(picture.width, 1280);
  ASSERT_EQ(picture.height, 720);
  EXPECT_EQ(picture.format, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(picture.timestamp, kFirstTime + n);
  EXPECT_NEAR(picture.whiteY, 180, 1);
  EXPECT_NEAR(picture.blueY, 28, 1);
  EXPECT_NEAR(picture.blueCb, 212, 1);
  EXPECT_NEAR(picture.blueCr, 120, 1);
  ASSERT_EQ(picture.squareRow.size(), 1280u);
  const int left = 18 * n;
  EXPECT_NEAR(picture.squareRow[left + 60], 235, 1);
  if (left - 40 >= 16) {
    EXPECT_NEAR(picture.squareRow[left - 40], 16, 1);
  }
  if (left + 160 <= 1263) {
    EXPECT_NEAR(picture.squareRow[left + 160], 16, 1);
  }
}

// An H.264 stream written bit by bit: enough of a parameter set and a slice header to make the
// codec size its pictures.
class H264Writer {
 public:
  void Bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bits_.push_back(((value >> i) & 1) != 0);
  }
  void Ue(uint32_t value) {  // exp-Golomb; se(0) is ue(0) too
    int length = 0;
    while (((value + 1) >> length) > 1) ++length;
    Bits(0, length);
    Bits(value + 1, length + 1);
  }
  // Ends the NAL unit (trailing bits) and appends it to the stream after a start code, with the
  // emulation prevention bytes the format demands.
  void EndNal(uint8_t header) {
    Bits(1, 1);
    while (bits_.size() % 8 != 0) bits_.push_back(false);
    stream_.insert(stream_.end(), {0, 0, 0, 1, header});
    int zeros = 0;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t b = 0; b < 8; ++b) byte = static_cast<uint8_t>(byte << 1 | bits_[i + b]);
      if (zeros >= 2 && byte <= 3) {
        stream_.push_back(3);
        zeros = 0;
      }
      stream_.push_back(byte);
      zeros = byte == 0 ? zeros + 1 : 0;
    }
    bits_.clear();
  }
  const std::vector<uint8_t>& stream() const { return stream_; }

 private:
  std::vector<bool> bits_;
  std::vector<uint8_t> stream_;
};

// One packet: a baseline parameter set declaring widthMbs x heightMbs macroblocks, its picture
// parameter set and the header of an intra slice.
std::vector<uint8_t> H264SizePacket(uint32_t widthMbs, uint32_t heightMbs) {
  H264Writer w;
  w.Bits(66, 8);  // baseline
  w.Bits(0, 8);
  w.Bits(51, 8);  // level 5.1
  w.Ue(0);        // seq_parameter_set_id
  w.Ue(0);        // log2_max_frame_num - 4
  w.Ue(2);        // pic_order_cnt_type
  w.Ue(1);        // max_num_ref_frames
  w.Bits(0, 1);
  w.Ue(widthMbs - 1);
  w.Ue(heightMbs - 1);
  w.Bits(1, 1);  // frame_mbs_only
  w.Bits(1, 1);  // direct_8x8_inference
  w.Bits(0, 2);  // no cropping, no VUI
  w.EndNal(0x67);
  w.Ue(0);  // pic_parameter_set_id
  w.Ue(0);
  w.Bits(0, 2);  // CAVLC, no field order
  w.Ue(0);       // one slice group
  w.Ue(0);
  w.Ue(0);
  w.Bits(0, 3);  // no weighted prediction
  w.Ue(0);       // QP, QS, chroma QP offset
  w.Ue(0);
  w.Ue(0);
  w.Bits(1, 1);  // deblocking control present
  w.Bits(0, 2);
  w.EndNal(0x68);
  w.Ue(0);  // first_mb_in_slice
  w.Ue(7);  // I slice
  w.Ue(0);
  w.Bits(0, 4);  // frame_num
  w.Ue(0);       // idr_pic_id
  w.Bits(0, 2);  // reference marking
  w.Ue(0);       // slice_qp_delta
  w.Ue(1);       // no deblocking
  w.Bits(0xB5A5, 16);
  w.EndNal(0x65);
  return w.stream();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocator reports every allocation; the largest one is what a stream can make
// the process ask for.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, size_t),
                                                         void (*freeHook)(const volatile void*));
std::atomic<size_t> largestAllocation{0};
void NoteAllocation(const volatile void*, size_t size) {
  size_t seen = largestAllocation.load(std::memory_order_relaxed);
  while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
  }
}
void NoteFree(const volatile void*) {}
constexpr bool kAllocationsSeen = true;
#else
std::atomic<size_t> largestAllocation{0};
constexpr bool kAllocationsSeen = false;
#endif

class VideoDecoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { av_log_set_level(AV_LOG_QUIET); }  // bad data is on purpose
  void SetUp() override {
    ErrorLog::RecordError("setup", 0);  // makes sure the key exists
    settings_fixture::DeleteErrorValue();
    clip = fixture_file::ReadPackets("h264-1280x720.psimpkt");
    ASSERT_EQ(clip.size(), 60u) << fixture_file::Path("h264-1280x720.psimpkt");
    ASSERT_TRUE(pair.valid());
  }
  void TearDown() override { settings_fixture::DeleteErrorValue(); }

  void SubmitClip(VideoDecoder& decoder, int from, int to) {
    for (int n = from; n < to; ++n) decoder.Submit(clip[n].data(), clip[n].size(), kFirstTime + n);
  }
  // An H.264 decoder whose thread waits in OnPacketTaken with packet 0 out of the ring, so the
  // ring's fill is known; null (and a test failure) when it cannot be had.
  std::unique_ptr<VideoDecoder> HeldDecoder(RecordingSink& sink) {
    std::unique_ptr<VideoDecoder> decoder = VideoDecoder::Create(false, pair, sink);
    if (decoder == nullptr) {
      ADD_FAILURE() << "no H.264 decoder";
      return nullptr;
    }
    sink.Hold();
    SubmitClip(*decoder, 0, 1);
    if (!sink.WaitForEvents(1, true)) ADD_FAILURE() << "packet 0 was never taken";
    return decoder;
  }

  Packets clip;
  DecodedFramePair pair;
};

TEST_F(VideoDecoderTest, ClipDecodesToOnePicturePerPacketInOrderAndEmptyPacketsAreSkipped) {
  RecordingSink sink(pair);
  std::unique_ptr<VideoDecoder> decoder = VideoDecoder::Create(false, pair, sink);
  ASSERT_NE(decoder, nullptr);
  EXPECT_TRUE(decoder->decodesH264());

  // Queued in one burst, so the empty packet is taken while the rest already waits behind it.
  SubmitClip(*decoder, 0, 30);
  decoder->Submit(nullptr, 0, 999.0f);
  SubmitClip(*decoder, 30, 60);
  ASSERT_TRUE(sink.WaitForEvents(60, false));
  decoder.reset();

  const std::vector<Event> events = sink.events();
  ASSERT_EQ(events.size(), 120u);
  for (int n = 0; n < 60; ++n) {
    SCOPED_TRACE("packet " + std::to_string(n));
    EXPECT_TRUE(events[2 * n].taken);
    EXPECT_EQ(events[2 * n].timestamp, kFirstTime + n);
    EXPECT_FALSE(events[2 * n + 1].taken);
    EXPECT_FALSE(events[2 * n + 1].failed);
    EXPECT_EQ(events[2 * n + 1].timestamp, kFirstTime + n);
  }
  const std::vector<Picture> pictures = sink.pictures();
  ASSERT_EQ(pictures.size(), 60u);
  for (int n = 0; n < 60; ++n) ExpectClipPicture(pictures[n], n);
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
}

TEST_F(VideoDecoderTest, PacketLargerThanTheFreeRingIsDroppedAndLaterOnesAreAccepted) {
  RecordingSink sink(pair);
  std::unique_ptr<VideoDecoder> decoder = HeldDecoder(sink);
  ASSERT_NE(decoder, nullptr);
  const std::vector<uint8_t> zeros(4000000, 0);
  decoder->Submit(zeros.data(), zeros.size(), 1.0f);
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
  const std::vector<uint8_t> tooLarge(3000001, 0);
  decoder->Submit(tooLarge.data(), tooLarge.size(), 2.0f);
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:sd.L3000001.F3000000:144");
  SubmitClip(*decoder, 1, 60);
  sink.Let();
  ASSERT_TRUE(sink.WaitForEvents(61, false));
  decoder.reset();

  // Packet 0, the zeros (no picture in them), packets 1-59; nothing of the dropped one.
  const std::vector<Event> events = sink.events();
  ASSERT_EQ(events.size(), 122u);
  EXPECT_EQ(events[1].timestamp, kFirstTime);
  EXPECT_FALSE(events[1].failed);
  EXPECT_EQ(events[2].timestamp, 1.0f);
  EXPECT_TRUE(events[3].failed);
  for (const Event& event : events) EXPECT_NE(event.timestamp, 2.0f);
  const std::vector<Picture> pictures = sink.pictures();
  ASSERT_EQ(pictures.size(), 60u);
  for (int n = 0; n < 60; ++n) ExpectClipPicture(pictures[n], n);
  // Data without a picture is the phone's problem, not the engine's: nothing is recorded.
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
}

TEST_F(VideoDecoderTest, FloodOfTinyPacketsIsBoundedByEntriesAndDroppedWithTheOverflowRecord) {
  RecordingSink sink(pair);
  std::unique_ptr<VideoDecoder> decoder = HeldDecoder(sink);
  ASSERT_NE(decoder, nullptr);
  const uint8_t byte = 0;
  for (size_t i = 0; i < PacketRing::kCapacityEntries; ++i) decoder->Submit(&byte, 1, 1.0f);
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
  decoder->Submit(nullptr, 0, 2.0f);
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text,
            "we:sd.L0.F" + std::to_string(PacketRing::kCapacityBytes - PacketRing::kCapacityEntries) + ":144");
  sink.Let();
  // The backlog drains and the queue takes packets again.
  ASSERT_TRUE(sink.WaitForEvents(1 + PacketRing::kCapacityEntries, false));
  SubmitClip(*decoder, 0, 1);
  ASSERT_TRUE(sink.WaitForEvents(2 + PacketRing::kCapacityEntries, false));
  decoder.reset();
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
  for (const Event& event : sink.events()) EXPECT_NE(event.timestamp, 2.0f);
}

TEST_F(VideoDecoderTest, PictureLargerThanAFrameSlotIsRefusedBeforeItIsAllocated) {
  RecordingSink sink(pair);
  std::unique_ptr<VideoDecoder> decoder = VideoDecoder::Create(false, pair, sink);
  ASSERT_NE(decoder, nullptr);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static const bool hooked = __sanitizer_install_malloc_and_free_hooks(NoteAllocation, NoteFree);
  ASSERT_TRUE(hooked);
#endif
  // A portrait 4K picture still fits; 16384 x 8192 does not.
  const std::vector<uint8_t> fits = H264SizePacket(135, 240);
  decoder->Submit(fits.data(), fits.size(), 1.0f);
  ASSERT_TRUE(sink.WaitForEvents(1, false));
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
  largestAllocation = 0;
  const std::vector<uint8_t> huge = H264SizePacket(1024, 512);
  decoder->Submit(huge.data(), huge.size(), 2.0f);
  ASSERT_TRUE(sink.WaitForEvents(2, false));
  const size_t largest = largestAllocation;
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:sd.W16384.H8192:236");
  // The stream goes on at a size that fits.
  SubmitClip(*decoder, 0, 1);
  ASSERT_TRUE(sink.WaitForEvents(3, false));
  decoder.reset();

  const std::vector<Event> events = sink.events();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_TRUE(events[3].failed);
  EXPECT_FALSE(events[5].failed);
  for (const Picture& picture : sink.pictures()) {
    EXPECT_LE(static_cast<int64_t>(picture.width) * picture.height, 3840 * 2160);
  }
  ExpectClipPicture(sink.pictures().back(), 0);
  // A 4K picture's planes are about 12 MB; the refused size would have taken hundreds.
  if (kAllocationsSeen) {
    EXPECT_LT(largest, size_t{32} << 20);
  }
}

TEST_F(VideoDecoderTest, PacketWithoutPictureFailsAndDiscardsPendingPictures) {
  // Nobody delivers, so both slots hold pictures when the bad packet comes.
  RecordingSink sink(pair, false);
  std::unique_ptr<VideoDecoder> decoder = VideoDecoder::Create(false, pair, sink);
  ASSERT_NE(decoder, nullptr);
  SubmitClip(*decoder, 0, 2);
  ASSERT_TRUE(sink.WaitForEvents(2, false));
  EXPECT_EQ(pair.state(0), DecodedFramePair::State::kReady);
  EXPECT_EQ(pair.state(1), DecodedFramePair::State::kReady);

  const std::vector<uint8_t> garbage(1000, 0xff);
  decoder->Submit(garbage.data(), garbage.size(), 50.0f);
  SubmitClip(*decoder, 2, 3);
  ASSERT_TRUE(sink.WaitForEvents(4, false));
  decoder.reset();

  const std::vector<Event> events = sink.events();
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[5].timestamp, 50.0f);
  EXPECT_TRUE(events[5].failed);
  EXPECT_EQ(sink.failuresFreedSlots(), std::vector<bool>{true});
  // The stream goes on: the next packet decodes into a slot again.
  EXPECT_FALSE(events[7].failed);
  EXPECT_EQ(pair.state(0), DecodedFramePair::State::kReady);
  EXPECT_EQ(pair.time(0), kFirstTime + 2);
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
}

TEST_F(VideoDecoderTest, DestructionWakesAnIdleThreadAndStopsABusyOne) {
  RecordingSink sink(pair);
  std::unique_ptr<VideoDecoder> decoder = VideoDecoder::Create(false, pair, sink);
  ASSERT_NE(decoder, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the thread is waiting by now
  Clock::time_point start = Clock::now();
  decoder.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

  decoder = VideoDecoder::Create(false, pair, sink);
  ASSERT_NE(decoder, nullptr);
  SubmitClip(*decoder, 0, 60);
  start = Clock::now();
  decoder.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  // Nothing is reported after destruction, and every packet taken got its result.
  const std::vector<Event> events = sink.events();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sink.events().size(), events.size());
  EXPECT_EQ(events.size() % 2, 0u);
}

TEST_F(VideoDecoderTest, HevcNeedsDxva2OtherwiseH264StillWorks) {
  RecordingSink sink(pair);
  std::unique_ptr<VideoDecoder> hevc = VideoDecoder::Create(true, pair, sink);
#ifdef _WIN32
  // This build has the DXVA2 decoder, so only the device or its HEVC profile can be missing, which
  // is not recorded. Wine without a display has no Direct3D: no device.
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
  // Whether this machine's device offers HEVC decoding decides, as the decoder must.
  AVBufferRef* device = nullptr;
  const bool deviceMade = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_DXVA2, nullptr, nullptr, 0) >= 0;
  const bool decodesHevc = deviceMade && platform::DeviceDecodesHevc(device);
  av_buffer_unref(&device);
  std::printf("HEVC through DXVA2: %s\n", !deviceMade   ? "no device"
                                          : decodesHevc ? "device with HEVC Main"
                                                        : "device without HEVC: H.264 instead");
  EXPECT_EQ(hevc != nullptr, decodesHevc);
  if (hevc != nullptr) {
    EXPECT_FALSE(hevc->decodesH264());
    const Packets hevcClip = fixture_file::ReadPackets("hevc-1280x720.psimpkt");
    ASSERT_EQ(hevcClip.size(), 60u);
    for (int n = 0; n < 60; ++n) {
      hevc->Submit(hevcClip[n].data(), hevcClip[n].size(), kFirstTime + n);
    }
    ASSERT_TRUE(sink.WaitForEvents(60, false));
    hevc.reset();
    const std::vector<Picture> pictures = sink.pictures();
    ASSERT_EQ(pictures.size(), 60u);
    for (int n = 0; n < 60; ++n) ExpectClipPicture(pictures[n], n);
  }
#else
  EXPECT_EQ(hevc, nullptr);
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:sd:34");
#endif
  RecordingSink h264Sink(pair);
  std::unique_ptr<VideoDecoder> h264 = VideoDecoder::Create(false, pair, h264Sink);
  ASSERT_NE(h264, nullptr);
  EXPECT_TRUE(h264->decodesH264());
  SubmitClip(*h264, 0, 1);
  ASSERT_TRUE(h264Sink.WaitForEvents(1, false));
  h264.reset();
  ASSERT_EQ(h264Sink.pictures().size(), 1u);
  ExpectClipPicture(h264Sink.pictures()[0], 0);
}

#ifdef _WIN32
// A graphics device as DXVA2 shows it, listing the decoding profiles it is given; counts what the
// query leaves open.
class FakeDecoderService : public IDirectXVideoDecoderService {
 public:
  explicit FakeDecoderService(std::vector<GUID> profiles) : profiles_(std::move(profiles)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE CreateSurface(UINT, UINT, UINT, D3DFORMAT, D3DPOOL, DWORD, DWORD, IDirect3DSurface9**,
                                          HANDLE*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDecoderDeviceGuids(UINT* count, GUID** guids) override {
    *count = static_cast<UINT>(profiles_.size());
    *guids = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID) * (profiles_.size() + 1)));
    std::copy(profiles_.begin(), profiles_.end(), *guids);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDecoderRenderTargets(REFGUID, UINT*, D3DFORMAT**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDecoderConfigurations(REFGUID, const DXVA2_VideoDesc*, IUnknown*, UINT*,
                                                     DXVA2_ConfigPictureDecode**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateVideoDecoder(REFGUID, const DXVA2_VideoDesc*, DXVA2_ConfigPictureDecode*,
                                               IDirect3DSurface9**, UINT, IDirectXVideoDecoder**) override {
    return E_NOTIMPL;
  }
  ULONG references = 1;

 private:
  std::vector<GUID> profiles_;
};

class FakeDeviceManager : public IDirect3DDeviceManager9 {
 public:
  explicit FakeDeviceManager(FakeDecoderService* service) : service_(service) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE ResetDevice(IDirect3DDevice9*, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenDeviceHandle(HANDLE* handle) override {
    *handle = reinterpret_cast<HANDLE>(7);
    ++openHandles;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CloseDeviceHandle(HANDLE) override {
    --openHandles;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE TestDevice(HANDLE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockDevice(HANDLE, IDirect3DDevice9**, WINBOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnlockDevice(HANDLE, WINBOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVideoService(HANDLE, REFIID id, void** out) override {
    const GUID decoderService = {0xfc51a551, 0xd5e7, 0x11d9, {0xaf, 0x55, 0x00, 0x05, 0x4e, 0x43, 0xff, 0x02}};
    *out = nullptr;
    if (service_ == nullptr || !IsEqualGUID(id, decoderService)) return E_NOINTERFACE;
    service_->AddRef();
    *out = service_;
    return S_OK;
  }
  int openHandles = 0;

 private:
  FakeDecoderService* service_;
};

// The device's question, asked of an FFmpeg DXVA2 device whose manager is the fake.
bool AskDevice(FakeDeviceManager& manager) {
  AVBufferRef* device = av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_DXVA2);
  if (device == nullptr) return false;
  auto* context = reinterpret_cast<AVHWDeviceContext*>(device->data);
  static_cast<AVDXVA2DeviceContext*>(context->hwctx)->devmgr = &manager;
  const bool decodes = platform::DeviceDecodesHevc(device);
  av_buffer_unref(&device);  // a context never initialised leaves its manager alone
  return decodes;
}

TEST(VideoAccelerationTest, HevcIsDecodedOnADeviceOnlyWhenItListsTheHevcMainProfile) {
  const GUID h264 = {0x1b81be68, 0xa0c7, 0x11d3, {0xb9, 0x84, 0x00, 0xc0, 0x4f, 0x2e, 0x73, 0xc5}};
  const GUID hevcMain10 = {0x107af0e0, 0xef1a, 0x4d19, {0xab, 0xa8, 0x67, 0xa1, 0x63, 0x07, 0x3d, 0x13}};
  const GUID hevcMain = {0x5b11d51b, 0x2f4c, 0x4452, {0xbc, 0xc3, 0x09, 0xf2, 0xa1, 0x16, 0x0c, 0xc0}};
  struct Case {
    std::vector<GUID> profiles;
    bool decodes;
  };
  for (const Case& c : {Case{{}, false}, Case{{h264, hevcMain10}, false}, Case{{h264, hevcMain}, true}}) {
    FakeDecoderService service(c.profiles);
    FakeDeviceManager manager(&service);
    EXPECT_EQ(AskDevice(manager), c.decodes) << c.profiles.size() << " profiles";
    EXPECT_EQ(service.references, 1u);
    EXPECT_EQ(manager.openHandles, 0);
  }
  FakeDeviceManager withoutService(nullptr);
  EXPECT_FALSE(AskDevice(withoutService));
  EXPECT_EQ(withoutService.openHandles, 0);
  EXPECT_FALSE(platform::DeviceDecodesHevc(nullptr));
}
#endif

std::vector<uint8_t> Pattern(size_t length, int seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

// Pops one packet and compares it with what was pushed.
void ExpectPop(PacketRing& ring, std::vector<uint8_t>& out, const std::vector<uint8_t>& expected, float timestamp) {
  PacketRing::Entry entry;
  ASSERT_TRUE(ring.Pop(out.data(), &entry));
  ASSERT_EQ(entry.length, expected.size());
  EXPECT_EQ(entry.timestamp, timestamp);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
}

TEST(PacketRingTest, WrapsAroundTheEndAndFillsToTheLastByte) {
  PacketRing ring;
  ASSERT_TRUE(ring.valid());
  std::vector<uint8_t> out(PacketRing::kCapacityBytes);
  PacketRing::Entry entry;
  EXPECT_FALSE(ring.Pop(out.data(), &entry));

  const std::vector<uint8_t> a = Pattern(PacketRing::kCapacityBytes - 10, 1);
  ASSERT_TRUE(ring.Push(a.data(), a.size(), 1.0f));
  ExpectPop(ring, out, a, 1.0f);
  // b ends exactly at the ring's end; c starts again at its beginning.
  const std::vector<uint8_t> b = Pattern(10, 2);
  const std::vector<uint8_t> c = Pattern(25, 3);
  ASSERT_TRUE(ring.Push(b.data(), b.size(), 2.0f));
  ASSERT_TRUE(ring.Push(c.data(), c.size(), 3.0f));
  ExpectPop(ring, out, b, 2.0f);
  ExpectPop(ring, out, c, 3.0f);
  // d runs over the end; then the ring is filled to the last byte.
  const std::vector<uint8_t> d = Pattern(PacketRing::kCapacityBytes - 10, 4);
  ASSERT_TRUE(ring.Push(d.data(), d.size(), 4.0f));
  const std::vector<uint8_t> e = Pattern(11, 5);
  size_t freeBytes = 0;
  EXPECT_FALSE(ring.Push(e.data(), e.size(), 5.0f, &freeBytes));
  EXPECT_EQ(freeBytes, 10u);
  const std::vector<uint8_t> f = Pattern(10, 6);
  ASSERT_TRUE(ring.Push(f.data(), f.size(), 6.0f));
  EXPECT_EQ(ring.UsedBytes(), PacketRing::kCapacityBytes);
  ASSERT_TRUE(ring.Push(nullptr, 0, 7.0f));  // empty packets still fit
  ExpectPop(ring, out, d, 4.0f);
  ExpectPop(ring, out, f, 6.0f);
  ExpectPop(ring, out, {}, 7.0f);
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.UsedBytes(), 0u);
}

TEST(PacketRingTest, QueueHoldsAtMostItsEntriesInOrderAcrossTheWrap) {
  PacketRing ring;
  std::vector<uint8_t> out(PacketRing::kCapacityBytes);
  // Interleaved pushes and pops move the queue's head, so the full queue wraps around.
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(ring.Push(nullptr, 0, static_cast<float>(i)));
  PacketRing::Entry entry;
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(ring.Pop(out.data(), &entry));
  const int last = 50 + static_cast<int>(PacketRing::kCapacityEntries);  // one past the full queue
  for (int i = 100; i < last; ++i) {
    const uint8_t byte = static_cast<uint8_t>(i);
    ASSERT_TRUE(ring.Push(&byte, 1, static_cast<float>(i)));
  }
  // Full by entries with nearly all bytes free: both a tiny and an empty packet are refused.
  size_t freeBytes = 0;
  const uint8_t byte = 0;
  EXPECT_FALSE(ring.Push(&byte, 1, 0.0f, &freeBytes));
  EXPECT_EQ(freeBytes, PacketRing::kCapacityBytes - (last - 100));
  EXPECT_FALSE(ring.Push(nullptr, 0, 0.0f));
  for (int i = 50; i < last; ++i) {
    ASSERT_TRUE(ring.Pop(out.data(), &entry));
    ASSERT_EQ(entry.timestamp, static_cast<float>(i));
    ASSERT_EQ(entry.length, i < 100 ? 0u : 1u);
    if (i >= 100) {
      ASSERT_EQ(out[0], static_cast<uint8_t>(i));
    }
  }
  EXPECT_TRUE(ring.Empty());
  EXPECT_TRUE(ring.Push(nullptr, 0, 1.0f));
}

TEST(DecodedFramePairTest, OlderPictureGoesFirstAndIsOverwrittenWhenNobodyDelivers) {
  DecodedFramePair pair;
  EXPECT_EQ(pair.TakeReady(), -1);
  EXPECT_EQ(pair.AcquireTarget(), 0);
  EXPECT_EQ(pair.AcquireTarget(), 1);  // slot 0 is busy
  pair.MarkReady(0, 5.0f);
  pair.MarkReady(1, 4.0f);
  EXPECT_EQ(pair.TakeReady(), 1);
  EXPECT_EQ(pair.TakeReady(), 0);
  EXPECT_EQ(pair.TakeReady(), -1);

  // Equal times: slot 1 counts as the older.
  pair.MarkReady(0, 6.0f);
  pair.MarkReady(1, 6.0f);
  EXPECT_EQ(pair.TakeReady(), 1);
  pair.Release(1);
  EXPECT_EQ(pair.state(1), DecodedFramePair::State::kFree);
  EXPECT_EQ(pair.AcquireTarget(), 1);

  // Both ready: the decoder waits about 100 ms for the output, then overwrites the older one.
  pair.MarkReady(1, 7.0f);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(pair.AcquireTarget(), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
  EXPECT_EQ(pair.state(0), DecodedFramePair::State::kBusy);

  pair.FreeAll();
  for (int slot = 0; slot < 2; ++slot) {
    EXPECT_EQ(pair.state(slot), DecodedFramePair::State::kFree);
    EXPECT_EQ(pair.time(slot), 0.0f);
  }
}

}  // namespace
}  // namespace kavex
