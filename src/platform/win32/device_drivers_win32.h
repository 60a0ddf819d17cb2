#pragma once
#include <string>
#include <vector>

#include "platform/device_drivers.h"

struct IPropertyBag;

namespace kavex::platform {

// Reads one capture device's properties from its property bag: the friendly name, and the device
// path only when that name is one of wantedNames. False when the device is not wanted or a
// property cannot be read; a bag that fails without writing its VARIANT is handled (Wine's does).
// Thread: any with COM initialised.
bool ReadCaptureDevice(IPropertyBag* bag, const std::vector<std::wstring>& wantedNames, CaptureDevice* device);

}  // namespace kavex::platform
