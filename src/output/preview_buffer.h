#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

struct AVFrame;
struct SwsContext;

namespace kavex {

// The latest picture for the host's preview, shared by every instance of the process: 4 bytes per
// pixel (blue, green, red, alpha), rows 4 x width bytes apart. It alternates between empty, where
// the active instance may fill it, and full, where the preview may copy it and then empty it.
// The state is the whole hand-over: a producer claims the empty buffer before writing (so a
// second instance, or one that was active a moment ago, cannot write into the same picture), and
// publishes the size together with full; the preview reads only while it is full.
// Thread: any. The pixels are made on first use and kept until the engine unloads.
class PreviewBuffer {
 public:
  static constexpr int32_t kMaxWidth = 3840;
  static constexpr int32_t kMaxHeight = 2160;
  static constexpr size_t kBytes = size_t{kMaxWidth} * kMaxHeight * 4;

  // The picture waiting for the preview.
  struct Picture {
    const uint8_t* pixels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
  };

  // The process's buffer; null only when its memory could not be had.
  static PreviewBuffer* Get();

  // Preview side. True while a picture waits; it stays unchanged until MarkPreviewEmpty.
  bool PeekPreview(Picture* picture) const;
  // Lets the producers fill the buffer again. Does nothing unless a picture waits.
  void MarkPreviewEmpty();
  bool full() const { return state_.load(std::memory_order_acquire) == kFull; }

  // Producer side. Claim succeeds only on an empty buffer and gives the caller the pixels until it
  // calls Publish (now full) or Abandon (empty again).
  bool Claim();
  uint8_t* pixels() { return pixels_; }
  void Publish(int32_t width, int32_t height);
  void Abandon();

 private:
  enum State : int { kEmpty, kFilling, kFull };
  explicit PreviewBuffer(uint8_t* pixels) : pixels_(pixels) {}

  uint8_t* const pixels_;
  // Written by the producer that holds the claim, read by the preview only after it saw kFull.
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::atomic<int> state_{kEmpty};
};

// Fills the preview buffer from the active instance's decoded pictures.
// Thread: the decoder thread of its instance. Owns the preview scaler.
class PreviewWriter {
 public:
  PreviewWriter() = default;
  ~PreviewWriter();
  PreviewWriter(const PreviewWriter&) = delete;
  PreviewWriter& operator=(const PreviewWriter&) = delete;

  // Converts picture into the preview buffer unless a picture already waits there: at its own
  // size, except that a 3840-wide picture is halved in both directions. Pictures that would not
  // fit the buffer, or that the scaler refuses, are skipped. True when the buffer was filled.
  bool Write(const AVFrame& picture);

 private:
  SwsContext* scaler_ = nullptr;
};

}  // namespace kavex
