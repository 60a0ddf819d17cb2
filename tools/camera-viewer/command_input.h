#pragma once
// Commands on standard input ("snapshot live", "phase after", "quit"), so that a script can act
// on the viewer at the moments it chooses.
// Thread: a reader thread of its own blocks on stdin and queues whole lines; the main thread takes
// them with Poll. The reader is detached: a blocked read cannot be cancelled portably, and the
// process ending takes it along. It owns nothing but its share of the queue.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace camera_viewer {

class CommandInput {
 public:
  CommandInput();
  // The lines that arrived since the previous call, without their line ends.
  std::vector<std::string> Poll();

 private:
  struct Queue {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  std::shared_ptr<Queue> queue_;
};

}  // namespace camera_viewer
