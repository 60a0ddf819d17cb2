#include "platform/thread_name.h"

#include <pthread.h>
#include <unistd.h>

namespace kavex::platform {

namespace {
constexpr size_t kMaxNameLength = 15;  // the kernel's limit, without the terminator
}  // namespace

void NameCurrentThread(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, kMaxNameLength).c_str());
}

std::string CurrentThreadName() {
  char name[kMaxNameLength + 1] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return std::string();
  return name;
}

unsigned long CurrentThreadId() { return static_cast<unsigned long>(gettid()); }

}  // namespace kavex::platform
