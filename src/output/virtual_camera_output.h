#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/video_format.h"
#include "output/animated_image.h"
#include "output/frame_slot.h"
#include "output/microphone_writer.h"
#include "output/output_format.h"
#include "output/picture_writer.h"

struct SwsContext;

namespace kavex {

namespace platform {
class Device;
class DeviceDrivers;
class DrawingSurface;
class NamedEvent;
class NamedMutex;
class SharedSection;
}  // namespace platform
class OutputFeeder;
}  // namespace kavex
struct AVFrame;
namespace kavex {

// How the camera driver's control changes reach the phone.
// Thread: the output's feeder thread.
class OutputControlListener {
 public:
  virtual ~OutputControlListener() = default;
  virtual void OnControlValue(uint32_t value) = 0;
  virtual void OnControlFlag(bool flag) = 0;
};

// The engine's end of one virtual camera and its microphone, chosen by the owning instance's index:
// the named mutex and event shared with the camera driver, either the driver's shared camera section
// (section mode) or the camera device and two local picture slots (control-code mode), the
// microphone device, the current output format and the feeder thread that keeps the camera
// supplied.
//
// Thread: created, opened and closed by the owner's host thread. Once open, the feeder thread ticks
// (frame delivery, placeholder, demand and control checks), the receive thread writes sound, the
// decoder thread writes pictures, and host threads set the blank flag. The format is written only
// under both the named mutex and formatLock_, and read as one copy under formatLock_.
class VirtualCameraOutput {
 public:
  // Open's results.
  static constexpr int kOpened = 0;
  static constexpr int kMicrophoneMissing = -1;
  static constexpr int kMicrophoneQueryFailed = -2;
  static constexpr int kCameraMissing = -3;
  static constexpr int kCameraQueryFailed = -4;
  static constexpr int kDriverNotReady = -5;
  static constexpr int kCameraDriverTooOld = -6;

  static constexpr uint32_t kMutexWaitMs = 1000;
  static constexpr uint32_t kEventWaitMs = 500;

  // drivers: the device road (the system's, or simulated ones in tests); must outlive the output.
  VirtualCameraOutput(int index, OutputControlListener* controlListener,
                      platform::DeviceDrivers& drivers);
  VirtualCameraOutput(int index, OutputControlListener* controlListener);
  ~VirtualCameraOutput();
  VirtualCameraOutput(const VirtualCameraOutput&) = delete;
  VirtualCameraOutput& operator=(const VirtualCameraOutput&) = delete;

  // Finds and opens the devices and starts the feeder: kOpened or a negative code above. A failed
  // open leaves what was opened until Close.
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
  // Empties both frame slots of the current mode (YUY2 black for YUY2, zeros otherwise).
  void ClearFrameSlots();

  bool sectionMode() const { return sectionView_ != nullptr; }
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
  bool driverVersion2() const { return driverVersion2_; }
  bool feederRunning() const;

  // Frame delivery (frame_delivery.cpp). One feeder step; true when it handed over a picture.
  bool Tick();
  // Hands one finished picture to the driver: into the older section slot, or through the
  // control-code frame write.
  void Deliver(const uint8_t* data, size_t length);
  // The output step of one decoded picture (decoder thread): scaled and converted straight into a
  // frame slot, which is then marked ready and announced by the event. True only then; false when
  // nothing new is in a slot (no size, an unknown layout, a picture that cannot be drawn or does
  // not fit, no free local slot, the mutex not had).
  bool WriteDecodedPicture(const AVFrame& picture, float timestamp);
  // The consumer's demanded format against the current one: re-forms the output on a change.
  void CheckDemand(const OutputFormat& demanded);
  // The driver's control value and flag: each change goes to the listener once.
  void CheckControls(uint32_t value, bool flag);

