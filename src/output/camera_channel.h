#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "common/video_format.h"
#include "output/frame_slot.h"
#include "output/local_frame_slots.h"
#include "output/output_format.h"
#include "output/picture_writer.h"
#include "platform/sync.h"

namespace kavex {

// What a camera driver said about its consumer, with a hand-over or when its state was read: the
// format the consumer wants and the driver's control value and flag, each only when stated.
struct DriverReport {
  bool hasDemand = false;
  OutputFormat demand{0, 0, 0.0f, 0};
  bool hasControls = false;
  uint32_t controlValue = 0;
  bool controlFlag = false;
};

// The road to one camera's driver in the mode that driver offers (the shared camera section, or
// the camera device reached by control codes): whether a program reads the camera, the two frame
// slots pictures are written into, the hand-over of a finished picture, what the driver reports
// back, and the format table where the mode has one. The mode is fixed when the channel is opened;
// nothing outside an implementation asks which one it is, except to report it.
//
// Also keeps what is known about its slots since their last clear, so that a clear rewrites the
// picture data only when something wrote there (a stream whose packets keep failing to decode
// would otherwise rewrite about 33 MB for every packet).
//
// Thread: opened, configured and closed on the output's owner thread. In between, everything that
// touches the slots (SlotForPicture, HandOver, FeedStream, ClearSlots, Scratch and the
// bookkeeping) runs under the output's slots lock, on the feeder, decoder or a clearing thread;
// ConsumerActive and the format table run on any thread.
class CameraChannel {
 public:
  // Results of an open.
  static constexpr int kOpened = 0;
  static constexpr int kMicrophoneMissing = -1;
  static constexpr int kMicrophoneQueryFailed = -2;
  static constexpr int kCameraMissing = -3;
  static constexpr int kCameraQueryFailed = -4;
  static constexpr int kDriverNotReady = -5;
  static constexpr int kCameraDriverTooOld = -6;

  // Stores a format as the output's; false when it was refused.
  using FormatSetter = std::function<bool(const OutputFormat&)>;

  virtual ~CameraChannel() = default;
  CameraChannel(const CameraChannel&) = delete;
  CameraChannel& operator=(const CameraChannel&) = delete;

  virtual bool sectionMode() const = 0;
  // Gives the output its starting format through setFormat and checks that the driver side can
  // run with this microphone status: kOpened, or a negative result (recorded).
  virtual int Configure(uint32_t microphoneStatus, const FormatSetter& setFormat) = 0;
  // Lets go of the driver's side. The channel is not used afterwards.
  virtual void Close() = 0;

  virtual bool ConsumerActive() = 0;
  virtual FrameSlot Slot(int index) const = 0;
  // The slot a new decoded picture goes into, or -1 when it is to be dropped.
  virtual int SlotForPicture() = 0;
  // Hands over a finished picture (length bytes, at most a slot's data).
  virtual DriverReport HandOver(const uint8_t* data, size_t length) = 0;
  // A feeder tick while a phone streams; true when it handed a picture over. May release
  // slotsHeld while it waits for the decoder or while the driver takes a picture (handingOver()
  // says so meanwhile), and holds it again on return.
  virtual bool FeedStream(std::unique_lock<platform::Mutex>& slotsHeld, DriverReport* report) = 0;
  // A picture is being handed over with the slots lock let go: the slot it is read from stays
  // ready until then, so the decoder never picks it; a clear must wait. Slots lock held.
  bool handingOver() const { return handingOver_; }
  // Asks the driver which size and layout its consumer wants now (width and height 0 when it
  // names none). False when the driver cannot be asked.
  virtual bool AskDemand(OutputFormat* demand);

  // The driver's format table: capacity 0 and no writes where the mode has none.
  virtual uint32_t FormatTableCapacity() const;
  virtual bool WriteFormatTable(const std::vector<VideoFormat>& rows);

  // Empties both slots for the current format: YUY2 black for YUY2, zeros otherwise.
  void ClearSlots(const OutputFormat& current);
  // The picture writer wrote into a slot; it keeps track of that slot's bars itself.
  void NotePictureWrite() { slotsWritten_ = true; }
  // Something other than the picture writer wrote into the slots.
  void MarkSlotsWritten();
  SlotBars* bars(int slot) { return &slotBars_[slot == 0 ? 0 : 1]; }
  // The engine's own slot memory, for drawing and converting before a hand-over; counts as a
  // write into the slots (in control-code mode it is the slots).
  uint8_t* Scratch(int which);

 protected:
  explicit CameraChannel(LocalFrameSlots& local) : local_(local) {}

  LocalFrameSlots& local_;
  bool handingOver_ = false;  // slots lock

 private:
  bool slotsWritten_ = true;
  // Which fill the last clear left: YUY2 black or zeros.
  bool clearedToYuy2_ = false;
  // What each slot holds around its picture, so that the writer blackens the bars only when the
  // fit moves.
  SlotBars slotBars_[2];
};

}  // namespace kavex
