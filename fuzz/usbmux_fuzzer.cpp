// The usbmux service's replies and events as the client reads them: a 16-byte header, then a
// property list. Input: the bytes of one or more messages as the service would send them on its
// socket; each header the client accepts is followed by its payload (what is left, when the input
// is shorter than the header says).
//
// Besides the sanitizers' checks: an accepted header has version 1, the property-list type and a
// length within the cap; every device record read has a terminated serial and a known connection
// type; a pair record or a device list is never longer than the payload that carried it; and a
// payload the nesting scan lets through at a small bound nests no deeper once the property-list
// library has read it (the scan must not be fooled into missing an open container).
#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "usbmux/usbmux_plist_nesting.h"
#include "usbmux/usbmux_protocol.h"

namespace kavex {
namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Small enough for mutations to reach and pass.
constexpr size_t kScanBound = 6;

// The node's nesting of dictionaries and arrays, counted no further than past limit.
size_t NestingOf(plist_t node, size_t limit) {
  const plist_type type = plist_get_node_type(node);
  if (type != PLIST_ARRAY && type != PLIST_DICT) return 0;
  if (limit == 0) return 1;
  size_t deepest = 0;
  if (type == PLIST_ARRAY) {
    for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
      const size_t nested = NestingOf(plist_array_get_item(node, i), limit - 1);
      if (nested > deepest) deepest = nested;
    }
  } else {
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    for (;;) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(node, iterator, &key, &value);
      std::free(key);
      if (value == nullptr) break;
      const size_t nested = NestingOf(value, limit - 1);
      if (nested > deepest) deepest = nested;
    }
    std::free(iterator);
  }
  return deepest + 1;
}

void CheckNestingScan(const uint8_t* data, size_t size) {
  if (size == 0 || !usbmux::XmlPlistNestingWithin(data, size, kScanBound)) return;
  plist_t tree = nullptr;
  plist_from_xml(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size), &tree);
  if (tree == nullptr) return;
  Check(NestingOf(tree, kScanBound) <= kScanBound);
  plist_free(tree);
}

void CheckDevice(const usbmuxd_device_info_t& device) {
  Check(std::memchr(device.udid, '\0', sizeof device.udid) != nullptr);
  Check(device.conn_type == CONNECTION_TYPE_USB || device.conn_type == CONNECTION_TYPE_NETWORK);
}

}  // namespace
}  // namespace kavex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavex;
  size_t at = 0;
  while (size - at >= usbmux::Header::kSize) {
    const std::optional<usbmux::Header> header = usbmux::ParseHeader(data + at, size - at);
    if (!header) return 0;  // the client drops a service that sends this
    Check(header->version == usbmux::Header::kVersion && header->message == usbmux::Header::kPlistMessage);
    Check(header->length >= usbmux::Header::kSize && header->length <= usbmux::Header::kMaxLength);
    at += usbmux::Header::kSize;
    size_t payload = header->length - usbmux::Header::kSize;
    if (payload > size - at) payload = size - at;
    // The payload on a heap block of exactly its size, as the client receives it.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[payload == 0 ? 1 : payload]);
    if (payload != 0) std::memcpy(copy.get(), data + at, payload);
    CheckNestingScan(copy.get(), payload);
    const std::optional<usbmux::Reply> reply = usbmux::ParsePayload(copy.get(), payload);
    at += payload;
    if (!reply) continue;
    switch (reply->kind) {
      case usbmux::Reply::Kind::kAttached:
        CheckDevice(reply->device);
        break;
      case usbmux::Reply::Kind::kDeviceList:
        Check(reply->devices.size() <= payload);
        for (const usbmuxd_device_info_t& device : reply->devices) CheckDevice(device);
        break;
      case usbmux::Reply::Kind::kPairRecord:
        Check(reply->data.size() <= payload);
        break;
      case usbmux::Reply::Kind::kBuid:
        Check(reply->buid.size() <= payload);
        break;
      default:
        break;
    }
  }
  return 0;
}
