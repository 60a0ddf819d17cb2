#include "snapshots.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "png_writer.h"

namespace camera_viewer {

Snapshots::Snapshots(const std::vector<SnapshotRequest>& requests, std::string dir, std::string prefix)
    : dir_(std::move(dir)), prefix_(std::move(prefix)) {
  for (const SnapshotRequest& request : requests)
    requests_.push_back({request.at, request.name.empty() ? prefix_ + "-" + std::to_string(++unnamed_) : request.name});
}

void Snapshots::RequestNow(const std::string& name, double now) {
  requests_.push_back({now, name.empty() ? prefix_ + "-" + std::to_string(++unnamed_) : name});
}

bool Snapshots::AnyDue(double now) const {
  for (const Request& request : requests_)
    if (request.at <= now) return true;
  return false;
}

std::string Snapshots::PathOf(const std::string& name) const { return dir_ + "/" + name + ".png"; }

std::vector<std::string> Snapshots::WriteDue(double now, int width, int height, const std::vector<uint8_t>& rgb,
                                             float pictureTime) {
  std::vector<std::string> lines;
  std::error_code ignored;
  std::filesystem::create_directories(dir_, ignored);  // a failure shows in the write below
  for (auto request = requests_.begin(); request != requests_.end();) {
    if (request->at > now) {
      ++request;
      continue;
    }
    const std::string path = PathOf(request->name);
    char line[512];
    if (png_writer::WriteRgb(path, width, height, rgb.data())) {
      ++written_;
      std::snprintf(line, sizeof line, "snapshot %s: %s (%dx%d, picture time %.3f, taken at %.2f s)",
                    request->name.c_str(), path.c_str(), width, height, pictureTime, now);
    } else {
      std::snprintf(line, sizeof line, "snapshot %s: cannot write %s", request->name.c_str(), path.c_str());
    }
    lines.push_back(line);
    request = requests_.erase(request);
  }
  return lines;
}

std::vector<std::string> Snapshots::Pending() const {
  std::vector<std::string> names;
  for (const Request& request : requests_) names.push_back(request.name);
  return names;
}

}  // namespace camera_viewer
