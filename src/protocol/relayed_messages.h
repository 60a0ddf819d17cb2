#pragma once
#include <cstdint>
#include <string>

namespace kavex {

// The phone's messages that the engine passes on to the host unchanged (types 16, 19 to 22, 24 and
// 25): the dispatcher parses them into fields, and whoever owns the host's callbacks forwards them.
// Thread: the receive thread of the connection the message came on.
class RelayedMessageSink {
 public:
  virtual ~RelayedMessageSink() = default;
  virtual void ForwardMessage19(int32_t a, int32_t b, int32_t c, int32_t d) = 0;
  virtual void ForwardMessage20(float a, float b, float c, int32_t d) = 0;
  virtual void ForwardMessage21(float a, float b, float c, float d) = 0;
  virtual void ForwardMessage22(int32_t a, int32_t b, int32_t c, int32_t d) = 0;
  virtual void ForwardMessage25(int32_t mode, float value) = 0;
  virtual void ForwardPhoneControl(uint32_t first, uint32_t second) = 0;
  // The texts joined by "/".
  virtual void ForwardTextList(const std::string& text, int32_t value) = 0;
};

}  // namespace kavex
