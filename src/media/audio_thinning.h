#pragma once
#include <cstddef>
#include <cstdint>

namespace kavex {

// Keeping the microphone's backlog short: when the fill level the driver reported after each of the
// last writes stays high, single samples spread evenly through each packet are dropped, which
// shortens the sound without an audible gap.
namespace audio_thinning {

constexpr int kHistoryLength = 100;

// Every interval-th sample of a packet (never the first) is dropped; 0 drops nothing. The interval
// follows from how far the lowest recent level stays above the levels' spread.
uint32_t DropInterval(const uint32_t (&history)[kHistoryLength]);

// True when sample j of a packet is kept under this interval.
inline bool Keeps(size_t j, uint32_t interval) { return interval == 0 || j == 0 || j % interval != 0; }

}  // namespace audio_thinning
}  // namespace kavex
