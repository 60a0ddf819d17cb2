#include "api/passcode_key.h"

namespace kavex {

uint64_t PasscodeKey(const char* passcode) {
  constexpr uint64_t kOffsetBasis = 0xcbf29ce484222325ull;
  constexpr uint64_t kPrime = 0x100000001b3ull;
  uint64_t key = kOffsetBasis;
  if (passcode == nullptr) return key;
  for (const char* p = passcode; *p != '\0'; ++p) {
    // Signed on purpose: the phone hashes the passcode's bytes as signed chars, and the key must match.
    const auto widened =
        static_cast<int64_t>(static_cast<int8_t>(*p));  // NOLINT(bugprone-signed-char-misuse,cert-str34-c)
    key ^= static_cast<uint64_t>(widened);
    key *= kPrime;
  }
  return key;
}

}  // namespace kavex
