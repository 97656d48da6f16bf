// Little-endian loads and stores: the byte order of everything kwcore writes
// to a file (compound files, the Nubra records, the persistent list, GUIDs),
// whatever the host's own order. Header-only, because libkwplatform, libNubra
// and libkwcore each serialise and none should export these.
#pragma once

#include <cstdint>

#include <kwcore/kwWinTypes.h>

constexpr std::uint16_t kwLoadU16(const BYTE* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
constexpr std::uint32_t kwLoadU32(const BYTE* p) noexcept {
  return static_cast<std::uint32_t>(kwLoadU16(p)) |
         (static_cast<std::uint32_t>(kwLoadU16(p + 2)) << 16);
}
constexpr std::uint64_t kwLoadU64(const BYTE* p) noexcept {
  return static_cast<std::uint64_t>(kwLoadU32(p)) |
         (static_cast<std::uint64_t>(kwLoadU32(p + 4)) << 32);
}

constexpr void kwStoreU16(BYTE* p, std::uint16_t value) noexcept {
  p[0] = static_cast<BYTE>(value);
  p[1] = static_cast<BYTE>(value >> 8);
}
constexpr void kwStoreU32(BYTE* p, std::uint32_t value) noexcept {
  kwStoreU16(p, static_cast<std::uint16_t>(value));
  kwStoreU16(p + 2, static_cast<std::uint16_t>(value >> 16));
}
constexpr void kwStoreU64(BYTE* p, std::uint64_t value) noexcept {
  kwStoreU32(p, static_cast<std::uint32_t>(value));
  kwStoreU32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

/// A GUID's 16 bytes as files hold them: the three integer fields
/// little-endian, then Data4 as it stands.
constexpr void kwStoreGUID(BYTE* p, REFGUID guid) noexcept {
  kwStoreU32(p, guid.Data1);
  kwStoreU16(p + 4, guid.Data2);
  kwStoreU16(p + 6, guid.Data3);
  for (int i = 0; i < 8; ++i) p[8 + i] = guid.Data4[i];
}
constexpr GUID kwLoadGUID(const BYTE* p) noexcept {
  GUID guid{kwLoadU32(p), kwLoadU16(p + 4), kwLoadU16(p + 6), {}};
  for (int i = 0; i < 8; ++i) guid.Data4[i] = p[8 + i];
  return guid;
}
