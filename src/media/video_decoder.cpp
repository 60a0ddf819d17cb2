#include "media/video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "common/engine_thread.h"
#include "common/error_log.h"
#include "common/trace.h"
#include "media/decoded_frame_pair.h"
#include "media/decoder_sink.h"
#include "platform/sync.h"
#include "platform/video_acceleration.h"

namespace kavex {
namespace {

static_assert(VideoDecoder::kPaddingBytes >= AV_INPUT_BUFFER_PADDING_SIZE, "the codec reads this far past a packet");

// The largest picture a frame slot takes, 3840 x 2160, as the codec stores it: in whole 16-line
// macroblocks. Whatever the stream declares beyond it is refused before the codec allocates for it,
// since a picture of 16384 x 8192 alone would take a tenth of a 32-bit process's address space.
constexpr int64_t kMaxCodedPixels = int64_t{3840} * 2176;
// The codec's own last check, for any path that does not ask the hook below (a parameter set that
// is reactivated): it counts the width rounded up to its stride alignment, so it gets room above
// ours. A picture this size still takes only about 25 MB.
constexpr int64_t kCodecMaxPixels = int64_t{4096} * 4096;

constexpr const char* kTraceComponent = "decoder";

// The codec's get_format hook, asked whenever the picture size or format changes, before any
// picture or hardware surface of the new size exists (H.264: before anything is sized for it;
// HEVC has sized its per-block tables by then): refuses a size no frame slot takes; takes the
// DXVA2 format when wanted and offered, else decodes in software.
AVPixelFormat ChooseFormat(AVCodecContext* context, const AVPixelFormat* offered) {
  if (int64_t{context->coded_width} * context->coded_height > kMaxCodedPixels) {
    char detail[40];
    (void)std::snprintf(detail, sizeof(detail), ".W%d.H%d", context->coded_width, context->coded_height);
    try {
      ErrorLog::Record(error_codes::kPictureTooLarge, detail);
    } catch (...) {
      // Nothing may be thrown through the codec's C frames; the refusal stands unrecorded.
    }
    KAVEX_TRACE_WARN(kTraceComponent, "stream refused: pictures of %d x %d are larger than 3840 x 2160",
                     context->coded_width, context->coded_height);
    return AV_PIX_FMT_NONE;
  }
  const int wanted = *static_cast<const int*>(context->opaque);
  if (wanted == AV_PIX_FMT_NONE) return avcodec_default_get_format(context, offered);
  for (const AVPixelFormat* format = offered; *format != AV_PIX_FMT_NONE; ++format) {
    if (static_cast<int>(*format) == wanted) return *format;
  }
  return offered[0];
}

void RecordSendError(int result) {
  if (result >= 0 || result == AVERROR_INVALIDDATA) return;  // corrupt data is the phone's problem
  ErrorCode entry = error_codes::kSendFailed;
  if (result == AVERROR(EAGAIN)) {
    entry = error_codes::kSendAgain;
  } else if (result == AVERROR_EOF) {
    entry = error_codes::kSendAfterEnd;
  } else if (result == AVERROR(EINVAL)) {
    entry = error_codes::kSendInvalid;
  } else if (result == AVERROR(ENOMEM)) {
    entry = error_codes::kSendNoMemory;
  }
  ErrorLog::Record(entry);
}

void RecordReceiveError(int result) {
  if (result == AVERROR(EAGAIN)) return;  // the codec simply wants more data
  ErrorCode entry = error_codes::kReceiveFailed;
  if (result == AVERROR_EOF) {
    entry = error_codes::kReceiveAfterEnd;
  } else if (result == AVERROR(EINVAL)) {
    entry = error_codes::kReceiveInvalid;
  }
  ErrorLog::Record(entry);
}

}  // namespace

VideoDecoder::VideoDecoder(bool hevc, DecodedFramePair& pair, DecoderSink& sink)
    : hevc_(hevc), pair_(pair), sink_(sink) {}

std::unique_ptr<VideoDecoder> VideoDecoder::Create(bool hevc, DecodedFramePair& pair, DecoderSink& sink,
                                                   const std::string& threadName) {
  std::unique_ptr<VideoDecoder> decoder(new VideoDecoder(hevc, pair, sink));
  if (!decoder->Open()) {
    KAVEX_TRACE_WARN(kTraceComponent, "no %s decoder here", hevc ? "HEVC" : "H.264");
    return nullptr;
  }
  KAVEX_TRACE_INFO(kTraceComponent, "decoder created: %s, %s", hevc ? "HEVC" : "H.264",
                   hevc ? "hardware (DXVA2)" : "software");
  decoder->running_ = true;
  try {
    decoder->thread_ = StartEngineThread(threadName, error_codes::kDecoderThrew, [raw = decoder.get()] { raw->Run(); });
  } catch (const std::system_error&) {
    decoder->running_ = false;
    return nullptr;
  }
  return decoder;
}

bool VideoDecoder::Open() {
  // Without pictures to decode into there is nothing to decode for.
  if (!ring_.valid() || !pair_.valid()) return false;
  const AVCodec* codec = avcodec_find_decoder(hevc_ ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
  if (codec == nullptr) return false;
  context_ = avcodec_alloc_context3(codec);
  if (context_ == nullptr) return false;
  context_->thread_count = 0;
  context_->thread_type = FF_THREAD_SLICE;              // frame threads would delay every picture
  av_opt_set_int(context_, "refcounted_frames", 1, 0);  // gone from newer codecs; harmless there
  context_->max_pixels = kCodecMaxPixels;
  context_->opaque = &hwPixelFormat_;
  context_->get_format = ChooseFormat;

  if (hevc_) {
    for (int i = 0;; ++i) {
      const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
      if (config == nullptr) break;
      if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) != 0 &&
          config->device_type == AV_HWDEVICE_TYPE_DXVA2) {
        hwPixelFormat_ = config->pix_fmt;
        break;
      }
    }
    if (hwPixelFormat_ == AV_PIX_FMT_NONE) {
      ErrorLog::Record(error_codes::kNoHardwareFormat);
      KAVEX_TRACE_INFO(kTraceComponent, "HEVC: this codec build has no DXVA2 format");
      return false;
    }
    context_->hwaccel_flags = AV_HWACCEL_FLAG_IGNORE_LEVEL;
    if (av_hwdevice_ctx_create(&hwDevice_, AV_HWDEVICE_TYPE_DXVA2, nullptr, nullptr, 0) < 0) {
      KAVEX_TRACE_INFO(kTraceComponent, "HEVC: no DXVA2 device");
      return false;
    }
    // A device without the profile would leave HEVC to software decoding, dearer than H.264 there:
    // failing here has the phone asked for H.264 instead.
    if (!platform::DeviceDecodesHevc(hwDevice_)) {
      KAVEX_TRACE_INFO(kTraceComponent, "HEVC: the DXVA2 device does not decode HEVC");
      return false;
    }
    context_->hw_device_ctx = av_buffer_ref(hwDevice_);
    if (context_->hw_device_ctx == nullptr) return false;
  }

