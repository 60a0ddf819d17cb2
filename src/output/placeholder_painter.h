#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "output/animated_image.h"
#include "output/camera_channel.h"
#include "output/output_format.h"
#include "platform/clock.h"

struct SwsContext;

namespace kavex {
namespace platform {
class DrawingSurface;
}

// What a camera shows while no phone streams: the placeholder (black, the animation, the caption)
// or, when the host blanked the cameras, a plain green picture, each drawn in the output's format
// and handed to whichever channel the camera has. Each camera's placeholder is paced to ten
// pictures a second on its own clock.
// Thread: Load and Release on the output's owner thread; the painting and pacing on the feeder
// thread under the output's slots lock; ResizeCanvas also wherever the output's format is set.
// Owns the drawing surface, the animation and the converter of its pictures.
class PlaceholderPainter {
 public:
  // clock: what the pace is measured on; must outlive the painter.
  explicit PlaceholderPainter(Clock& clock = EngineClock::AsClock());
  ~PlaceholderPainter();
  PlaceholderPainter(const PlaceholderPainter&) = delete;
  PlaceholderPainter& operator=(const PlaceholderPainter&) = delete;

  void Load();
  void Release();
  void ResizeCanvas(const OutputFormat& format);

  // Draws the placeholder for format and hands it over; true when it did (*report: the driver's
  // answer). A canvas or a converter that cannot be had sends nothing.
  bool PaintPlaceholder(const OutputFormat& format, CameraChannel& channel, DriverReport* report);
  // The green picture, handed over once per layout until ForgetBlank: true when it went out now.
  bool PaintBlank(const OutputFormat& format, CameraChannel& channel, DriverReport* report);
  void ForgetBlank() { blankState_ = 0; }
  // Reserves this camera's next placeholder picture: the milliseconds to wait until it is due.
  int ReserveNextPicture();

 private:
  // A YUY2 picture: the last one kept whole, with only the animation's rows drawn and converted
  // again (converting the whole picture ten times a second was most of an idle camera's cost).
  bool PaintYuy2(platform::DrawingSurface& canvas, CameraChannel& channel, DriverReport* report);

  Clock& clock_;
  std::unique_ptr<platform::DrawingSurface> canvas_;
  AnimatedImage animation_;
  SwsContext* scaler_ = nullptr;
  SwsContext* bandScaler_ = nullptr;
  std::vector<uint8_t> yuy2Picture_;  // the last YUY2 placeholder picture, top row first
  int yuy2Width_ = 0;
  int blankState_ = 0;           // 0 none, 1 RGB blank written, 2 YUY2 blank written
  double placeholderDue_ = 0.0;  // when this camera's next placeholder picture is due
};

}  // namespace kavex
