#pragma once
#include <memory>

#include "output/camera_channel.h"
#include "output/camera_signals.h"
#include "platform/sync.h"

namespace kavex {
namespace platform {
class SharedSection;
}

// A camera whose driver publishes the shared camera section: pictures go straight into the
// section's two slots, the driver takes them by clearing `ready`, and the section carries the
// consumer count, the demanded format, the controls and the format table. The section is written
// by other processes at any time, so every field is read afresh, never cached.
// Thread: as CameraChannel.
class SectionChannel final : public CameraChannel {
 public:
  // Null when no driver publishes a section of the engine's layout for this index (only 0-3 have
  // one): the camera is then reached by control codes. Otherwise the slots are wiped of an earlier
  // session's leftovers and the engine marks itself attached.
  static std::unique_ptr<SectionChannel> Open(int index, CameraSignals& signals, LocalFrameSlots& local);
  ~SectionChannel() override;

  bool sectionMode() const override { return true; }
  int Configure(uint32_t microphoneStatus, const FormatSetter& setFormat) override;
  void Close() override;
  bool ConsumerActive() override;
  FrameSlot Slot(int index) const override;
  int SlotForPicture() override;
  DriverReport HandOver(const uint8_t* data, size_t length) override;
  bool FeedStream(std::unique_lock<platform::Mutex>& slotsHeld, DriverReport* report) override;
  uint32_t FormatTableCapacity() const override;
  bool WriteFormatTable(const std::vector<VideoFormat>& rows) override;

 private:
  SectionChannel(std::unique_ptr<platform::SharedSection> section, CameraSignals& signals, LocalFrameSlots& local);
  OutputFormat Demand() const;

  CameraSignals& signals_;
  std::unique_ptr<platform::SharedSection> section_;
  uint8_t* view_ = nullptr;  // null once closed
};

}  // namespace kavex