  if (avcodec_open2(context_, codec, nullptr) != 0) return false;
  packet_ = av_packet_alloc();
  if (packet_ == nullptr || av_new_packet(packet_, kPayloadBytes) != 0) return false;
  hwFrame_ = av_frame_alloc();
  return hwFrame_ != nullptr;
}

VideoDecoder::~VideoDecoder() {
  if (thread_.joinable()) {
    {
      std::lock_guard<platform::Mutex> lock(waitMutex_);
      running_ = false;
    }
    wake_.notify_all();
    thread_.join();
  }
  avcodec_free_context(&context_);  // drops the context's own device reference too
  av_packet_free(&packet_);
  av_frame_free(&hwFrame_);
  av_buffer_unref(&hwDevice_);
}

void VideoDecoder::Submit(const uint8_t* data, size_t length, float timestamp) {
  size_t freeBytes = 0;
  if (!ring_.Push(data, length, timestamp, &freeBytes)) {
    ErrorLog::Record(error_codes::kPacketRingFull, ".L" + std::to_string(length) + ".F" + std::to_string(freeBytes));
    return;
  }
  // Taking the wait mutex orders this packet against the thread's look at the ring: either the
  // thread sees it, or it is already waiting and the notification reaches it.
  { std::lock_guard<platform::Mutex> lock(waitMutex_); }
  wake_.notify_all();
}

void VideoDecoder::Run() {
  for (;;) {
    {
      std::unique_lock<platform::Mutex> lock(waitMutex_);
      wake_.wait(lock, [this] { return !running_ || !ring_.Empty(); });
      if (!running_) return;
    }
    PacketRing::Entry entry;
    // An empty packet is consumed without troubling the codec; the loop goes straight on to
    // whatever is queued behind it.
    try {
      if (ring_.Pop(packet_->data, &entry) && entry.length > 0) Decode(entry);
    } catch (...) {
      // Out of memory in the output step: this picture is lost, the stream goes on.
      ErrorLog::Record(error_codes::kDecoderThrew);
    }
  }
}

void VideoDecoder::Decode(const PacketRing::Entry& entry) {
  sink_.OnPacketTaken(entry.timestamp);
  std::memset(packet_->data + entry.length, 0, kPaddingBytes);
  packet_->size = static_cast<int>(entry.length);
  RecordSendError(avcodec_send_packet(context_, packet_));

  const int slot = pair_.AcquireTarget();
  AVFrame* target = pair_.frame(slot);
  // HEVC pictures land in the scratch frame first: only the picture itself tells whether it is in
  // video memory, since the codec may have fallen back to software since the last one.
  AVFrame* received = hevc_ ? hwFrame_ : target;
  // One picture per packet: the streams carry no reordering, so nothing is left behind.
  const int result = avcodec_receive_frame(context_, received);
  bool failed = result != 0;
  if (!failed && received != target) {
    if (received->hw_frames_ctx != nullptr) {
      // The slot keeps the buffers of its last transfer when this picture has the same size and
      // leaves video memory the same way: otherwise every picture would cost a new 3-12 MB frame.
      const bool reuse = target->buf[0] != nullptr && target->hw_frames_ctx == nullptr &&
                         target->width == received->width && target->height == received->height &&
                         target->format == transferFormat_ && av_frame_is_writable(target) != 0;
      if (!reuse) av_frame_unref(target);
      // A picture that could not leave video memory is no picture: an empty frame must not be
      // delivered as one.
      failed = av_hwframe_transfer_data(target, received, 0) < 0;
      if (!failed) transferFormat_ = target->format;
      av_frame_unref(received);
    } else {
      av_frame_unref(target);
      av_frame_move_ref(target, received);
    }
  }
  if (failed) {
    if (result != 0) RecordReceiveError(result);
    // Pending pictures are discarded too; none is being delivered, delivery runs on this thread.
    pair_.Release(slot);
    pair_.FreeAll();
  } else {
    pair_.MarkReady(slot, entry.timestamp);
  }
  sink_.OnDecodeResult(failed, entry.timestamp);
}

}  // namespace kavex
