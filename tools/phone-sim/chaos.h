#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace phonesim {

// A hostile phone's messages: well framed (the header's length is the message's length), of
// every type the engine knows and now and then of a type it does not, with lengths around each
// type's fixed layout (one below, exactly, one above, anywhere up to a few times it, now and then
// up to 64 KiB) and contents that mix random words with the small and extreme values that steer
// an engine's branches (counts, codecs, flags, NaN).
// The same seed gives the same messages, whatever the timing around them.
// Thread: whoever owns it (a session's streamer).
class ChaosSource {
 public:
  explicit ChaosSource(uint64_t seed) : random_(seed) {}

  std::vector<uint8_t> Next();
  uint64_t Produced() const { return produced_; }

  // The fixed length of each type the engine knows (header included); 0 for the others.
  static uint32_t LayoutLength(uint8_t type);

 private:
  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(random_() % bound); }
  uint32_t Word();

  std::mt19937_64 random_;
  uint64_t produced_ = 0;
};

// "SEED" or "SEED:RATE" (RATE messages a second, default kDefaultRate).
struct ChaosSettings {
  static constexpr double kDefaultRate = 20;
  bool on = false;
  uint64_t seed = 0;
  double rate = kDefaultRate;
};
bool ParseChaos(const std::string& text, ChaosSettings* out);

}  // namespace phonesim
