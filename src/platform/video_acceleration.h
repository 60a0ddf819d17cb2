#pragma once

struct AVBufferRef;

namespace kavex::platform {

// Whether the graphics device behind an FFmpeg DXVA2 device (from av_hwdevice_ctx_create) lists the
// HEVC Main decoding profile. A device without it would only have the codec decode HEVC in software,
// slower than H.264 would be. False when the device cannot be asked, and wherever DXVA2 does not
// exist. Thread: any that holds a reference to the device for the call.
bool DeviceDecodesHevc(AVBufferRef* dxva2Device);

}  // namespace kavex::platform
