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

/// What a lookup found, for callers that must tell why there is no value.
enum kwProfileStatus : int {
  kwPROFILE_FOUND = 0,         ///< the key is there (its value may be empty)
  kwPROFILE_NO_FILE = 1,       ///< no file of that name
  kwPROFILE_UNREADABLE = 2,    ///< not a regular file, or it cannot be opened or read
  kwPROFILE_NO_SECTION = 3,    ///< the file has no such section
  kwPROFILE_NO_KEY = 4,        ///< the section has no such key
  kwPROFILE_OUT_OF_MEMORY = 5  ///< memory ran out; nothing is known about the file
};

/// As kwGetProfileString without a default: copies the value into `buffer`
/// (cut to `size - 1` characters; empty unless found) and stores its length
/// in `*pLength`, and says what was found. When the key is missing and
/// `similarKey` is not null, the first key of the section that names the
/// same thing when braces, dashes and case are ignored is copied there (cut
/// to `similarSize - 1`), or an empty string; so a caller can say "written
/// with braces" at no cost to those that do not ask.
KWPLATFORM_API kwProfileStatus kwLookUpProfileString(const char* pszSection, const char* pszKey,
                                                     char* buffer, std::size_t size,
                                                     std::size_t* pLength, const char* pszFileName,
                                                     char* similarKey,
                                                     std::size_t similarSize) noexcept;

/// How many times a file has been parsed since the process started; for
/// tests and benchmarks that check the cache.
KWPLATFORM_API std::uint64_t kwGetProfileParseCount() noexcept;
