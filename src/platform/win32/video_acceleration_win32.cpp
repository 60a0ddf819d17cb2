#include "platform/video_acceleration.h"

#include <windows.h>

#include <d3d9.h>
#include <dxva2api.h>
#include <objbase.h>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_dxva2.h>
}

namespace kavex::platform {
namespace {

// Defined here rather than taken from the SDK's import libraries, which the engine does not link.
const GUID kDecoderServiceId = {0xfc51a551, 0xd5e7, 0x11d9, {0xaf, 0x55, 0x00, 0x05, 0x4e, 0x43, 0xff, 0x02}};
const GUID kHevcMainProfile = {0x5b11d51b, 0x2f4c, 0x4452, {0xbc, 0xc3, 0x09, 0xf2, 0xa1, 0x16, 0x0c, 0xc0}};

bool ServiceListsHevcMain(IDirectXVideoDecoderService* service) {
  UINT count = 0;
  GUID* profiles = nullptr;
  if (FAILED(service->GetDecoderDeviceGuids(&count, &profiles)) || profiles == nullptr) {
    return false;
  }
  bool found = false;
  for (UINT i = 0; i < count && !found; ++i) found = IsEqualGUID(profiles[i], kHevcMainProfile);
  CoTaskMemFree(profiles);
  return found;
}

}  // namespace

bool DeviceDecodesHevc(AVBufferRef* dxva2Device) {
  if (dxva2Device == nullptr) return false;
  const auto* device = reinterpret_cast<const AVHWDeviceContext*>(dxva2Device->data);
  if (device->type != AV_HWDEVICE_TYPE_DXVA2) return false;
  IDirect3DDeviceManager9* manager = static_cast<AVDXVA2DeviceContext*>(device->hwctx)->devmgr;
  if (manager == nullptr) return false;
  HANDLE handle = nullptr;
  if (FAILED(manager->OpenDeviceHandle(&handle))) return false;
  void* service = nullptr;
  bool found = false;
  if (SUCCEEDED(manager->GetVideoService(handle, kDecoderServiceId, &service)) && service != nullptr) {
    auto* decoderService = static_cast<IDirectXVideoDecoderService*>(service);
    found = ServiceListsHevcMain(decoderService);
    decoderService->Release();
  }
  manager->CloseDeviceHandle(handle);
  return found;
}

}  // namespace kavex::platform
