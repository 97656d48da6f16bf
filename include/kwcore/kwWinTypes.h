// The Windows platform types that cross kwcore's public API, with their
// Windows names and byte layouts, so that a host's code written against them
// compiles unchanged on Linux. Sizes follow the Windows LLP64 model: DWORD,
// ULONG and LONG are 32 bits even where the C `long` is 64.
#pragma once

#include <cstddef>
#include <cstdint>

#include <kwcore/kwExport.h>

typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef std::uint32_t ULONG;
typedef std::int32_t LONG;
typedef std::uint32_t UINT;
typedef std::int32_t INT;
typedef std::int32_t BOOL;
typedef std::uint64_t ULONGLONG;
typedef std::int64_t LONGLONG;
typedef char CHAR;
typedef char16_t WCHAR;
typedef void* LPVOID;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// ---------------------------------------------------------------------------
// GUID: 16 bytes, three little-endian integer fields then eight bytes in
// storage order. Text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID;

typedef GUID CLSID;
typedef GUID IID;
typedef const GUID& REFGUID;
typedef const CLSID& REFCLSID;
typedef const IID& REFIID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) noexcept {
  // Field-wise rather than memcmp: the struct has no padding, and this keeps
  // the comparison constexpr-friendly and free of aliasing questions.
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) noexcept { return IsEqualGUID(a, b); }
inline bool IsEqualIID(REFIID a, REFIID b) noexcept { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) noexcept { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) noexcept { return !IsEqualGUID(a, b); }

/// The all-zero GUID.
inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

/// Characters of the registry form, braces included, without the NUL.
inline constexpr std::size_t kwGUID_STRING_LENGTH = 38;

/// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case) and a NUL.
/// Fails, writing nothing, when `buffer` is null or `size` is below 39.
KWPLATFORM_API bool kwGUIDToString(REFGUID guid, char* buffer, std::size_t size) noexcept;

/// Parses the registry form (braces required, hexadecimal digits of either
/// case, nothing before or after). Fails on anything else, leaving `*guid`
/// untouched; a null argument fails too.
KWPLATFORM_API bool kwGUIDFromString(const char* text, GUID* guid) noexcept;

/// The 16-byte little-endian storage form, independent of the host's byte
/// order: the form compound files and kwcore's own stored records use.
KWPLATFORM_API void kwGUIDToBytes(REFGUID guid, BYTE bytes[16]) noexcept;
KWPLATFORM_API GUID kwGUIDFromBytes(const BYTE bytes[16]) noexcept;

// ---------------------------------------------------------------------------
// HRESULT: negative is failure.
typedef LONG HRESULT;
typedef LONG SCODE;

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

// ---------------------------------------------------------------------------
typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER, *PBITMAPINFOHEADER, *LPBITMAPINFOHEADER;

/// A frame time base. The host application defines the values; kwcore only
/// stores and passes them on, so any 32-bit value is valid.
enum TimeBase : std::int32_t {
  TIMEBASE_NONE = -1,  ///< no time base chosen
};

static_assert(sizeof(BYTE) == 1 && sizeof(WORD) == 2 && sizeof(DWORD) == 4);
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(HRESULT) == 4);
static_assert(sizeof(GUID) == 16 && offsetof(GUID, Data4) == 8);
static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(sizeof(TimeBase) == 4);
