#pragma once
// The preview as a host shows it: takes the engine's render target, renders the active camera's
// picture onto it a few times, a frame time apart, reads the target back and saves it as a PNG.
// Thread: the host's main thread, which pumps the messages of the preview's hidden window.
#include <string>

#include "engine_library.h"

namespace kavexhost {

// One line for the log: where the picture went, its size, how much of it is lit and what a Render
// cost, or what failed. `pump` is called between renders so the thread's messages keep flowing.
std::string CapturePreview(const testkit::PreviewExports& preview, const std::string& path, int renders,
                           void (*pump)(void* context, unsigned milliseconds), void* context);

}  // namespace kavexhost
