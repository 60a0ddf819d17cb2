#pragma once
// What the host prints for each engine callback: one line per call, without the timestamp. Pure
// functions, so every format can be checked without loading the engine.
#include <array>
#include <cstdint>
#include <string>

namespace kavexhost {

using PhoneId = std::array<uint8_t, 16>;

// The text in double quotes; quotes, backslashes and control bytes are escaped (\" \\ \xNN) so
// that one callback stays one line. A null pointer prints as (null).
std::string Quoted(const char* text);

std::string PhoneIdHex(const uint8_t* id);
PhoneId CopyPhoneId(const uint8_t* id);

// The key under which the engine lists a phone (and which ESelectPhone takes): the first four
// bytes of its identifier as a little-endian signed integer, in decimal.
std::string PhoneKeyText(const PhoneId& id);

// Shortest text that reads back as the same float (up to 9 significant digits).
std::string FloatText(float value);

// The n-th "/"-separated item of a format list, or "" when the list has no such item.
std::string FormatListItem(const std::string& formats, int index);

std::string OpenResultText(int instance, int result);
std::string StateText(int instance, int value);
std::string PhoneControlText(int instance, uint32_t first, uint32_t second);
std::string VideoSizeText(int instance, int width, int height);
std::string PhoneListText(int instance, int entry, const char* key, const char* displayName, int selected);
std::string Message19Text(int instance, int32_t a, int32_t b, int32_t c, int32_t d);
std::string Message20Text(int instance, float a, float b, float c, int32_t d);
std::string Message21Text(int instance, float a, float b, float c, float d);
std::string Message22Text(int instance, int32_t a, int32_t b, int32_t c, int32_t d);
std::string Message25Text(int instance, int32_t mode, float value);
std::string TextListText(int instance, const char* text, int32_t value);
std::string FormatChoiceText(int instance, const char* formats, int answer);
// key 0 means the host holds none for the phone.
std::string PasscodeKeyText(int instance, const uint8_t* id, const char* name, uint64_t key);

}  // namespace kavexhost
