// Nubra: helpers that create and open storages and streams inside a caller's
// structured storage, write and read two self-describing values (a memory
// block and a variant), and clear and copy the SAVEDATA encoder-settings
// record. libNubra is its own shared library.
//
// The eight storage and stream helpers return a status in the HRESULT manner
// (a 32-bit `long` as on Windows): negative is failure, anything else success.
// The two SAVEDATA helpers return 0 on failure and non-zero on success.
//
// Positioning: a stream delivered by gfnIStreamCreate or gfnIStreamOpen is at
// its start, and every read or write helper leaves the stream right behind
// what it wrote or read, so the helpers mix with direct IStream::Read and
// IStream::Write calls on the same stream. A read that fails leaves the
// stream where it was.
//
// Stored forms (little-endian, see docs/file-format.md):
//   memory block: 4-byte tag "KWMB", 4-byte length n, n bytes;
//   variant:      4-byte tag "KWVT", 2-byte type 30 (8-bit text), 4-byte
//                 length n including the NUL, n bytes ending in NUL.
#pragma once

#include <kwcore/kwExport.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwWinTypes.h>

/// The largest memory block gfnIStreamReadMemoryBlock delivers: the callers'
/// buffers are 32 bytes.
inline constexpr int NUBRA_MEMORY_BLOCK_MAX = 32;
/// The largest variant text gfnIStreamReadVariant delivers, NUL included: the
/// callers' buffers are 260 bytes.
inline constexpr int NUBRA_VARIANT_TEXT_MAX = 260;

/// The encoder-settings record: 444 bytes that callers allocate (zero-filled)
/// and otherwise treat as opaque. A record whose bytes are all zero is empty.
typedef struct tagSAVEDATA {
  BYTE abData[444];
} SAVEDATA;
static_assert(sizeof(SAVEDATA) == 444, "SAVEDATA is a 444-byte record");

extern "C" {

/// Creates the child storage `pwcsName` in `pParent` (replacing an element of
/// that name) and delivers it in `*ppChild`, which the caller releases.
NUBRA_API LONG gfnIStorageCreate(IStorage* pParent, const WCHAR* pwcsName, IStorage** ppChild);

/// Opens the existing child storage `pwcsName`; the caller releases `*ppChild`.
NUBRA_API LONG gfnIStorageOpen(IStorage* pParent, const WCHAR* pwcsName, IStorage** ppChild);

/// Creates the stream `pwcsName` (replacing an element of that name),
/// positioned at its start; the caller releases `*ppStream`.
NUBRA_API LONG gfnIStreamCreate(IStorage* pStorage, const WCHAR* pwcsName, IStream** ppStream);

/// Opens the existing stream `pwcsName`, positioned at its start; the caller
/// releases `*ppStream`.
NUBRA_API LONG gfnIStreamOpen(IStorage* pStorage, const WCHAR* pwcsName, IStream** ppStream);

/// Writes `nSize` bytes from `pBytes` as one memory block. A negative size,
/// or a size above NUBRA_MEMORY_BLOCK_MAX (which no reader could take back),
/// is E_INVALIDARG and writes nothing.
NUBRA_API LONG gfnIStreamWriteMemoryBlock(IStream* pStream, int nSize, const void* pBytes);

/// Reads one memory block into `pBuffer`, which holds NUBRA_MEMORY_BLOCK_MAX
/// bytes. A stored length beyond that, a wrong tag or a short stream fails
/// and leaves the buffer and the stream position untouched.
NUBRA_API LONG gfnIStreamReadMemoryBlock(IStream* pStream, void* pBuffer);

/// Writes NUL-terminated 8-bit text as one variant. Text longer than
/// NUBRA_VARIANT_TEXT_MAX - 1 characters is E_INVALIDARG and writes nothing.
NUBRA_API LONG gfnIStreamWriteVariant(IStream* pStream, const char* pszText);

/// Reads one variant into `pszBuffer`, which holds NUBRA_VARIANT_TEXT_MAX
/// bytes, and NUL-terminates it. A stored length beyond the buffer, a type
/// other than text, a missing NUL or a short stream fails and leaves the
/// buffer and the stream position untouched.
NUBRA_API LONG gfnIStreamReadVariant(IStream* pStream, char* pszBuffer);

/// Releases what a record holds and leaves it empty (all zero), ready to be
/// freed or refilled. Returns non-zero on success, 0 for a null record.
NUBRA_API int gfnClearVIO_SAVEDATA(SAVEDATA* pSaveData);

/// Makes `pTo` a full copy of `pFrom`. Returns non-zero on success, 0 when
/// either pointer is null.
NUBRA_API int gfnCopySAVEDATA(const SAVEDATA* pFrom, SAVEDATA* pTo);

}  // extern "C"
