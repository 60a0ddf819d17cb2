#include "platform/video_acceleration.h"

namespace kavex::platform {

bool DeviceDecodesHevc(AVBufferRef*) { return false; }

}  // namespace kavex::platform
