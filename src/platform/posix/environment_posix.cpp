#include "platform/environment.h"

#include <cstdlib>

namespace kavex::platform {

std::string EnvironmentValue(const char* name) {
  // The engine only reads the environment; a host that changes it while the engine reads is
  // outside what any C library makes safe.
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace kavex::platform
