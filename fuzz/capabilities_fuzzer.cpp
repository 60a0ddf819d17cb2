// The phone's capabilities (type 10) through the dispatcher, and the engine's choice of a format
// from them for any demand, as a new stream and the once-a-second check make it.
//
// Input: 16 bytes of demand, then the message after its 4-byte header (the header is written here:
// type 10 with the message's true length). Demand: byte 0 flags (bit 0 a consumer reads the camera,
// bit 1 the host shows it, bits 2-4 all set: tile the listed formats to a huge list), byte 1 the host's preset,
// bytes 2-5 the consumer's width, 6-9 its height (signed), 10-13 its rate (f32), 14-15 with bit 2:
// the tiled list's length / 6, at most the 333,332 formats a 4,000,000-byte message can hold.
//
// Besides the sanitizers' checks: the sorted list is the listed one (or the 640 x 480 default)
// ordered by pixel count; the choice is a listed format or the default, at the consumer's rate when
// the phone lists that size at that rate.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "media/format_choice.h"
#include "protocol/message_catalogue.h"
#include "protocol/message_dispatcher.h"

namespace kavex {
namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr size_t kDemandSize = 16;
constexpr size_t kMaxFormats = (4000000 - 12) / 12;

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t Pixels(const VideoFormat& f) { return f.width * f.height; }

bool Same(const VideoFormat& a, const VideoFormat& b) {
  return a.width == b.width && a.height == b.height &&
         std::memcmp(&a.framesPerSecond, &b.framesPerSecond, sizeof(float)) == 0;
}

class FakeConnection final : public PhoneConnection {
 public:
  bool Send(const uint8_t*, size_t) override { return true; }
  void Close() override {}
  const PhoneId& phoneId() const override { return id_; }
  bool overUsb() const override { return false; }
  const SocketAddress& peerAddress() const override { return peer_; }

 private:
  PhoneId id_;
  SocketAddress peer_;
};

class NegotiatingHandler final : public SessionHandler, public RelayedMessageSink {
 public:
  explicit NegotiatingHandler(const format_choice::Demand& demand) : demand_(demand) {}
  size_t messageLength = 0;
  bool offered = false;

  void OnCapabilities(PhoneConnection&, bool, const std::vector<VideoFormat>& formats) override {
    offered = true;
    Check(12 + formats.size() * 12 <= messageLength);
    const std::vector<VideoFormat> sorted = format_choice::SortedPhoneFormats(formats);
    Check(sorted.size() == (formats.empty() ? 1 : formats.size()));
    for (size_t i = 1; i < sorted.size(); ++i) Check(Pixels(sorted[i - 1]) <= Pixels(sorted[i]));
    if (formats.empty()) Check(Same(sorted[0], VideoFormat{640, 480, 30.0f}));
    const bool portrait = format_choice::ListsPortrait(sorted);
    Check(!format_choice::ChoiceText(portrait).empty());

    const VideoFormat chosen = format_choice::Choose(sorted, demand_);
    bool listed = false;
    bool rateOffered = false;
    for (const VideoFormat& f : sorted) {
      listed = listed || Same(f, chosen);
      if (f.width == chosen.width && f.height == chosen.height &&
          std::fabs(f.framesPerSecond - demand_.outputFps) < 0.5f)
        rateOffered = true;
    }
    Check(listed || Same(chosen, VideoFormat{640, 480, 30.0f}));
    if (listed && rateOffered) Check(std::fabs(chosen.framesPerSecond - demand_.outputFps) < 0.5f);
    Check(format_choice::SameFormat(chosen, chosen) || std::isnan(chosen.framesPerSecond));
    // The worker's next look with nothing changed asks for the same format.
    Check(Same(format_choice::Choose(sorted, demand_), chosen));
  }

  void OnAnnouncement(PhoneConnection&, const PhoneId&, uint16_t, const std::string&) override {}
  void OnGoodbye(PhoneConnection&) override {}
  void OnHello(PhoneConnection&) override {}
  void OnStatus(PhoneConnection&) override {}
  void OnAudioPacket(PhoneConnection&, const uint8_t*, size_t) override {}
  void OnVideoPacket(PhoneConnection&, float, const uint8_t*, size_t) override {}
  void OnPasscodeChallenge(PhoneConnection&, uint64_t) override {}
  RelayedMessageSink& relay() override { return *this; }
  void ForwardMessage19(int32_t, int32_t, int32_t, int32_t) override {}
  void ForwardMessage20(float, float, float, int32_t) override {}
  void ForwardMessage21(float, float, float, float) override {}
  void ForwardMessage22(int32_t, int32_t, int32_t, int32_t) override {}
  void ForwardMessage25(int32_t, float) override {}
  void ForwardPhoneControl(uint32_t, uint32_t) override {}
  void ForwardTextList(const std::string&, int32_t) override {}

 private:
  const format_choice::Demand demand_;
};

}  // namespace
}  // namespace kavex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavex;
  if (size < kDemandSize) return 0;
  format_choice::Demand demand;
  demand.consumerActive = (data[0] & 1) != 0;
  demand.instanceActive = (data[0] & 2) != 0;
  demand.choice = data[1] % 12;
  demand.outputWidth = U32(data + 2);
  demand.outputHeight = static_cast<int32_t>(U32(data + 6));
  const uint32_t fpsBits = U32(data + 10);
  std::memcpy(&demand.outputFps, &fpsBits, sizeof(float));

  // The message: header, then the input's bytes (the hevc flag at 6, the count at 8, the formats).
  std::vector<uint8_t> message(4);
  message.insert(message.end(), data + kDemandSize, data + size);
  if (message.size() < 12) message.resize(12);
  if ((data[0] & 0x1c) == 0x1c && message.size() >= 24) {
    // A phone listing hundreds of thousands of formats: the listed ones over and over.
    const size_t listed = (message.size() - 12) / 12;
    size_t wanted = static_cast<size_t>(data[14] | data[15] << 8) * 6;
    if (wanted > kMaxFormats) wanted = kMaxFormats;
    if (wanted < listed) wanted = listed;
    message.resize(12 + wanted * 12);
    for (size_t i = listed; i < wanted; ++i)
      std::memcpy(message.data() + 12 + i * 12, message.data() + 12 + (i % listed) * 12, 12);
  }
  if (message.size() > 4000000) message.resize(4000000);
  const uint32_t header = message_catalogue::Header(message_catalogue::kCapabilities) - 12 +
                          static_cast<uint32_t>(message.size());
  for (int i = 0; i < 4; ++i) message[i] = static_cast<uint8_t>(header >> (8 * i));

  NegotiatingHandler handler(demand);
  handler.messageLength = message.size();
  FakeConnection connection;
  DispatchMessage(handler, connection, message.data(), message.size());
  Check(handler.offered);
  return 0;
}
