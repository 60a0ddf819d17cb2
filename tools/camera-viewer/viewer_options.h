#pragma once
// The viewer's command line.
#include <string>
#include <vector>

#include "picture_to_rgb.h"

namespace camera_viewer {

// A picture to keep as a PNG file: the first one taken at or after `at` seconds from the start.
struct SnapshotRequest {
  double at = 0;
  std::string name;  // file name without ".png"
};

struct ViewerOptions {
  int camera = 0;
  PictureLayout layout{1280, 720, kYuy2};
  float fps = 30.0f;
  double duration = 0;  // seconds; 0 = until "quit" or Ctrl-C
  std::vector<SnapshotRequest> snapshots;
  std::string snapshotDir = ".";
  std::string snapshotPrefix = "snapshot";
  std::string statsFile;
  bool help = false;
};

// Parses argv into *options. Returns "" or what is wrong.
std::string ParseOptions(int argc, const char* const* argv, ViewerOptions* options);

// A name made of letters, digits, '-', '_' and '.' (not "." or ".."): safe as a file name and as
// a key in the stats file.
bool IsPlainName(const std::string& name);

extern const char kUsage[];

}  // namespace camera_viewer
