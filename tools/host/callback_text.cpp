#include "callback_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "phone_state_name.h"

namespace kavexhost {
namespace {

std::string Camera(int instance) { return "cam" + std::to_string(instance); }

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

std::string Quoted(const char* text) {
  if (text == nullptr) return "(null)";
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);  // UTF-8 names pass through
    }
  }
  out += '"';
  return out;
}

std::string PhoneIdHex(const uint8_t* id) {
  if (id == nullptr) return "(null)";
  std::string out;
  char digits[4];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", id[i]);
    out += digits;
  }
  return out;
}

PhoneId CopyPhoneId(const uint8_t* id) {
  PhoneId copy{};
  if (id != nullptr) std::memcpy(copy.data(), id, copy.size());
  return copy;
}

std::string PhoneKeyText(const PhoneId& id) {
  const uint32_t bits = static_cast<uint32_t>(id[0]) | static_cast<uint32_t>(id[1]) << 8 |
                        static_cast<uint32_t>(id[2]) << 16 | static_cast<uint32_t>(id[3]) << 24;
  int32_t value;
  std::memcpy(&value, &bits, sizeof value);
  return std::to_string(value);
}

std::string FloatText(float value) {
  char text[32];
  for (int digits = 6; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
    if (std::strtof(text, nullptr) == value) break;
  }
  return text;
}

std::string FormatListItem(const std::string& formats, int index) {
  if (index < 0) return std::string();
  size_t start = 0;
  for (int i = 0; i < index; ++i) {
    const size_t slash = formats.find('/', start);
    if (slash == std::string::npos) return std::string();
    start = slash + 1;
  }
  return formats.substr(start, formats.find('/', start) - start);
}

std::string OpenResultText(int instance, int result) {
  return Camera(instance) + " open result " + std::to_string(result) + (result == 0 ? " (ok)" : " (failed)");
}

std::string StateText(int instance, int value) {
  const char* name = testkit::PhoneStateName(value);
  if (name != nullptr) return Camera(instance) + " state " + name;
  return Camera(instance) + " state " + std::to_string(value) + " (unknown)";
}

std::string PhoneControlText(int instance, uint32_t first, uint32_t second) {
  // The phone's meaning of the two words is its own: show them as integers and as raw bits.
  return Camera(instance) + " phone control " + std::to_string(first) + " " + std::to_string(second) + " (" +
         Hex32(first) + " " + Hex32(second) + ")";
}

std::string VideoSizeText(int instance, int width, int height) {
  return Camera(instance) + " video size " + std::to_string(width) + " x " + std::to_string(height);
}

std::string PhoneListText(int instance, int entry, const char* key, const char* displayName, int selected) {
  return Camera(instance) + " phone list " + std::to_string(entry) + ": key " + Quoted(key) + " name " +
         Quoted(displayName) + (selected != 0 ? " selected" : "");
}

std::string Message19Text(int instance, int32_t a, int32_t b, int32_t c, int32_t d) {
  return Camera(instance) + " message 19: " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) +
         " " + std::to_string(d);
}

std::string Message20Text(int instance, float a, float b, float c, int32_t d) {
  return Camera(instance) + " message 20: " + FloatText(a) + " " + FloatText(b) + " " + FloatText(c) + " " +
         std::to_string(d);
}

std::string Message21Text(int instance, float a, float b, float c, float d) {
  return Camera(instance) + " message 21: " + FloatText(a) + " " + FloatText(b) + " " + FloatText(c) + " " +
         FloatText(d);
}

std::string Message22Text(int instance, int32_t a, int32_t b, int32_t c, int32_t d) {
  return Camera(instance) + " message 22: " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) +
         " " + std::to_string(d);
}

std::string Message25Text(int instance, int32_t mode, float value) {
  return Camera(instance) + " message 25: " + std::to_string(mode) + " " + FloatText(value);
}

std::string TextListText(int instance, const char* text, int32_t value) {
  return Camera(instance) + " text list " + Quoted(text) + " value " + std::to_string(value);
}

std::string FormatChoiceText(int instance, const char* formats, int answer) {
  const std::string item = FormatListItem(formats != nullptr ? formats : "", answer);
  return Camera(instance) + " format choice " + Quoted(formats) + " -> " + std::to_string(answer) +
         (item.empty() ? " (not listed)" : " (" + item + ")");
}

std::string PasscodeKeyText(int instance, const uint8_t* id, const char* name, uint64_t key) {
  std::string text = Camera(instance) + " passcode key for " + Quoted(name) + " id " + PhoneIdHex(id) + ": ";
  if (key == 0) return text + "none";
  char hex[24];
  std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(key));
  return text + hex;
}

}  // namespace kavexhost
