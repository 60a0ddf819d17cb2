#pragma once
#include <cstddef>
#include <cstdint>

#include "protocol/wire_header.h"

namespace kavex {

// Every message type of the phone protocol, with its name and the length of its fixed layout
// (header included): the dispatcher drops a received message shorter than its layout, and the
// builders write exactly that length (the variable-length messages, announcements, formats and
// text lists, add their entries after it).
namespace message_catalogue {

enum Type : uint8_t {
  kAnnouncement = 1,         // phone: identifier, kind and name (also multicast)
  kGoodbye = 2,              // phone: the session ends
  kHello = 3,                // phone: opens the session
  kHelloAnswer = 4,          // engine
  kStatus = 5,               // phone: the stream runs
  kAudio = 7,                // phone: one Opus packet
  kVideo = 8,                // phone: timestamp and one H.264/HEVC packet
  kDecodeAck = 9,            // engine: packet taken, decode and delivery times
  kCapabilities = 10,        // phone: codecs and formats
  kFormatRequest = 11,       // engine: codec and format to stream
  kErrorReport = 12,         // engine: the stored diagnostic
  kControl = 16,             // both: a button or control change
  kCapabilitiesAnswer = 17,  // engine
  kFocus = 18,               // engine: focus point
  kPhoneReport19 = 19,       // phone, passed on to the host
  kPhoneReport20 = 20,
  kPhoneReport21 = 21,
  kPhoneReport22 = 22,
  kPasscode = 23,       // phone: challenge; engine: answer
  kTextList = 24,       // phone: texts passed on to the host
  kFocusDistance = 25,  // both: mode and distance
};

struct Layout {
  uint8_t type;
  const char* name;
  uint32_t length;  // the fixed part, header included
};

inline constexpr Layout kLayouts[] = {
    {kAnnouncement, "announcement", 280},
    {kGoodbye, "goodbye", 4},
    {kHello, "hello", 4},
    {kHelloAnswer, "hello answer", 4},
    {kStatus, "status", 4},
    {kAudio, "audio", 8},
    {kVideo, "video", 8},
    {kDecodeAck, "decode acknowledgement", 16},
    {kCapabilities, "capabilities", 12},
    {kFormatRequest, "format request", 24},
    {kErrorReport, "error report", 268},
    {kControl, "control", 12},
    {kCapabilitiesAnswer, "capabilities answer", 12},
    {kFocus, "focus", 16},
    {kPhoneReport19, "phone report 19", 20},
    {kPhoneReport20, "phone report 20", 20},
    {kPhoneReport21, "phone report 21", 20},
    {kPhoneReport22, "phone report 22", 20},
    {kPasscode, "passcode", 16},
    {kTextList, "text list", 12},
    {kFocusDistance, "focus distance", 12},
};

// The layout of a known type; null for types the protocol does not use.
constexpr const Layout* Find(uint8_t type) {
  for (const Layout& layout : kLayouts)
    if (layout.type == type) return &layout;
  return nullptr;
}

// The fixed length of a known type (0 for an unknown one). Its own loop rather than Find: a compiler
// checking pointers at run time (the sanitizer builds) refuses a pointer test in a constant.
constexpr uint32_t LengthOf(Type type) {
  for (const Layout& layout : kLayouts)
    if (layout.type == type) return layout.length;
  return 0;
}

// The header of a message of this type with its fixed length plus `extra` bytes.
constexpr uint32_t Header(Type type, uint32_t extra = 0) { return WireHeader::Encode(type, LengthOf(type) + extra); }

}  // namespace message_catalogue
}  // namespace kavex
