#include "world.h"

namespace campaign {

// Natively the engine has no notification window: the bridge watcher's passes find the change.
bool SendUsbNotice(bool) { return false; }

}  // namespace campaign
