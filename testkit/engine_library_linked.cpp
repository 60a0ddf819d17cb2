#include "engine_library.h"

namespace testkit {

bool EngineLibrary::Load(const std::string&, std::string*) {
  exports_.EInitialize = &EInitialize;
  exports_.EOpen = &EOpen;
  exports_.EUninitialize = &EUninitialize;
  exports_.SetCallback = &SetCallback;
  exports_.SetIdleCallback = &SetIdleCallback;
  exports_.ButtonEvent = &ButtonEvent;
  exports_.EFocus = &EFocus;
  exports_.EFocusDistance = &EFocusDistance;
  exports_.ESetActiveIdx = &ESetActiveIdx;
  exports_.ESetBlank = &ESetBlank;
  exports_.ESetVideoFormat = &ESetVideoFormat;
  exports_.ESelectPhone = &ESelectPhone;
  exports_.ERefresh = &ERefresh;
  exports_.ESetPasscode = &ESetPasscode;
  preview_.SetSize = &SetSize;
  preview_.SetAlpha = &SetAlpha;
  preview_.SetNumDesiredSamples = &SetNumDesiredSamples;
  preview_.SetAdapter = &SetAdapter;
  preview_.GetBackBufferNoRef = &GetBackBufferNoRef;
  preview_.Render = &Render;
  preview_.Destroy = &Destroy;
  return true;
}

void EngineLibrary::Unload() {
  exports_ = EngineExports();
  preview_ = PreviewExports();
}

std::string EnginePathFor(const std::string& dll) { return dll; }

}  // namespace testkit
