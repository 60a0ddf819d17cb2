#pragma once
#include <atomic>

#include "instance/host_notifier.h"
#include "kavex_engine.h"

namespace kavex {

// The host's per-instance callback pointers, and the HostNotifier that calls them.
// Thread: the host's threads store the pointers, engine threads read them; each pointer is atomic,
// so a callback is either seen whole or not at all. The remembered video size is written only by the
// decoder's thread.
class HostCallbacks final : public HostNotifier {
 public:
  explicit HostCallbacks(int index) : index_(index) {}

  void Register(PhoneControlCallback phoneControl, VideoSizeCallback videoSize, PhoneListCallback phoneList,
                Message19Callback message19, Message20Callback message20, Message21Callback message21,
                Message22Callback message22, Message25Callback message25, TextListCallback textList,
                FormatChoiceCallback formatChoice);
  void RegisterPasscodeKey(PasscodeKeyCallback passcodeKey);
  // Clears all eleven pointers and the remembered video size.
  void Clear();
  // For good, when the camera is torn down: clears everything, refuses later registrations (a host
  // thread may still be inside SetCallback) and stops this camera's phone-state reports.
  void Close();
  // The HostStateCallback for this camera's phone states, unless it was closed.
  void ReportState(int value);

  void PublishPhoneList(const std::vector<PhoneListEntry>& entries) override;
  int ChooseFormat(const std::string& formatList, int currentChoice) override;
  void ReportVideoSize(int width, int height) override;
  void ForwardMessage19(int32_t a, int32_t b, int32_t c, int32_t d) override;
  void ForwardMessage20(float a, float b, float c, int32_t d) override;
  void ForwardMessage21(float a, float b, float c, float d) override;
  void ForwardMessage22(int32_t a, int32_t b, int32_t c, int32_t d) override;
  void ForwardMessage25(int32_t mode, float value) override;
  void ForwardPhoneControl(uint32_t first, uint32_t second) override;
  void ForwardTextList(const std::string& text, int32_t value) override;
  uint64_t GetPasscodeKey(const PhoneId& phone, const std::string& name) override;

 private:
  const int index_;
  std::atomic<PhoneControlCallback> phoneControl_{nullptr};
  std::atomic<VideoSizeCallback> videoSize_{nullptr};
  std::atomic<PhoneListCallback> phoneList_{nullptr};
  std::atomic<Message19Callback> message19_{nullptr};
  std::atomic<Message20Callback> message20_{nullptr};
  std::atomic<Message21Callback> message21_{nullptr};
  std::atomic<Message22Callback> message22_{nullptr};
  std::atomic<Message25Callback> message25_{nullptr};
  std::atomic<TextListCallback> textList_{nullptr};
  std::atomic<FormatChoiceCallback> formatChoice_{nullptr};
  std::atomic<PasscodeKeyCallback> passcodeKey_{nullptr};
  std::atomic<bool> closed_{false};
  std::atomic<int> lastWidth_{0};
  std::atomic<int> lastHeight_{0};
};

// The process-wide HostStateCallback given to EInitialize: open results and phone states.
void SetHostStateCallback(HostStateCallback callback);
// Calls it when one is stored (a host that passed none is not called).
void CallHostState(int index, int value);

}  // namespace kavex
