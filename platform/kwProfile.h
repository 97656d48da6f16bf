// Reading one key of a profile (INI) file, the format of component
// registration files. Internal to kwcore.
//
// The rules, which registration files written for the host platform rely on:
// - section and key names compare without regard to ASCII case;
// - white space around names and values is dropped;
// - one pair of matching quotes ("..." or '...') around a value is removed;
// - the first matching section is the only one consulted, and in it the
//   first matching key wins;
// - lines that start with ";" are comments; lines that cannot be read (no
//   "=", an empty key, an unclosed "[", a NUL byte, pairs before any
//   section) are skipped;
// - lines end in LF or CRLF; a UTF-8 byte-order mark at the start is
//   ignored; lines may be of any length;
// - a missing or unreadable file reads as empty.
//
// Parsed files are kept in a small cache keyed by path and checked against
// the file's identity (device, inode, size, modification time in
// nanoseconds) on every call, so that many lookups in one file parse it once
// and an edited or replaced file is parsed again.
#pragma once

#include <cstddef>
#include <cstdint>

#include <kwcore/kwExport.h>

/// Copies the value of `pszKey` in section `pszSection` of the file
/// `pszFileName` into `buffer`, cut to `size - 1` characters and
/// NUL-terminated, and returns the number of characters copied. When the
/// file, the section or the key is missing, copies `pszDefault` instead (an
/// empty string when it is null). Returns 0 when `buffer` is null or `size`
/// is 0. Thread-safe.
KWPLATFORM_API std::size_t kwGetProfileString(const char* pszSection, const char* pszKey,
                                              const char* pszDefault, char* buffer,
                                              std::size_t size, const char* pszFileName) noexcept;

/// How many times a file has been parsed since the process started; for
/// tests and benchmarks that check the cache.
KWPLATFORM_API std::uint64_t kwGetProfileParseCount() noexcept;
