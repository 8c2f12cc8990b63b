#include "commands/json_report.h"

#include <cstdio>
#include <iostream>

namespace skarvel {

namespace {

constexpr uint32_t kEscapeBase = 0x10FF00;  // + byte value: a byte that is not UTF-8

// The length of the valid UTF-8 sequence at the start of |s| (shortest
// form, no surrogates, at most U+10FFFF), or 0 when there is none.
size_t validSequence(const unsigned char* s, size_t available) {
  unsigned char lead = s[0];
  if (lead < 0x80) return 1;
  size_t length;
  uint32_t min;
  uint32_t code;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, min = 0x80, code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, min = 0x800, code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (available < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (s[i] & 0x3F);
  }
  bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return code < min || surrogate || code > 0x10FFFF ? 0 : length;
}

void appendCodePoint(std::string& out, uint32_t code) {
  // Only the escape characters come here: four bytes, U+10FF80 and up.
  out += static_cast<char>(0xF0 | (code >> 18));
  out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  out += static_cast<char>(0x80 | (code & 0x3F));
}

}  // namespace

Json jsonName(const std::string& bytes) {
  std::string text;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t i = 0; i < bytes.size();) {
    size_t n = validSequence(s + i, bytes.size() - i);
    if (n == 0) {
      appendCodePoint(text, kEscapeBase + s[i]);
      ++i;
    } else {
      text.append(bytes, i, n);
      i += n;
    }
  }
  return text;
}

Json jsonCid(uint32_t cid) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", cid);
  return text;
}

void printJson(const Json& report) { std::cout << report.dump(2) << '\n' << std::flush; }

}  // namespace skarvel