  FrameSlot sectionSlot(int slot) const;
  FrameSlot localSlot(int slot) const;
  // A local slot's picture data, for the placeholder and blank pictures to draw in; the slots
  // count as written. Slots lock held.
  uint8_t* LocalScratch(int slot);
  platform::NamedMutex* mutex() const { return mutex_.get(); }
  platform::NamedEvent* event() const { return event_.get(); }
  platform::DrawingSurface* surface() const { return surface_.get(); }

 private:
  int OpenSectionMode(uint32_t microphoneStatus);
  int OpenControlCodeMode(uint32_t microphoneStatus);
  void OpenSection();
  bool QueryCamera(uint8_t (&reply)[32]);
  // What the section's consumer asks for (section mode only).
  OutputFormat SectionDemand() const;
  void ClearSlot(FrameSlot slot, uint32_t code, bool fillData);
  int StartFeeder();
  void ResizeSurface(const OutputFormat& format);
  // Placeholder and blank pictures (placeholder.cpp).
  bool PlaceholderTick();
  // Waits until this camera's next placeholder picture is due; the feeder's stop ends the wait.
  void PacePlaceholder();
  bool BlankTick();
  bool DeliverControlCodeSlot();
  void SetEvent();
  void ResetEvent();
  // Something other than the picture writer wrote into the slots. Slots lock held.
  void MarkSlotsWritten();
  std::string DeviceDetail(uint32_t systemError) const;
  std::string ObjectDetail(uint32_t systemError) const;

  const int index_;
  OutputControlListener* const controlListener_;
  platform::DeviceDrivers& drivers_;

  std::unique_ptr<platform::NamedMutex> mutex_;
  std::unique_ptr<platform::NamedEvent> event_;
  // The two local frame slots, allocated once with the output.
  struct FreeDeleter {
    void operator()(uint8_t* bytes) const;
  };
  std::unique_ptr<uint8_t, FreeDeleter> localSlots_;
  std::unique_ptr<platform::Device> camera_;
  std::unique_ptr<platform::Device> microphoneDevice_;
  MicrophoneWriter microphone_;

  // The engine's own threads meet in the frame slots' memory: the decoder writes pictures, the
  // feeder hands them (and the placeholder, drawn in them) over, and a new or lost stream clears
  // them. One lock keeps a clear from tearing through a picture being written or handed over;
  // recursive because a hand-over may re-form the output and clear the slots.
  std::recursive_mutex slotsLock_;
  // Whether picture data was written into the slots since the last clear, and which fill that
  // clear left (YUY2 black or zeros); guarded by slotsLock_. A clear of slots nothing has written
  // since, with the same fill, only resets their fields: a stream whose packets keep failing to
  // decode would otherwise rewrite about 33 MB for every packet.
  bool slotsWritten_ = true;
  bool clearedToYuy2_ = false;
  // What each slot of the current mode holds around its picture, so that the writer blackens the
  // bars only when the fit moves; guarded by slotsLock_.
  SlotBars slotBars_[2];
  mutable std::mutex formatLock_;
  OutputFormat format_;

  PictureWriter pictureWriter_;  // decoder thread only
  std::unique_ptr<platform::DrawingSurface> surface_;
  // The placeholder's animation (loaded at open) and the converter of its pictures to the
  // driver's layout; feeder thread only while open.
  AnimatedImage animation_;
  SwsContext* placeholderScaler_ = nullptr;
  std::unique_ptr<OutputFeeder> feeder_;
  std::unique_ptr<platform::SharedSection> section_;
  uint8_t* sectionView_ = nullptr;

  std::atomic<bool> blank_{false};
  std::atomic<bool> streaming_{false};
  bool driverVersion2_ = false;
  // Feeder thread only.
  uint32_t lastControlValue_ = 0;
  bool lastControlFlag_ = false;
  int blankState_ = 0;  // 0 none, 1 RGB blank written, 2 YUY2 blank written
  double placeholderDue_ = 0.0;  // when this camera's next placeholder picture is due
  OutputFormat refusedDemand_{0, 0, 0.0f, 0};  // the last demand too large for a frame slot
};

}  // namespace kavex
