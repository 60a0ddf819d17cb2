#include "wire.h"

#include <cstdlib>
#include <cstring>

namespace muxsim {

namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(value >> (8 * i) & 0xff));
}

}  // namespace

Header DecodeHeader(const uint8_t bytes[kHeaderSize]) {
  return Header{Le32(bytes), Le32(bytes + 4), Le32(bytes + 8), Le32(bytes + 12)};
}

std::string EncodeHeader(const Header& header) {
  std::string out;
  PutLe32(&out, header.length);
  PutLe32(&out, header.version);
  PutLe32(&out, header.message);
  PutLe32(&out, header.tag);
  return out;
}

Plist ParseDictionary(const char* data, size_t size) {
  if (size == 0 || size > kMaxMessageSize) return nullptr;
  plist_t node = nullptr;
  // XML is what clients send; a binary document is read too, as the service reads it.
  plist_from_memory(data, static_cast<uint32_t>(size), &node);
  Plist owned(node);
  if (!node || plist_get_node_type(node) != PLIST_DICT) return nullptr;
  return owned;
}

std::string ToXml(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  std::string out(xml ? xml : "", xml ? length : 0);
  plist_to_xml_free(xml);
  return out;
}

bool GetString(plist_t dict, const char* key, std::string* value) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_STRING) return false;
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (!text) return false;
  value->assign(text, length);
  return true;
}

bool GetUint(plist_t dict, const char* key, uint64_t* value) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_UINT) return false;
  plist_get_uint_val(node, value);
  return true;
}

bool GetData(plist_t dict, const char* key, std::string* value) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_DATA) return false;
  char* bytes = nullptr;
  uint64_t length = 0;
  plist_get_data_val(node, &bytes, &length);
  value->assign(bytes ? bytes : "", bytes ? length : 0);
  std::free(bytes);
  return true;
}

namespace {

struct FaultName {
  ReplyFault fault;
  const char* name;
};
constexpr FaultName kFaultNames[] = {
    {ReplyFault::kNone, "off"},
    {ReplyFault::kTruncated, "truncated"},
    {ReplyFault::kTinyLength, "tiny-length"},
    {ReplyFault::kBadPlist, "bad-plist"},
    {ReplyFault::kUnknownType, "unknown-type"},
    {ReplyFault::kNoNumber, "no-number"},
    {ReplyFault::kSilent, "silent"},
};

}  // namespace

bool ParseReplyFault(const std::string& name, ReplyFault* fault) {
  for (const auto& entry : kFaultNames) {
    if (name == entry.name) {
      *fault = entry.fault;
      return true;
    }
  }
  return false;
}

const char* ReplyFaultName(ReplyFault fault) {
  for (const auto& entry : kFaultNames) {
    if (entry.fault == fault) return entry.name;
  }
  return "?";
}

bool FaultEndsConnection(ReplyFault fault) {
  return fault == ReplyFault::kTruncated || fault == ReplyFault::kTinyLength;
}

std::string EncodeMessage(uint32_t tag, plist_t body) {
  const std::string xml = ToXml(body);
  return EncodeHeader({static_cast<uint32_t>(kHeaderSize + xml.size()), kPlistVersion, kPlistMessage, tag}) + xml;
}

std::string EncodeReply(uint32_t tag, plist_t body, ReplyFault fault) {
  switch (fault) {
    case ReplyFault::kNone:
      break;
    case ReplyFault::kSilent:
      return std::string();
    case ReplyFault::kTruncated: {
      const std::string xml = ToXml(body);
      return EncodeHeader({static_cast<uint32_t>(kHeaderSize + xml.size() + 64), kPlistVersion, kPlistMessage, tag}) +
             xml;
    }
    case ReplyFault::kTinyLength:
      return EncodeHeader({8, kPlistVersion, kPlistMessage, tag});
    case ReplyFault::kBadPlist: {
      const std::string junk = "<?xml version=\"1.0\"?><plist><dict><key>MessageType</key><str";
      return EncodeHeader({static_cast<uint32_t>(kHeaderSize + junk.size()), kPlistVersion, kPlistMessage, tag}) + junk;
    }
    case ReplyFault::kUnknownType: {
      const std::string xml = ToXml(body);
      return EncodeHeader({static_cast<uint32_t>(kHeaderSize + xml.size()), kPlistVersion, 0x4d, tag}) + xml;
    }
    case ReplyFault::kNoNumber: {
      Plist copy(plist_copy(body));
      plist_dict_remove_item(copy.get(), "Number");
      return EncodeMessage(tag, copy.get());
    }
  }
  return EncodeMessage(tag, body);
}

Plist ResultBody(uint32_t number) {
  Plist dict(plist_new_dict());
  plist_dict_set_item(dict.get(), "MessageType", plist_new_string("Result"));
  plist_dict_set_item(dict.get(), "Number", plist_new_uint(number));
  return dict;
}

}  // namespace muxsim
