#include "instance/host_callbacks.h"

namespace kavex {

namespace {

std::atomic<HostStateCallback> g_hostState{nullptr};

}  // namespace

void SetHostStateCallback(HostStateCallback callback) { g_hostState.store(callback); }

void CallHostState(int index, int value) {
  // The host must pass a callback; a null one is skipped rather than called.
  if (HostStateCallback callback = g_hostState.load()) callback(index, value);
}

void HostCallbacks::Register(PhoneControlCallback phoneControl, VideoSizeCallback videoSize,
                             PhoneListCallback phoneList, Message19Callback message19, Message20Callback message20,
                             Message21Callback message21, Message22Callback message22, Message25Callback message25,
                             TextListCallback textList, FormatChoiceCallback formatChoice) {
  phoneControl_.store(phoneControl);
  videoSize_.store(videoSize);
  phoneList_.store(phoneList);
  message19_.store(message19);
  message20_.store(message20);
  message21_.store(message21);
  message22_.store(message22);
  message25_.store(message25);
  textList_.store(textList);
  formatChoice_.store(formatChoice);
  // Looked at after storing: a Close running meanwhile either sees these pointers or is seen here.
  if (closed_.load()) Clear();
}

void HostCallbacks::RegisterPasscodeKey(PasscodeKeyCallback passcodeKey) {
  passcodeKey_.store(passcodeKey);
  if (closed_.load()) passcodeKey_.store(nullptr);
}

void HostCallbacks::Close() {
  closed_.store(true);
  Clear();
}

void HostCallbacks::ReportState(int value) {
  if (!closed_.load()) CallHostState(index_, value);
}

void HostCallbacks::Clear() {
  phoneControl_.store(nullptr);
  videoSize_.store(nullptr);
  phoneList_.store(nullptr);
  message19_.store(nullptr);
  message20_.store(nullptr);
  message21_.store(nullptr);
  message22_.store(nullptr);
  message25_.store(nullptr);
  textList_.store(nullptr);
  formatChoice_.store(nullptr);
  passcodeKey_.store(nullptr);
  lastWidth_.store(0);
  lastHeight_.store(0);
}

void HostCallbacks::PublishPhoneList(const std::vector<PhoneListEntry>& entries) {
  // Looked up again for every entry: a host that tears the camera down from this callback is not
  // called for the rest of the list.
  int number = 0;
  for (const PhoneListEntry& entry : entries) {
    PhoneListCallback callback = phoneList_.load();
    if (callback == nullptr) return;
    callback(index_, number++, entry.key.c_str(), entry.displayName.c_str(), entry.selected);
  }
}

int HostCallbacks::ChooseFormat(const std::string& formatList, int currentChoice) {
  // A host that registered no chooser keeps what it chose before (ESetVideoFormat), rather than a
  // call through null or a silent switch to automatic.
  FormatChoiceCallback callback = formatChoice_.load();
  return callback != nullptr ? callback(index_, formatList.c_str()) : currentChoice;
}

void HostCallbacks::ReportVideoSize(int width, int height) {
  if (width == lastWidth_.load() && height == lastHeight_.load()) return;
  VideoSizeCallback callback = videoSize_.load();
  if (callback == nullptr) return;  // remembered only once the host has been told
  lastWidth_.store(width);
  lastHeight_.store(height);
  callback(index_, width, height);
}

void HostCallbacks::ForwardMessage19(int32_t a, int32_t b, int32_t c, int32_t d) {
  if (Message19Callback callback = message19_.load()) callback(index_, a, b, c, d);
}

void HostCallbacks::ForwardMessage20(float a, float b, float c, int32_t d) {
  if (Message20Callback callback = message20_.load()) callback(index_, a, b, c, d);
}

void HostCallbacks::ForwardMessage21(float a, float b, float c, float d) {
  if (Message21Callback callback = message21_.load()) callback(index_, a, b, c, d);
}

void HostCallbacks::ForwardMessage22(int32_t a, int32_t b, int32_t c, int32_t d) {
  if (Message22Callback callback = message22_.load()) callback(index_, a, b, c, d);
}

void HostCallbacks::ForwardMessage25(int32_t mode, float value) {
  if (Message25Callback callback = message25_.load()) callback(index_, mode, value);
}

void HostCallbacks::ForwardPhoneControl(uint32_t first, uint32_t second) {
  if (PhoneControlCallback callback = phoneControl_.load()) callback(index_, first, second);
}

void HostCallbacks::ForwardTextList(const std::string& text, int32_t value) {
  if (TextListCallback callback = textList_.load()) callback(index_, text.c_str(), value);
}

uint64_t HostCallbacks::GetPasscodeKey(const PhoneId& phone, const std::string& name) {
  PasscodeKeyCallback callback = passcodeKey_.load();
  if (callback == nullptr) return 0;
  return callback(index_, phone.data(), name.c_str());
}

}  // namespace kavex
