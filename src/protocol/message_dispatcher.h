#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/phone_id.h"
#include "common/video_format.h"
#include "protocol/phone_connection.h"
#include "protocol/relayed_messages.h"

namespace kavex {

// What a session does with each kind of message a phone sends. The dispatcher parses; the handler
// (the engine instance) acts.
// Thread: the receive thread of the connection the message came on.
class SessionHandler {
 public:
  virtual ~SessionHandler() = default;
  virtual void OnAnnouncement(PhoneConnection& connection, const PhoneId& announced, uint16_t kind,
                              const std::string& name) = 0;  // type 1
  virtual void OnGoodbye(PhoneConnection& connection) = 0;   // type 2
  virtual void OnHello(PhoneConnection& connection) = 0;     // type 3
  virtual void OnStatus(PhoneConnection& connection) = 0;    // type 5
  virtual void OnAudioPacket(PhoneConnection& connection, const uint8_t* packet,
                             size_t length) = 0;  // type 7
  virtual void OnVideoPacket(PhoneConnection& connection, float timestamp, const uint8_t* data,
                             size_t length) = 0;  // type 8
  virtual void OnCapabilities(PhoneConnection& connection, bool hevc,
                              const std::vector<VideoFormat>& formats) = 0;               // type 10
  virtual void OnPasscodeChallenge(PhoneConnection& connection, uint64_t challenge) = 0;  // type 23
  // Types 16, 19 to 22, 24 and 25 are passed on unchanged.
  virtual RelayedMessageSink& relay() = 0;
};

// A phone lists a few dozen formats; a message could carry 333,332. Only the first this many reach
// the handler, so sorting and choosing (under the negotiator's lock, every second) stay cheap
// whatever a phone sends.
constexpr size_t kMaxListedFormats = 1024;

// Hands one whole message (header included, exactly `length` bytes) to its handler. A message
// shorter than its type's layout is dropped: its fields are never read from beyond it. Unknown
// types are ignored.
void DispatchMessage(SessionHandler& handler, PhoneConnection& connection, const uint8_t* message, size_t length);

}  // namespace kavex
