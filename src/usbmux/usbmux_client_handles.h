#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/sync.h"
#include "usbmux/usbmux_client_stream.h"

namespace kavex::usbmux {

// A device port's byte stream that usbmuxd_connect handed out.
struct DeviceStream {
  explicit DeviceStream(std::unique_ptr<ServiceStream> s) : stream(std::move(s)) {}
  std::unique_ptr<ServiceStream> stream;
  platform::Mutex sendMutex;        // one send at a time, so two senders' bytes never interleave
  std::atomic<bool> closed{false};  // set by disconnect: waiting receivers give up
};

// The handles of the open device streams: small non-negative ints, as callers of the C interface
// keep them. A number is not given out again until the counter has gone round all of int (a stale
// handle of a closed stream must not reach a newer one). A stream found here stays usable by its
// finder after a disconnect: it closes when the last user lets go, so no socket number is reused
// under a running send or receive.
// Thread: any; one mutex, held for the lookups only. It lives until the process ends (never
// destroyed: a caller may use a stream while static destructors run).
class HandleTable {
 public:
  static constexpr size_t kMaxOpen = 1024;

  static HandleTable& Instance();

  // The new handle, or -EMFILE when kMaxOpen are open.
  int Add(std::shared_ptr<DeviceStream> stream);
  std::shared_ptr<DeviceStream> Find(int handle);
  // Takes the stream out of the table; null for an unknown or already closed handle.
  std::shared_ptr<DeviceStream> Remove(int handle);

 private:
  HandleTable() = default;

  platform::Mutex mutex_;
  std::unordered_map<int, std::shared_ptr<DeviceStream>> open_;
  int next_ = 1;
};

}  // namespace kavex::usbmux
