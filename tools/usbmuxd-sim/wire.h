#pragma once
#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <string>

// The service's framing: a 16-byte little-endian header (total length, version, message type,
// tag) and, for the plist protocol (version 1, type 8), an XML property list.
namespace muxsim {

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kPlistVersion = 1;
constexpr uint32_t kPlistMessage = 8;
// No request the client library makes comes near this (a pair record is a few KiB); anything
// larger is a broken or hostile client.
constexpr uint32_t kMaxMessageSize = 256 * 1024;

enum ResultNumber : uint32_t {
  kResultOk = 0,
  kResultBadCommand = 1,
  kResultBadDevice = 2,
  kResultConnectionRefused = 3,
  kResultBadVersion = 6,
};

struct Header {
  uint32_t length = 0;
  uint32_t version = 0;
  uint32_t message = 0;
  uint32_t tag = 0;
};

Header DecodeHeader(const uint8_t bytes[kHeaderSize]);
std::string EncodeHeader(const Header& header);

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

// The document as a dictionary, or null for anything else (not XML, not a dictionary).
Plist ParseDictionary(const char* data, size_t size);
std::string ToXml(plist_t node);
// A dictionary's string or unsigned integer value; false when absent or of another type.
bool GetString(plist_t dict, const char* key, std::string* value);
bool GetUint(plist_t dict, const char* key, uint64_t* value);
bool GetData(plist_t dict, const char* key, std::string* value);

// How a reply goes out: well formed, or broken in one way on purpose (the control channel's
// "malformed" modes) to see what the client makes of it.
enum class ReplyFault {
  kNone,
  kTruncated,    // the header claims more than is sent, then the connection closes
  kTinyLength,   // a length below the header's own size, then the connection closes
  kBadPlist,     // the right length around a body that is no property list
  kUnknownType,  // a message type no client knows, with a valid body
  kNoNumber,     // a Result without its Number
  kSilent,       // no reply at all: the request is taken and never answered (a hung service)
};
bool ParseReplyFault(const std::string& name, ReplyFault* fault);
const char* ReplyFaultName(ReplyFault fault);
// True when the fault leaves the stream unusable, so the connection is closed after it.
bool FaultEndsConnection(ReplyFault fault);

// The bytes of a reply carrying body under tag, with the fault applied.
std::string EncodeReply(uint32_t tag, plist_t body, ReplyFault fault);
// A message type 8 plist message, always well formed (events).
std::string EncodeMessage(uint32_t tag, plist_t body);
// {"MessageType": "Result", "Number": number}
Plist ResultBody(uint32_t number);

}  // namespace muxsim
