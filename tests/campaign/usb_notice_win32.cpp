#include <windows.h>
#include <dbt.h>

#include "engine_window.h"
#include "world.h"

namespace campaign {

bool SendUsbNotice(bool arrived) {
  return enginewindow::SendDeviceChange(arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE);
}

}  // namespace campaign
