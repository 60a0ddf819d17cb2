#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/phone_id.h"
#include "common/phone_state.h"
#include "protocol/relayed_messages.h"

namespace kavex {

// How the rest of the engine tells the host what happens for one instance. Nothing else in the
// engine touches the host's function pointers. Every forwarding operation does nothing when the host
// has not registered its callback.
// Thread: any engine thread (worker, receive, decoder); no engine lock may be held while calling.
class HostNotifier : public RelayedMessageSink {
 public:
  virtual void PublishPhoneList(const std::vector<PhoneListEntry>& entries) = 0;
  // Asks the host which of the listed formats ("Automatic/..." separated by "/") it wants.
  // The host's size preset for the offered list; a host that registered no chooser keeps the
  // current choice.
  virtual int ChooseFormat(const std::string& formatList, int currentChoice) = 0;
  // Reports only changes of the picture size.
  virtual void ReportVideoSize(int width, int height) = 0;
  // The key the host keeps for this phone's passcode (the host is shown its name); 0 when it has
  // none.
  virtual uint64_t GetPasscodeKey(const PhoneId& phone, const std::string& name) = 0;
};

}  // namespace kavex
