#include "platform/module_resource.h"

namespace kavex::platform {

// Generated at build time from resources/placeholder.gif (resources/embed_file.cmake).
extern const uint8_t kEmbeddedPlaceholderGif[];
extern const size_t kEmbeddedPlaceholderGifSize;

namespace {
// The resource id the Windows build gives the placeholder animation in engine.rc.
constexpr int kPlaceholderGifId = 101;
}  // namespace

bool LoadModuleResource(int id, const uint8_t** data, size_t* size) {
  if (data == nullptr || size == nullptr) return false;
  *data = nullptr;
  *size = 0;
  if (id != kPlaceholderGifId) return false;
  *data = kEmbeddedPlaceholderGif;
  *size = kEmbeddedPlaceholderGifSize;
  return true;
}

}  // namespace kavex::platform
