#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usbmux/usbmuxd.h"

namespace kavex::usbmux {

// The service's framing: a 16-byte little-endian header (total length with the header, version,
// message type, tag echoed by the reply) and an XML property list.
struct Header {
  static constexpr size_t kSize = 16;
  static constexpr uint32_t kVersion = 1;
  static constexpr uint32_t kPlistMessage = 8;
  // The service's messages are small (a device list of a few devices, a pair record of a few
  // kilobytes): anything longer is a broken or hostile service, not a message to allocate for.
  static constexpr uint32_t kMaxLength = 1 << 20;

  uint32_t length = 0;
  uint32_t version = 0;
  uint32_t message = 0;
  uint32_t tag = 0;
};

// Reads a header; nothing when the length cannot be a message (below 16 or above the cap), the
// version is not 1 or the type is not a property list.
std::optional<Header> ParseHeader(const uint8_t* data, size_t length);

// The requests, framed and ready to send. Ports go in network byte order inside their integer, as
// the service expects.
std::vector<uint8_t> ListenRequest(uint32_t tag);
std::vector<uint8_t> ConnectRequest(uint32_t tag, uint32_t deviceId, uint16_t port);
std::vector<uint8_t> ListDevicesRequest(uint32_t tag);
std::vector<uint8_t> ReadBuidRequest(uint32_t tag);
std::vector<uint8_t> ReadPairRecordRequest(uint32_t tag, const std::string& recordId);
std::vector<uint8_t> SavePairRecordRequest(uint32_t tag, const std::string& recordId, uint32_t deviceId,
                                           const uint8_t* data, size_t size);
std::vector<uint8_t> DeletePairRecordRequest(uint32_t tag, const std::string& recordId);

// What the service said in one message.
struct Reply {
  enum class Kind { kResult, kAttached, kDetached, kPaired, kDeviceList, kBuid, kPairRecord };
  Kind kind = Kind::kResult;
  uint32_t number = 0;                         // kResult
  usbmuxd_device_info_t device{};              // kAttached (whole), kDetached / kPaired (handle)
  std::vector<usbmuxd_device_info_t> devices;  // kDeviceList
  std::string buid;                            // kBuid
  std::vector<uint8_t> data;                   // kPairRecord
};

// Reads the property list after a header. Nothing when it does not parse, nests deeper than
// kMaxPlistNesting (usbmux_plist_nesting.h) or says nothing this client knows (a result without
// its number, an event without its device id).
std::optional<Reply> ParsePayload(const uint8_t* data, size_t length);

// The device record of an "Attached" entry's device id and properties (used by events and lists).
// Exposed for the tests.
bool DeviceFromAttached(const void* attachedDict, usbmuxd_device_info_t* device);

}  // namespace kavex::usbmux
