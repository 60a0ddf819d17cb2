#pragma once
// The pictures to keep as PNG files: requested for moments (--snapshot-at) or for "now" (the
// snapshot command); each is the first picture taken at or after its moment.
// Thread: the viewer's main thread.
#include <string>
#include <vector>

#include "viewer_options.h"

namespace camera_viewer {

class Snapshots {
 public:
  Snapshots(const std::vector<SnapshotRequest>& requests, std::string dir, std::string prefix);

  // A snapshot of the next picture; an empty name gets the next prefix-N name.
  void RequestNow(const std::string& name, double now);
  bool AnyDue(double now) const;
  // Writes every snapshot due at `now` from this picture (width × height RGB, top row first).
  // Returns one line per file: what was written, or why it could not be.
  std::vector<std::string> WriteDue(double now, int width, int height, const std::vector<uint8_t>& rgb,
                                    float pictureTime);
  // Requests that never got a picture.
  std::vector<std::string> Pending() const;
  size_t written() const { return written_; }

 private:
  struct Request {
    double at;
    std::string name;
  };
  std::string PathOf(const std::string& name) const;

  std::string dir_;
  std::string prefix_;
  std::vector<Request> requests_;
  size_t unnamed_ = 0;
  size_t written_ = 0;
};

}  // namespace camera_viewer
