#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/phone_id.h"
#include "common/phone_state.h"
#include "common/video_format.h"

namespace kavex {

class PhoneConnection;
class PhoneSession;
class RelayedMessageSink;

// What a phone session hands to the camera it serves: the state changes its host must hear of, its
// end, the stream the phone offers and the stream's packets.
// Thread: the session's receive thread (the worker's, for a connection refused at once).
class SessionListener {
 public:
  virtual ~SessionListener() = default;
  // The session's report changed the phone's state.
  virtual void OnPhoneStateChanged(PhoneState state) = 0;
  // The connection is over: the camera forgets it and looks for a phone again.
  virtual void OnSessionEnded() = 0;
  // The phone lists its formats (a new stream starts), after the session has answered it.
  virtual void OnStreamOffered(PhoneSession& session, PhoneConnection& connection, bool hevc,
                               const std::vector<VideoFormat>& formats) = 0;
  virtual void OnVideoPacket(float timestamp, const uint8_t* data, size_t length) = 0;
  virtual void OnAudioPacket(const uint8_t* packet, size_t length) = 0;
  // The key the host keeps for this phone's passcode; 0 when it has none.
  virtual uint64_t PasscodeKey(const PhoneId& phone) = 0;
  // Where the phone's messages for the host go.
  virtual RelayedMessageSink& relay() = 0;
};

}  // namespace kavex
