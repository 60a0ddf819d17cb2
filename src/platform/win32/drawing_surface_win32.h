#pragma once
#include <windows.h>

#include "platform/drawing_surface.h"

namespace kavex::platform {

// The memory device context that holds the surface's DIB section, for GDI drawing on the picture.
// Null before the first successful Resize, and for a surface that DrawingSurface::Create did not
// make. Owned by the surface; valid while it lives, across later resizes.
HDC DrawingSurfaceDc(DrawingSurface& surface);

}  // namespace kavex::platform
