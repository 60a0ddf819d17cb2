#pragma once
#include <memory>

namespace kavex::platform {

// Tells when the machine's network addresses change (an adapter comes up, a lease is renewed), so
// discovery can rebind to the new set of adapters.
// Thread: polled from one thread (instance 0's worker).
class AddressChangeWatch {
 public:
  virtual ~AddressChangeWatch() = default;
  // Non-blocking. True when addresses changed since the last call; the watch is then re-armed for
  // the next change.
  virtual bool CheckAndRearm() = 0;

  // Requests change notification (a request left pending is the normal start). On failure returns
  // null and stores the system's error code.
  static std::unique_ptr<AddressChangeWatch> Start(int* error);
};

// Keeps the system's socket library started for the lifetime of the object (Winsock 2.2 on Windows;
// nothing to do elsewhere).
class SocketLibrary {
 public:
  SocketLibrary();
  ~SocketLibrary();  // NOLINT(performance-trivially-destructible): not trivial under Windows
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

}  // namespace kavex::platform
