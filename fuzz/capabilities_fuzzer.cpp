// The phone's capabilities (type 10) through the dispatcher, and the engine's choice of a format
// from them for any demand, as a new stream and the once-a-second check make it.
//
// Input: 16 bytes of demand, then the message after its 4-byte header (the header is written here:
// type 10 with the message's true length). Demand: byte 0 flags (bit 0 a consumer reads the camera,
// bit 1 the host shows it, bits 2-4 all set: the listed formats repeated up to the count in bytes
// 14-15, at most 4,095), byte 1 the host's preset, bytes 2-5 the consumer's width, 6-9 its height
// (signed), 10-13 its rate (f32).
//
// The largest list a message can carry, 333,332 formats, is fed once at start-up (the phone's
// recorded formats repeated, for several demands) with the same checks, and what sorting and
// choosing cost is printed: the dispatcher keeps only the first kMaxListedFormats.
//
// Besides the sanitizers' checks: the sorted list is the listed one (or the 640 x 480 default)
// ordered by pixel count; the choice is a listed format or the default, at the consumer's rate when
// the phone lists that size at that rate.
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "media/format_choice.h"
#include "protocol/message_catalogue.h"
#include "protocol/message_dispatcher.h"
#include "support/silent_connection.h"

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

class NegotiatingHandler final : public SessionHandler, public RelayedMessageSink {
 public:
  explicit NegotiatingHandler(const format_choice::Demand& demand) : demand_(demand) {}
  size_t messageLength = 0;
  bool offered = false;
  size_t listedCount = 0;
  double choiceMs = 0.0;  // sorting and choosing, for the start-up figure only

  void OnCapabilities(PhoneConnection&, bool, const std::vector<VideoFormat>& formats) override {
    offered = true;
    Check(12 + formats.size() * 12 <= messageLength && formats.size() <= kMaxListedFormats);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<VideoFormat> sorted = format_choice::SortedPhoneFormats(formats);
    Check(sorted.size() == (formats.empty() ? 1 : formats.size()));
    for (size_t i = 1; i < sorted.size(); ++i) Check(Pixels(sorted[i - 1]) <= Pixels(sorted[i]));
    if (formats.empty()) Check(Same(sorted[0], VideoFormat{640, 480, 30.0f}));
    const bool portrait = format_choice::ListsPortrait(sorted);
    Check(!format_choice::ChoiceText(portrait).empty());

    const VideoFormat chosen = format_choice::Choose(sorted, demand_);
    listedCount = formats.size();
    choiceMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
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

namespace kavex {
namespace {

// What reached the handler and what sorting and choosing took, for the start-up figure.
struct Offer {
  size_t formats = 0;
  double ms = 0.0;
};

Offer OneInput(const uint8_t* data, size_t size) {
  if (size < kDemandSize) return Offer{};
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
    size_t wanted = static_cast<size_t>(data[14] | data[15] << 8) & 0xfff;
    if (wanted < listed) wanted = listed;
    message.resize(12 + wanted * 12);
    for (size_t i = listed; i < wanted; ++i)
      std::memcpy(message.data() + 12 + i * 12, message.data() + 12 + (i % listed) * 12, 12);
  }
  if (message.size() > 4000000) message.resize(4000000);
  const uint32_t header =
      message_catalogue::Header(message_catalogue::kCapabilities) - 12 + static_cast<uint32_t>(message.size());
  for (int i = 0; i < 4; ++i) message[i] = static_cast<uint8_t>(header >> (8 * i));

  NegotiatingHandler handler(demand);
  handler.messageLength = message.size();
  SilentConnection connection;
  DispatchMessage(handler, connection, message.data(), message.size());
  Check(handler.offered);
  return Offer{handler.listedCount, handler.choiceMs};
}

// Formats of a phone, as phone-sim lists them: 640 x 480, 1280 x 720 at 30 and 60, 1920 x 1080, and
// 720 x 1280.
const float kRates[] = {30.0f, 30.0f, 60.0f, 30.0f, 30.0f};
const uint32_t kSizes[][2] = {{640, 480}, {1280, 720}, {1280, 720}, {1920, 1080}, {720, 1280}};

void HugeList() {
  std::vector<VideoFormat> formats(kMaxFormats);
  for (size_t i = 0; i < formats.size(); ++i)
    formats[i] = VideoFormat{kSizes[i % 5][0], kSizes[i % 5][1], kRates[i % 5]};
  std::vector<uint8_t> message(12 + formats.size() * 12);
  for (size_t i = 0; i < formats.size(); ++i) std::memcpy(&message[12 + i * 12], &formats[i], 12);
  const uint32_t count = static_cast<uint32_t>(formats.size());
  std::memcpy(&message[8], &count, 4);
  const format_choice::Demand demands[] = {
      {true, 640, 480, 30.0f, false, 0},
      {false, 0, 0, 30.0f, true, 0},
      {true, 7, 3, 29.97f, false, 0},  // no aspect matches: every tolerance is tried
      {false, 0, 0, 30.0f, false, 9}};
  for (const format_choice::Demand& demand : demands) {
    std::vector<uint8_t> input(kDemandSize);
    input[0] = static_cast<uint8_t>((demand.consumerActive ? 1 : 0) | (demand.instanceActive ? 2 : 0));
    input[1] = static_cast<uint8_t>(demand.choice);
    std::memcpy(&input[2], &demand.outputWidth, 4);
    std::memcpy(&input[6], &demand.outputHeight, 4);
    std::memcpy(&input[10], &demand.outputFps, 4);
    input.insert(input.end(), message.begin() + 4, message.end());
    const Offer offer = OneInput(input.data(), input.size());
    std::fprintf(stderr, "capabilities_fuzzer: %zu formats listed, %zu kept, sorted and chosen in %.2f ms\n",
                 formats.size(), offer.formats, offer.ms);
  }
}

}  // namespace
}  // namespace kavex

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kavex::HugeList();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kavex::OneInput(data, size);
  return 0;
}
