// UTF-8 to UTF-16, one scalar value at a time. Private to libkwplatform.
#pragma once

#include <cstddef>

/// Decodes the scalar value at the start of `text`, of which `length` bytes
/// (at least one) may be read. Returns the bytes it takes, or 0 for an
/// ill-formed sequence: overlong forms, surrogates, values beyond U+10FFFF
/// and truncated sequences included.
inline int kwDecodeUtf8(const unsigned char* text, std::size_t length, char32_t* value) noexcept {
  unsigned char lead = text[0];
  if (lead < 0x80) {
    *value = lead;
    return 1;
  }
  int extra;
  char32_t v;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, v = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, v = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, v = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(extra) >= length) return 0;  // truncated
  for (int k = 1; k <= extra; ++k) {
    unsigned char c = text[k];
    if ((c & 0xC0) != 0x80) return 0;
    v = (v << 6) | (c & 0x3F);
  }
  if (v < minimum || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *value = v;
  return extra + 1;
}

/// Writes the scalar value `value` as UTF-16 and returns the units used, 1
/// or 2 (a surrogate pair).
inline int kwEncodeUtf16(char32_t value, char16_t units[2]) noexcept {
  if (value < 0x10000) {
    units[0] = static_cast<char16_t>(value);
    return 1;
  }
  units[0] = static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10));
  units[1] = static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF));
  return 2;
}
