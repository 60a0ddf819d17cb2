#pragma once
#include <cstdint>

namespace kavex {

// The key the host stores for a phone's passcode: 64-bit FNV-1a over the passcode's bytes, each byte
// taken as a signed char and sign-extended before the XOR. Phones compute the same key, so the sign
// extension (which differs from textbook FNV-1a for bytes of 0x80 and above) is part of the contract.
uint64_t PasscodeKey(const char* passcode);

}  // namespace kavex
