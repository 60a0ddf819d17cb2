#include "usbmux/usbmux_plist_nesting.h"

#include <cstring>
#include <string>

namespace kavex::usbmux {

namespace {

// The property-list library's XML reader, step for step, keeping only the count of open
// dictionaries and arrays. Its quirks are kept on purpose: a scan that skipped more or less than
// the reader does could be shown text whose nesting it undercounts. "Refused" below means the
// reader gives up at that point (and frees what it built, which the bound has already covered).
class Scanner {
 public:
  Scanner(const char* text, size_t length) : at_(text), end_(text + length) {}

  bool Within(size_t limit) {
    size_t depth = 0;
    while (at_ < end_) {
      SkipSpace();
      if (at_ >= end_) break;
      if (*at_ != '<' || ++at_ >= end_) return true;  // refused
      if (*at_ == '?') {
        FindText("?>", true);
        if (!At("?>")) return true;
        at_ += 2;
        continue;
      }
      if (*at_ == '!') {
        if (!SkipSpecial()) return true;
        continue;
      }
      const char* const name = at_;
      FindAny(" \r\n\t<>", false);
      if (at_ >= end_) return true;
      const size_t nameLength = static_cast<size_t>(at_ - name);
      if (*at_ != '>') FindAny("<>", true);
      if (at_ >= end_ || *at_ != '>') return true;
      // The reader copies the name as a C string: it ends at a NUL, or at the '/' of "<x/>".
      size_t cut = nameLength;
      const bool empty = at_[-1] == '/';
      if (empty && static_cast<size_t>(at_ - name - 1) < cut) cut = static_cast<size_t>(at_ - name - 1);
      const void* nul = std::memchr(name, '\0', cut);
      if (nul != nullptr) cut = static_cast<size_t>(static_cast<const char*>(nul) - name);
      const std::string tag(name, cut);
      ++at_;
      if (tag == "dict" || tag == "array") {
        if (!empty && ++depth > limit) return false;
      } else if (tag == "/dict" || tag == "/array") {
        // The reader pops only a matching container and refuses anything else.
        if (depth == 0) return true;
        --depth;
      } else if (tag == "key" || tag == "string" || tag == "data" || tag == "date" || tag == "integer" ||
                 tag == "real" || tag == "true" || tag == "false") {
        if (!empty && !SkipText(name, nameLength, cut)) return true;
      }
      // Anything else opens nothing: <plist> and </plist>, or a tag the reader refuses.
    }
    return true;
  }

 private:
  void SkipSpace() {
    while (at_ < end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\r' || *at_ == '\n')) ++at_;
  }

  bool At(const char* literal) const {
    const size_t length = std::strlen(literal);
    return static_cast<size_t>(end_ - at_) >= length && std::memcmp(at_, literal, length) == 0;
  }

  // Past a quoted run, onto its closing quote (or to the end).
  void SkipQuoted() {
    ++at_;
    while (at_ < end_ && *at_ != '"') ++at_;
  }

  // Onto the first of chars (or the end); with quotes, quoted runs are passed over whole.
  void FindAny(const char* chars, bool quotes) {
    while (at_ < end_) {
      if (quotes && *at_ == '"') {
        SkipQuoted();
        if (at_ >= end_) return;
      }
      if (std::strchr(chars, *at_) != nullptr && *at_ != '\0') return;
      ++at_;
    }
  }

  // Onto literal; the reader looks no further than where a whole literal still fits, so a caller
  // checks At() afterwards.
  void FindText(const char* literal, bool quotes) {
    const size_t length = std::strlen(literal);
    while (static_cast<size_t>(end_ - at_) > length) {
      if (std::memcmp(at_, literal, length) == 0) return;
      if (quotes && *at_ == '"') {
        SkipQuoted();
        if (at_ >= end_) return;
      }
      ++at_;
    }
  }

  // "<!" at the top level: a comment or a DOCTYPE (with or without an internal subset).
  bool SkipSpecial() {
    if (end_ - at_ > 3 && At("!--")) {
      at_ += 3;
      FindText("-->", false);
      if (!At("-->")) return false;
      at_ += 3;
      return true;
    }
    if (end_ - at_ > 8 && At("!DOCTYPE")) {
      at_ += 8;
      while (at_ < end_) {
        FindAny(" \t\r\n[>", true);
        if (at_ >= end_) return false;
        if (*at_ == '[') {
          FindText("]>", true);
          if (!At("]>")) return false;
          at_ += 2;
          return true;
        }
        if (*at_ == '>') {
          ++at_;
          return true;
        }
        SkipSpace();
      }
      return true;
    }
    return false;
  }

  // The text of a leaf up to its closing tag, with comments and CDATA sections in it; the reader
  // refuses any other tag there. The closing tag is compared as the reader compares it: against
  // the name's C string padded with NULs to the name's full length.
  bool SkipText(const char* name, size_t nameLength, size_t cut) {
    for (;;) {
      while (at_ < end_ && *at_ != '<') ++at_;
      if (at_ >= end_ || ++at_ >= end_) return false;
      if (*at_ == '/') break;
      if (*at_ != '!' || ++at_ >= end_ - 1) return false;
      if (at_[0] == '-' && at_[1] == '-') {
        at_ += 2;
        FindText("-->", false);
        if (!At("-->")) return false;
        at_ += 3;
      } else if (at_[0] == '[') {
        if (++at_ >= end_ - 8 || !At("CDATA[")) return false;
        at_ += 6;
        FindText("]]>", false);
        if (!At("]]>")) return false;
        at_ += 3;
      } else {
        return false;
      }
    }
    ++at_;
    if (static_cast<size_t>(end_ - at_) <= nameLength) return false;
    for (size_t i = 0; i < nameLength; ++i) {
      const char expected = i < cut ? name[i] : '\0';
      if (at_[i] != expected) return false;
      if (expected == '\0') break;
    }
    at_ += nameLength;
    SkipSpace();
    if (at_ >= end_ || *at_ != '>') return false;
    ++at_;
    return true;
  }

  const char* at_;
  const char* const end_;
};

}  // namespace

bool XmlPlistNestingWithin(const uint8_t* text, size_t length, size_t limit) {
  if (text == nullptr) return true;
  return Scanner(reinterpret_cast<const char*>(text), length).Within(limit);
}

}  // namespace kavex::usbmux
