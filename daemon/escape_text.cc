// Escaping of client-chosen text for admin answers and log lines, and the
// reverse for names an administrator types.
#include "daemon/escape_text.h"

#include <cstdint>

namespace skgxn {

namespace {

uint8_t byteAt(std::string_view s, size_t i) { return static_cast<uint8_t>(s[i]); }

// Length of the valid UTF-8 sequence starting at i, 0 when there is none
// (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short).
size_t sequenceAt(std::string_view s, size_t i) {
  const uint8_t lead = byteAt(s, i);
  if (lead < 0x80) return 1;
  size_t len = 0;
  uint8_t low = 0x80, high = 0xbf;  // range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    len = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    len = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    len = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (i + len > s.size() || byteAt(s, i + 1) < low || byteAt(s, i + 1) > high) return 0;
  for (size_t k = 2; k < len; ++k) {
    if ((byteAt(s, i + k) & 0xc0) != 0x80) return 0;
  }
  return len;
}

bool isControl(std::string_view s, size_t i, size_t len) {
  const uint8_t b = byteAt(s, i);
  return b < 0x20 || b == 0x7f || (len == 2 && b == 0xc2 && byteAt(s, i + 1) < 0xa0);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string escapeText(std::string_view raw) {
  static const char kDigits[] = "0123456789abcdef";
  std::string shown;
  for (size_t i = 0; i < raw.size();) {
    const size_t len = sequenceAt(raw, i);
    if (len == 0 || isControl(raw, i, len)) {
      // A byte outside valid UTF-8 goes alone; a C1 control goes as its two bytes.
      for (const size_t end = i + (len == 0 ? 1 : len); i < end; ++i) {
        shown += "\\x";
        shown += kDigits[byteAt(raw, i) >> 4];
        shown += kDigits[byteAt(raw, i) & 0xf];
      }
      continue;
    }
    if (raw[i] == '\\') shown += '\\';
    shown.append(raw.substr(i, len));
    i += len;
  }
  return shown;
}

std::string unescapeText(std::string_view shown) {
  std::string raw;
  for (size_t i = 0; i < shown.size(); ++i) {
    const std::string_view rest = shown.substr(i);
    if (rest.starts_with("\\\\")) {
      raw += '\\';
      i += 1;
    } else if (rest.size() >= 4 && rest.starts_with("\\x") && hexValue(rest[2]) >= 0 &&
               hexValue(rest[3]) >= 0) {
      raw += static_cast<char>(hexValue(rest[2]) * 16 + hexValue(rest[3]));
      i += 3;
    } else {
      raw += shown[i];
    }
  }
  return raw;
}

}  // namespace skgxn
