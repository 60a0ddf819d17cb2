#include "usbmux/usbmux_protocol.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "usbmux/usbmux_plist_nesting.h"

namespace kavex::usbmux {

namespace {

// The names this client gives itself in every request; the service logs them.
constexpr char kProgramName[] = "kavex-engine";
constexpr char kClientVersion[] = "kavex-usbmux 1";
constexpr uint64_t kLibraryVersion = 3;  // the request dialect: property lists, Listen events as lists

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistFree>;

void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* data) {
  return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 | static_cast<uint32_t>(data[2]) << 16 |
         static_cast<uint32_t>(data[3]) << 24;
}

Plist NewRequest(const char* messageType) {
  Plist dict(plist_new_dict());
  plist_dict_set_item(dict.get(), "MessageType", plist_new_string(messageType));
  plist_dict_set_item(dict.get(), "ClientVersionString", plist_new_string(kClientVersion));
  plist_dict_set_item(dict.get(), "ProgName", plist_new_string(kProgramName));
  plist_dict_set_item(dict.get(), "kLibUSBMuxVersion", plist_new_uint(kLibraryVersion));
  return dict;
}

std::vector<uint8_t> Frame(uint32_t tag, const Plist& dict) {
  char* xml = nullptr;
  uint32_t xmlLength = 0;
  plist_to_xml(dict.get(), &xml, &xmlLength);
  std::vector<uint8_t> out(Header::kSize + xmlLength);
  PutU32(out, 0, static_cast<uint32_t>(out.size()));
  PutU32(out, 4, Header::kVersion);
  PutU32(out, 8, Header::kPlistMessage);
  PutU32(out, 12, tag);
  if (xml != nullptr) {
    std::memcpy(out.data() + Header::kSize, xml, xmlLength);
    plist_to_xml_free(xml);
  }
  return out;
}

std::optional<uint64_t> UintOf(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  uint64_t value = 0;
  plist_get_uint_val(node, &value);
  return value;
}

std::optional<std::string> StringOf(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  // Not plist_get_string_val: it asserts that the text holds no NUL, which the service's bytes
  // decide, and an assert ends the host's process. The text counts up to its first NUL.
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) return std::nullopt;
  const void* nul = std::memchr(text, '\0', static_cast<size_t>(length));
  return std::string(text, nul != nullptr ? static_cast<const char*>(nul) - text : static_cast<size_t>(length));
}

std::optional<std::vector<uint8_t>> DataOf(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
  char* bytes = nullptr;
  uint64_t size = 0;
  plist_get_data_val(node, &bytes, &size);
  std::vector<uint8_t> value(bytes, bytes + (bytes != nullptr ? size : 0));
  std::free(bytes);
  return value;
}

// Copies text into a fixed field, cut to leave its terminator.
template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  const size_t length = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

}  // namespace

std::optional<Header> ParseHeader(const uint8_t* data, size_t length) {
  if (data == nullptr || length < Header::kSize) return std::nullopt;
  Header header;
  header.length = GetU32(data);
  header.version = GetU32(data + 4);
  header.message = GetU32(data + 8);
  header.tag = GetU32(data + 12);
  if (header.length < Header::kSize || header.length > Header::kMaxLength) return std::nullopt;
  if (header.version != Header::kVersion || header.message != Header::kPlistMessage) return std::nullopt;
  return header;
}

std::vector<uint8_t> ListenRequest(uint32_t tag) { return Frame(tag, NewRequest("Listen")); }

std::vector<uint8_t> ConnectRequest(uint32_t tag, uint32_t deviceId, uint16_t port) {
  Plist dict = NewRequest("Connect");
  plist_dict_set_item(dict.get(), "DeviceID", plist_new_uint(deviceId));
  const uint16_t networkOrder = static_cast<uint16_t>((port >> 8) | (port << 8));
  plist_dict_set_item(dict.get(), "PortNumber", plist_new_uint(networkOrder));
  return Frame(tag, dict);
}

std::vector<uint8_t> ListDevicesRequest(uint32_t tag) { return Frame(tag, NewRequest("ListDevices")); }

std::vector<uint8_t> ReadBuidRequest(uint32_t tag) { return Frame(tag, NewRequest("ReadBUID")); }

std::vector<uint8_t> ReadPairRecordRequest(uint32_t tag, const std::string& recordId) {
  Plist dict = NewRequest("ReadPairRecord");
  plist_dict_set_item(dict.get(), "PairRecordID", plist_new_string(recordId.c_str()));
  return Frame(tag, dict);
}

