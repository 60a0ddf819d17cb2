#pragma once
#include <cstddef>

#include "common/phone_id.h"

namespace kavex {

// Phones advertise DNS-SD instances whose names begin with their identifier in hexadecimal: 32
// digits, two per byte. Pairs are read leniently, the way the phones' first releases expect: each
// pair is a hexadecimal number that ends at its first character that is not a hexadecimal digit
// ("5z" gives 5, "zz" gives 0), and the low byte of the value is used.
// Thread: any.

// The characters an instance name needs before it can carry an identifier.
constexpr size_t kInstanceIdLength = 32;

// Length of a NUL-terminated name, counted up to limit at most (null counts as empty).
size_t InstanceNameLength(const char* name, size_t limit);
size_t InstanceNameLength(const char16_t* name, size_t limit);

// The identifier spelled by the first 32 characters. The caller has checked that there are 32
// (InstanceNameLength); wide names use the low byte of each character.
PhoneId PhoneIdFromInstanceName(const char* name);
PhoneId PhoneIdFromInstanceName(const char16_t* name);

}  // namespace kavex
