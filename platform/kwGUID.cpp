// GUID text and byte forms.
#include <kwcore/kwWinTypes.h>

#include "platform/kwLittleEndian.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads `digits` hexadecimal characters; false on any other character.
bool ReadHex(const char*& p, int digits, std::uint32_t* value) noexcept {
  std::uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(p[i]);
    if (h < 0) return false;  // also stops at the NUL of a short string
    v = (v << 4) | static_cast<std::uint32_t>(h);
  }
  p += digits;
  *value = v;
  return true;
}

void WriteHex(char*& p, std::uint32_t value, int digits) noexcept {
  for (int i = digits - 1; i >= 0; --i) *p++ = kHexDigits[(value >> (4 * i)) & 0xF];
}

}  // namespace

bool kwGUIDToString(REFGUID guid, char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr || size < kwGUID_STRING_LENGTH + 1) return false;
  char* p = buffer;
  *p++ = '{';
  WriteHex(p, guid.Data1, 8);
  *p++ = '-';
  WriteHex(p, guid.Data2, 4);
  *p++ = '-';
  WriteHex(p, guid.Data3, 4);
  *p++ = '-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) *p++ = '-';
    WriteHex(p, guid.Data4[i], 2);
  }
  *p++ = '}';
  *p = '\0';
  return true;
}

bool kwGUIDFromString(const char* text, GUID* guid) noexcept {
  if (text == nullptr || guid == nullptr) return false;
  const char* p = text;
  GUID parsed{};
  std::uint32_t v = 0;
  if (*p++ != '{') return false;
  if (!ReadHex(p, 8, &v)) return false;
  parsed.Data1 = v;
  if (*p++ != '-' || !ReadHex(p, 4, &v)) return false;
  parsed.Data2 = static_cast<WORD>(v);
  if (*p++ != '-' || !ReadHex(p, 4, &v)) return false;
  parsed.Data3 = static_cast<WORD>(v);
  if (*p++ != '-') return false;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && *p++ != '-') return false;
    if (!ReadHex(p, 2, &v)) return false;
    parsed.Data4[i] = static_cast<BYTE>(v);
  }
  if (*p++ != '}' || *p != '\0') return false;
  *guid = parsed;
  return true;
}

void kwGUIDToBytes(REFGUID guid, BYTE bytes[16]) noexcept { kwStoreGUID(bytes, guid); }

GUID kwGUIDFromBytes(const BYTE bytes[16]) noexcept { return kwLoadGUID(bytes); }