std::vector<uint8_t> SavePairRecordRequest(uint32_t tag, const std::string& recordId, uint32_t deviceId,
                                           const uint8_t* data, size_t size) {
  Plist dict = NewRequest("SavePairRecord");
  plist_dict_set_item(dict.get(), "PairRecordID", plist_new_string(recordId.c_str()));
  plist_dict_set_item(dict.get(), "PairRecordData", plist_new_data(reinterpret_cast<const char*>(data), size));
  if (deviceId != 0) plist_dict_set_item(dict.get(), "DeviceID", plist_new_uint(deviceId));
  return Frame(tag, dict);
}

std::vector<uint8_t> DeletePairRecordRequest(uint32_t tag, const std::string& recordId) {
  Plist dict = NewRequest("DeletePairRecord");
  plist_dict_set_item(dict.get(), "PairRecordID", plist_new_string(recordId.c_str()));
  return Frame(tag, dict);
}

bool DeviceFromAttached(const void* attachedDict, usbmuxd_device_info_t* device) {
  // libplist's getters take a non-const node and only read it.
  plist_t dict = const_cast<void*>(attachedDict);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  const std::optional<uint64_t> id = UintOf(dict, "DeviceID");
  plist_t properties = plist_dict_get_item(dict, "Properties");
  if (!id || properties == nullptr || plist_get_node_type(properties) != PLIST_DICT) return false;
  *device = usbmuxd_device_info_t{};
  device->handle = static_cast<uint32_t>(*id);
  device->product_id = static_cast<uint32_t>(UintOf(properties, "ProductID").value_or(0));
  CopyText(device->udid, StringOf(properties, "SerialNumber").value_or(""));
  const std::string type = StringOf(properties, "ConnectionType").value_or("");
  if (type == "USB") {
    device->conn_type = CONNECTION_TYPE_USB;
  } else if (type == "Network") {
    device->conn_type = CONNECTION_TYPE_NETWORK;
    // The phone's socket address as the service saw it; cut to the field like everything else.
    const std::vector<uint8_t> address = DataOf(properties, "NetworkAddress").value_or(std::vector<uint8_t>{});
    if (!address.empty())
      std::memcpy(device->conn_data, address.data(), std::min(address.size(), sizeof device->conn_data));
  } else {
    return false;  // neither on a cable nor on the network: nothing a client could connect through
  }
  return true;
}

std::optional<Reply> ParsePayload(const uint8_t* data, size_t length) {
  if (data == nullptr || length == 0 || length > Header::kMaxLength) return std::nullopt;
  // Before the library sees it: it would read and free a deep reply one stack frame per level.
  if (!XmlPlistNestingWithin(data, length, kMaxPlistNesting)) return std::nullopt;
  plist_t parsed = nullptr;
  plist_from_xml(reinterpret_cast<const char*>(data), static_cast<uint32_t>(length), &parsed);
  const Plist dict(parsed);
  if (dict == nullptr || plist_get_node_type(dict.get()) != PLIST_DICT) return std::nullopt;

  Reply reply;
  if (plist_t list = plist_dict_get_item(dict.get(), "DeviceList")) {
    if (plist_get_node_type(list) != PLIST_ARRAY) return std::nullopt;
    reply.kind = Reply::Kind::kDeviceList;
    const uint32_t count = plist_array_get_size(list);
    for (uint32_t i = 0; i < count; ++i) {
      usbmuxd_device_info_t device{};
      plist_t entry = plist_array_get_item(list, i);
      if (entry != nullptr && plist_get_node_type(entry) == PLIST_DICT && DeviceFromAttached(entry, &device))
        reply.devices.push_back(device);
    }
    return reply;
  }
  if (const std::optional<std::string> buid = StringOf(dict.get(), "BUID")) {
    reply.kind = Reply::Kind::kBuid;
    reply.buid = *buid;
    return reply;
  }
  if (std::optional<std::vector<uint8_t>> record = DataOf(dict.get(), "PairRecordData")) {
    reply.kind = Reply::Kind::kPairRecord;
    reply.data = std::move(*record);
    return reply;
  }
  const std::string type = StringOf(dict.get(), "MessageType").value_or("");
  if (type == "Result") {
    const std::optional<uint64_t> number = UintOf(dict.get(), "Number");
    if (!number) return std::nullopt;
    reply.kind = Reply::Kind::kResult;
    reply.number = static_cast<uint32_t>(*number);
    return reply;
  }
  if (type == "Attached") {
    if (!DeviceFromAttached(dict.get(), &reply.device)) return std::nullopt;
    reply.kind = Reply::Kind::kAttached;
    return reply;
  }
  if (type == "Detached" || type == "Paired") {
    const std::optional<uint64_t> id = UintOf(dict.get(), "DeviceID");
    if (!id) return std::nullopt;
    reply.kind = type == "Detached" ? Reply::Kind::kDetached : Reply::Kind::kPaired;
    reply.device.handle = static_cast<uint32_t>(*id);
    return reply;
  }
  return std::nullopt;
}

}  // namespace kavex::usbmux
