#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/phone_id.h"
#include "discovery/phone_list.h"

namespace kavex {

// How the rest of the engine tells the host what happens for one instance. Nothing else in the
// engine touches the host's function pointers. Every forwarding operation does nothing when the host
// has not registered its callback.
// Thread: any engine thread (worker, receive, decoder); no engine lock may be held while calling.
class HostNotifier {
 public:
  virtual ~HostNotifier() = default;
  virtual void PublishPhoneList(const std::vector<PhoneListEntry>& entries) = 0;
  // Asks the host which of the listed formats ("Automatic/..." separated by "/") it wants.
  // The host's size preset for the offered list; a host that registered no chooser keeps the
  // current choice.
  virtual int ChooseFormat(const std::string& formatList, int currentChoice) = 0;
  // Reports only changes of the picture size.
  virtual void ReportVideoSize(int width, int height) = 0;
  virtual void ForwardMessage19(int32_t a, int32_t b, int32_t c, int32_t d) = 0;
  virtual void ForwardMessage20(float a, float b, float c, int32_t d) = 0;
  virtual void ForwardMessage21(float a, float b, float c, float d) = 0;
  virtual void ForwardMessage22(int32_t a, int32_t b, int32_t c, int32_t d) = 0;
  virtual void ForwardMessage25(int32_t mode, float value) = 0;
  virtual void ForwardPhoneControl(uint32_t first, uint32_t second) = 0;
  virtual void ForwardTextList(const std::string& text, int32_t value) = 0;
  // The key the host keeps for this phone's passcode; 0 when it has none.
  virtual uint64_t GetPasscodeKey(const PhoneId& phone) = 0;
};

}  // namespace kavex
