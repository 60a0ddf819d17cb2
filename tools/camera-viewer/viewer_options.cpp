#include "viewer_options.h"

#include <algorithm>
#include <cctype>

#include "command_line.h"

namespace camera_viewer {

const char kUsage[] =
    "usage: camera-viewer.exe [--camera N] [--size WxH] [--code 0|1|2|3] [--fps F] [--duration S]\n"
    "                         [--snapshot-at S[:NAME],...] [--snapshot-dir DIR] [--snapshot-prefix NAME]\n"
    "                         [--stats-file FILE]\n"
    "  --camera N           camera index 0-3 (default 0)\n"
    "  --size WxH           demanded size (default 1280x720); a negative height asks RGB24 or ARGB\n"
    "                       pictures bottom row first\n"
    "  --code C             0 RGB24, 1 YUY2 (default), 2 I420, 3 ARGB\n"
    "  --fps F              demanded frame rate (default 30)\n"
    "  --duration S         seconds to run (default 0: until \"quit\" on stdin or Ctrl-C)\n"
    "  --snapshot-at LIST   moments (seconds from the start) to keep a picture as PNG; each may\n"
    "                       carry a file name (4:before,9.5:live)\n"
    "  --snapshot-dir DIR   where the PNG files go (default .)\n"
    "  --snapshot-prefix P  file name of unnamed snapshots: P-1.png, P-2.png, ... (default snapshot)\n"
    "  --stats-file FILE    key=value summary written at the end\n"
    "stdin commands: snapshot [NAME], phase NAME, stats, quit\n";

bool IsPlainName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
  return true;
}

namespace {

using toolcommon::CommandLine;
using toolcommon::ReadInteger;

bool ReadSeconds(const std::string& text, double* value) { return toolcommon::ReadNumber(text, 0, 1e6, value); }

bool ParseSize(const std::string& text, PictureLayout* layout) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return false;
  long long width = 0;
  long long height = 0;
  if (!ReadInteger(text.substr(0, x), 1, 65535, &width) || !ReadInteger(text.substr(x + 1), -65535, 65535, &height) ||
      height == 0)
    return false;
  layout->width = static_cast<uint32_t>(width);
  layout->height = static_cast<int32_t>(height);
  return true;
}

std::string ParseSnapshots(const std::string& text, ViewerOptions* options) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(start, comma - start);
    SnapshotRequest request;
    const size_t colon = item.find(':');
    if (!ReadSeconds(item.substr(0, colon), &request.at)) return "bad --snapshot-at moment '" + item + "'";
    if (colon != std::string::npos) {
      request.name = item.substr(colon + 1);
      if (!IsPlainName(request.name)) return "bad snapshot name in '" + item + "'";
    }
    options->snapshots.push_back(request);
    start = comma + 1;
  }
  return "";
}

}  // namespace

std::string ParseOptions(int argc, const char* const* argv, ViewerOptions* options) {
  CommandLine line;
  line.Help(&options->help);
  line.Value("--camera", [options](const std::string& value) {
    return ReadInteger(value, 0, 3, &options->camera) ? "" : "--camera takes 0-3";
  });
  line.Value("--size", [options](const std::string& value) {
    return ParseSize(value, &options->layout) ? "" : "--size takes WxH (1280x720)";
  });
  line.Value("--code", [options](const std::string& value) {
    return ReadInteger(value, 0, 3, &options->layout.code) ? "" : "--code takes 0-3";
  });
  line.Value("--fps", [options](const std::string& value) {
    double fps = 0;
    if (!toolcommon::ReadNumber(value, 0, 1000, &fps) || fps <= 0) return "--fps takes a rate above 0";
    options->fps = static_cast<float>(fps);
    return "";
  });
  line.Value("--duration", [options](const std::string& value) {
    return ReadSeconds(value, &options->duration) ? "" : "--duration takes seconds";
  });
  line.Value("--snapshot-at", [options](const std::string& value) { return ParseSnapshots(value, options); });
  line.Value("--snapshot-dir", [options](const std::string& value) {
    if (value.empty()) return "--snapshot-dir is empty";
    options->snapshotDir = value;
    return "";
  });
  line.Value("--snapshot-prefix", [options](const std::string& value) {
    if (!IsPlainName(value)) return "--snapshot-prefix takes a plain file name";
    options->snapshotPrefix = value;
    return "";
  });
  line.Value("--stats-file", [options](const std::string& value) {
    options->statsFile = value;
    return "";
  });
  const std::string problem = line.Parse(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  if (!problem.empty() || options->help) return problem;

  const PictureLayout& layout = options->layout;
  if (layout.height < 0 && layout.code != kRgb24 && layout.code != kArgb)
    return "a negative height (bottom row first) exists only for RGB24 and ARGB";
  // YUY2 pairs pixels and I420 shares chroma between 2 × 2 pixels.
  if (layout.code == kYuy2 && layout.width % 2 != 0) return "YUY2 needs an even width";
  if (layout.code == kI420 && (layout.width % 2 != 0 || layout.rows() % 2 != 0))
    return "I420 needs an even width and height";
  if (PictureBytes(layout) > kSlotDataBytes) return "a picture of that size and layout does not fit a frame slot";
  return "";
}

}  // namespace camera_viewer
