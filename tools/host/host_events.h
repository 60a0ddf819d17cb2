#pragma once
// The host's events for programs to read (--events FILE): one line per callback that a script
// waits for, "SECONDS EVENT CAMERA VALUES...", on the same clock as the human log, flushed at once:
//   0.446 open 0 0                    the open result
//   2.071 state 0 2                   a phone state (KavexPhoneState)
//   2.071 phone 0 0 1 1852794992 Video Phone [WiFi]
//                                     a phone list entry: entry, selected (1/0), key ("-" when
//                                     empty), then the name to the end of the line
//   2.079 format-choice 0 4           the format index the host answered
//   2.112 video-size 0 1280 720
// The human log stays as it is; this file is what scripts read instead of its wording.
//
// Any thread: engine threads write their callbacks here. Owns the file and its lock.
#include <cstdio>
#include <mutex>
#include <string>

#include "host_log.h"

namespace kavexhost {

std::string OpenResultEvent(int instance, int result);
std::string StateEvent(int instance, int value);
std::string PhoneEvent(int instance, int entry, const char* key, const char* displayName, int selected);
std::string FormatChoiceEvent(int instance, int answer);
std::string VideoSizeEvent(int instance, int width, int height);

class HostEvents {
 public:
  explicit HostEvents(const HostLog& clock) : clock_(clock) {}
  ~HostEvents();
  HostEvents(const HostEvents&) = delete;
  HostEvents& operator=(const HostEvents&) = delete;

  // Creates (or empties) the file; false with *error set when it cannot be written.
  bool Open(const std::string& path, std::string* error);
  // Nothing without an open file.
  void Write(const std::string& event);

 private:
  const HostLog& clock_;
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace kavexhost
