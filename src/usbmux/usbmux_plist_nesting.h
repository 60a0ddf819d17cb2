#pragma once
#include <cstddef>
#include <cstdint>

namespace kavex::usbmux {

// How deep the service's property lists may nest dictionaries and arrays. Its deepest reply, a
// device list, nests four deep (the reply, the list, an entry, its properties). The property-list
// library frees a tree one call per level, so a reply that nests a hundred thousand deep (a
// megabyte holds that many) would overflow the stack of the thread that reads it.
constexpr size_t kMaxPlistNesting = 100;

// Whether the XML property list in text never holds more than limit dictionaries and arrays open
// inside one another, as the property-list library (2.2) reads it. The scan follows the library's
// own reading of tags (names cut at a NUL, quoted attribute text, self-closing tags, comments,
// CDATA in text, processing instructions and DOCTYPE skipped as it skips them), so nothing the
// library would open escapes the count. Once the text is something the library refuses, the rest
// is not looked at: the library stops there too. Binary property lists never reach the library
// through this client (it reads XML only).
// Thread: any (no state).
bool XmlPlistNestingWithin(const uint8_t* text, size_t length, size_t limit);

}  // namespace kavex::usbmux
