#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/video_format.h"
#include "output/camera_channel.h"
#include "output/camera_signals.h"
#include "output/frame_slot.h"
#include "output/local_frame_slots.h"
#include "output/microphone_writer.h"
#include "output/output_format.h"
#include "output/output_timing.h"
#include "output/picture_writer.h"
#include "output/placeholder_painter.h"
#include "platform/sync.h"

struct AVFrame;

namespace kavex {

namespace platform {
class Device;
class DeviceDrivers;
}  // namespace platform
class OutputFeeder;

// How the camera driver's control changes reach the phone.
// Thread: the output's feeder thread.
class OutputControlListener {
 public:
  virtual ~OutputControlListener() = default;
  virtual void OnControlValue(uint32_t value) = 0;
  virtual void OnControlFlag(bool flag) = 0;
};

// The engine's end of one virtual camera and its microphone, chosen by the owning instance's index.
// It wires together the named mutex and event shared with the camera driver (CameraSignals), the
// camera channel of the driver's mode (the shared camera section, or the camera device and the
// engine's own two slots), the placeholder painter, the picture writer of the decoded stream, the
// microphone writer and the feeder thread that keeps the camera supplied; it owns the output format
// and the decisions on it (the consumer's demands, the driver's controls).
//
// Thread: created, opened and closed by the owner's host thread. Once open, the feeder thread ticks
// (Tick: blank picture, placeholder, or the stream's hand-overs and driver checks), the receive
// thread writes sound, the decoder thread writes pictures, and host threads set the blank flag and
// clear the slots. Whatever touches the slots holds slotsLock_; the format is written only under
// both the named mutex and formatLock_, and read as one copy under formatLock_.
class VirtualCameraOutput {
 public:
  // Open's results.
  static constexpr int kOpened = CameraChannel::kOpened;
  static constexpr int kMicrophoneMissing = CameraChannel::kMicrophoneMissing;
  static constexpr int kMicrophoneQueryFailed = CameraChannel::kMicrophoneQueryFailed;
  static constexpr int kCameraMissing = CameraChannel::kCameraMissing;
  static constexpr int kCameraQueryFailed = CameraChannel::kCameraQueryFailed;
  static constexpr int kDriverNotReady = CameraChannel::kDriverNotReady;
  static constexpr int kCameraDriverTooOld = CameraChannel::kCameraDriverTooOld;

  // drivers: the device road (the system's, or simulated ones in tests); must outlive the output.
  // timing: the clock of the feeder's pauses and the placeholder's pace (the engine's by default).
  VirtualCameraOutput(int index, OutputControlListener* controlListener, platform::DeviceDrivers& drivers,
                      OutputTiming timing = {});
  VirtualCameraOutput(int index, OutputControlListener* controlListener);
  ~VirtualCameraOutput();
  VirtualCameraOutput(const VirtualCameraOutput&) = delete;
  VirtualCameraOutput& operator=(const VirtualCameraOutput&) = delete;

  // Finds and opens the devices, chooses the camera's mode and starts the feeder: kOpened or a
  // negative code above. A failed open leaves what was opened until Close.
  int Open();
  // Stops the feeder and releases everything, in the drivers' order. Safe twice.
  void Close();

  int index() const { return index_; }
  OutputControlListener* controlListener() const { return controlListener_; }

  // Is a program reading the camera? Section mode: the section's consumer count; control-code mode:
  // the camera's answer to a query.
  bool ConsumerActive();
  // Stores the format under the named mutex and rebuilds the drawing surface. A picture of that
  // format that would not fit a frame slot is refused (the format stays as it was); false then, or
  // when the mutex could not be had.
  bool SetOutputFormat(const OutputFormat& format);
  OutputFormat format() const;
  // Empties both frame slots of the camera's mode (YUY2 black for YUY2, zeros otherwise).
  void ClearFrameSlots();

  bool sectionMode() const { return channel_ != nullptr && channel_->sectionMode(); }
  // The section's format-table capacity (0 without a section).
  uint32_t FormatTableCapacity() const;
  // Replaces the section's format table with these rows (at most two), under the named mutex. False
  // when there is no section or the mutex could not be had (the table is left as it was).
  bool WriteFormatTable(const std::vector<VideoFormat>& rows);

  // Decoded sound for the microphone (receive thread).
  void WriteAudio(const int16_t* samples, size_t count) { microphone_.Write(samples, count); }
  const MicrophoneWriter& microphone() const { return microphone_; }

  void SetBlank(bool blank) { blank_.store(blank); }
  bool blank() const { return blank_.load(); }
  void SetStreaming(bool streaming) { streaming_.store(streaming); }
  bool streaming() const { return streaming_.load(); }
  bool feederRunning() const;

  // One feeder step (frame_delivery.cpp); true when it handed over a picture.
  bool Tick();
  // The output step of one decoded picture (decoder thread): scaled and converted straight into a
  // frame slot, which is then marked ready and announced by the event. True only then; false when
  // nothing new is in a slot (no size, an unknown layout, a picture that cannot be drawn or does
  // not fit, no free local slot, the mutex not had).
  bool WriteDecodedPicture(const AVFrame& picture, float timestamp);

  // The engine's own slot memory: control-code mode's picture slots (for tests and the bench,
  // which play the feeder's part).
  FrameSlot localSlot(int slot) const { return localSlots_.slot(slot); }

 private:
  int StartFeeder();
  bool BlankTickLocked();
  bool PlaceholderTick();
  // Takes a control-code driver's new size for the blank picture without re-forming the output.
  void TakeAskedSizeLocked();
  // What the driver reported: a demand re-forms the output (format and cleared slots), each control
  // change goes to the listener once. Slots lock held.
  void ApplyReportLocked(const DriverReport& report);
  void CheckDemandLocked(const OutputFormat& demanded);
  void CheckControls(uint32_t value, bool flag);
  void ClearFrameSlotsLocked();

  const int index_;
  OutputControlListener* const controlListener_;
  platform::DeviceDrivers& drivers_;
  const OutputTiming timing_;

  CameraSignals signals_;
  LocalFrameSlots localSlots_;  // allocated once with the output
  std::unique_ptr<platform::Device> microphoneDevice_;
  MicrophoneWriter microphone_;

  // The engine's own threads meet in the frame slots' memory: the decoder writes pictures, the
  // feeder hands them (and the placeholder, drawn in them) over, and a new or lost stream clears
  // them. One lock keeps a clear from tearing through a picture being written or handed over. It
  // is taken once per path: a hand-over that re-forms the output clears the slots under the hold it
  // already has. A control-code driver takes its picture with the lock let go (the decoder fills
  // the other slot meanwhile); a clear waits for that hand-over to end.
  platform::Mutex slotsLock_;
  // Signalled when a hand-over that let the slots lock go has ended (a clear waits for it).
  platform::ConditionVariable handOverEnded_;
  // Set by Open and dropped by Close, on the owner thread while no other thread uses the output.
  std::unique_ptr<CameraChannel> channel_;
  mutable platform::Mutex formatLock_;
  OutputFormat format_;

  PictureWriter pictureWriter_;  // decoder thread only
  PlaceholderPainter painter_;
  std::unique_ptr<OutputFeeder> feeder_;

  std::atomic<bool> blank_{false};
  std::atomic<bool> streaming_{false};
  // Feeder thread only.
  uint32_t lastControlValue_ = 0;
  bool lastControlFlag_ = false;
  OutputFormat refusedDemand_{0, 0, 0.0f, 0};  // the last demand too large for a frame slot
};

}  // namespace kavex
