// POSIX stand-ins for the few Windows platform calls that kwcore's callers
// meet: movable global memory (object names are handed out in it), code-page
// conversion and GUID creation. They keep the Windows names, arguments and
// results, so a host's code that frees or converts ports unchanged.
#pragma once

#include <cstddef>

#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

// ---------------------------------------------------------------------------
// Global memory.
//
// A handle names a block; GlobalLock gives the block's address and GlobalFree
// releases it. kwcore hands out copies of object names as locked pointers
// into movable blocks. To free such a copy:
//
//     HGLOBAL handle = GlobalHandle(name);
//     GlobalUnlock(handle);
//     GlobalFree(handle);
//
// Every function accepts any value: an unknown handle or pointer is refused
// (null, FALSE or the handle itself, as on Windows), never dereferenced.
// All of them may be called from any thread.
typedef void* HGLOBAL;
typedef std::size_t SIZE_T;

inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;
inline constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

/// Allocates `bytes` (at least one byte is reserved). Null when memory is short.
KWPLATFORM_API HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) noexcept;
/// The block's address, counting one more lock; null for an unknown handle.
KWPLATFORM_API LPVOID GlobalLock(HGLOBAL handle) noexcept;
/// Counts one lock less; TRUE while the block stays locked.
KWPLATFORM_API BOOL GlobalUnlock(HGLOBAL handle) noexcept;
/// The handle of the block at `pointer`; null when it is no block's address.
KWPLATFORM_API HGLOBAL GlobalHandle(const void* pointer) noexcept;
/// Releases the block: null on success, the handle itself on failure.
KWPLATFORM_API HGLOBAL GlobalFree(HGLOBAL handle) noexcept;
/// Size the block was allocated with; 0 for an unknown handle.
KWPLATFORM_API SIZE_T GlobalSize(HGLOBAL handle) noexcept;

// ---------------------------------------------------------------------------
// Code pages. The process code page is UTF-8: CP_ACP and CP_UTF8 both mean
// UTF-8, and invalid UTF-8 is refused rather than guessed at.
inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;

/// Converts `count` bytes of `text` (-1: up to and including its NUL) to
/// UTF-16. With `wideCount` 0, returns the size needed in UTF-16 units;
/// otherwise writes at most `wideCount` units and returns how many. Returns 0
/// on invalid UTF-8, an unknown code page, a null text or a short buffer.
KWPLATFORM_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count,
                                       LPWSTR wide, int wideCount) noexcept;

// ---------------------------------------------------------------------------
/// A fresh random (version 4) GUID from the kernel's random source.
/// E_POINTER for a null argument, E_FAIL when no randomness can be had.
KWPLATFORM_API HRESULT CoCreateGuid(GUID* guid) noexcept;
