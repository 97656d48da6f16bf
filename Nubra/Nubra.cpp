// The Nubra helpers: element creation and opening with the modes the
// persistent classes need, the stored forms of the memory block and the
// variant, and the SAVEDATA record.
#include <kwcore/Nubra.h>

#include <cstring>

#include "platform/kwLittleEndian.h"

namespace {

// Stored forms, little-endian:
//   memory block  "KWMB" | length n (u32)               | n bytes
//   variant       "KWVT" | type (u16) | length n (u32)  | n bytes, the last NUL
constexpr BYTE kBlockTag[4] = {'K', 'W', 'M', 'B'};
constexpr BYTE kVariantTag[4] = {'K', 'W', 'V', 'T'};
constexpr std::uint16_t kVariantText = 30;  // 8-bit text, as VT_LPSTR
constexpr ULONG kBlockHeader = 8;
constexpr ULONG kVariantHeader = 10;

constexpr DWORD kCreateMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE;
constexpr DWORD kOpenWriteMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kOpenReadMode = STGM_READ | STGM_SHARE_EXCLUSIVE;

/// Remembers where a stream stood and puts it back unless told the operation
/// succeeded, so that a failed helper leaves the stream where it found it.
class CkwStreamMark {
 public:
  explicit CkwStreamMark(IStream* stream) : m_stream(stream) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    m_valid = SUCCEEDED(stream->Seek(zero, STREAM_SEEK_CUR, &m_position));
  }
  ~CkwStreamMark() {
    if (m_keep || !m_valid) return;
    LARGE_INTEGER back;
    back.QuadPart = static_cast<LONGLONG>(m_position.QuadPart);
    m_stream->Seek(back, STREAM_SEEK_SET, nullptr);
  }
  CkwStreamMark(const CkwStreamMark&) = delete;
  CkwStreamMark& operator=(const CkwStreamMark&) = delete;
  bool Valid() const { return m_valid; }
  void Keep() { m_keep = true; }

 private:
  IStream* m_stream;
  ULARGE_INTEGER m_position{};
  bool m_valid = false;
  bool m_keep = false;
};

/// Reads exactly `size` bytes; a short read is a failure.
HRESULT ReadExactly(IStream* stream, void* buffer, ULONG size) {
  ULONG got = 0;
  HRESULT hr = stream->Read(buffer, size, &got);
  if (FAILED(hr)) return hr;
  return got == size ? S_OK : STG_E_READFAULT;
}

HRESULT WriteExactly(IStream* stream, const void* bytes, ULONG size) {
  ULONG written = 0;
  HRESULT hr = stream->Write(bytes, size, &written);
  if (FAILED(hr)) return hr;
  return written == size ? S_OK : STG_E_WRITEFAULT;
}

// Opens for writing where the parent allows it, for reading otherwise: loads
// only read, but a read-only root must still be loadable.
template <typename Open>
HRESULT OpenEitherWay(Open open) {
  HRESULT hr = open(kOpenWriteMode);
  if (hr == STG_E_ACCESSDENIED) hr = open(kOpenReadMode);
  return hr;
}

}  // namespace

extern "C" {

NUBRA_API LONG gfnIStorageCreate(IStorage* pParent, const WCHAR* pwcsName, IStorage** ppChild) {
  if (!ppChild) return E_POINTER;
  *ppChild = nullptr;
  if (!pParent || !pwcsName) return E_POINTER;
  return pParent->CreateStorage(pwcsName, kCreateMode, 0, 0, ppChild);
}

NUBRA_API LONG gfnIStorageOpen(IStorage* pParent, const WCHAR* pwcsName, IStorage** ppChild) {
  if (!ppChild) return E_POINTER;
  *ppChild = nullptr;
  if (!pParent || !pwcsName) return E_POINTER;
  return OpenEitherWay([&](DWORD mode) {
    return pParent->OpenStorage(pwcsName, nullptr, mode, nullptr, 0, ppChild);
  });
}

NUBRA_API LONG gfnIStreamCreate(IStorage* pStorage, const WCHAR* pwcsName, IStream** ppStream) {
  if (!ppStream) return E_POINTER;
  *ppStream = nullptr;
  if (!pStorage || !pwcsName) return E_POINTER;
  return pStorage->CreateStream(pwcsName, kCreateMode, 0, 0, ppStream);
}

NUBRA_API LONG gfnIStreamOpen(IStorage* pStorage, const WCHAR* pwcsName, IStream** ppStream) {
  if (!ppStream) return E_POINTER;
  *ppStream = nullptr;
  if (!pStorage || !pwcsName) return E_POINTER;
  return OpenEitherWay(
      [&](DWORD mode) { return pStorage->OpenStream(pwcsName, nullptr, mode, 0, ppStream); });
}

NUBRA_API LONG gfnIStreamWriteMemoryBlock(IStream* pStream, int nSize, const void* pBytes) {
  if (!pStream || (!pBytes && nSize > 0)) return E_POINTER;
  if (nSize < 0 || nSize > NUBRA_MEMORY_BLOCK_MAX) return E_INVALIDARG;
  // One Write for the whole record: the stream never holds half a header.
  BYTE record[kBlockHeader + NUBRA_MEMORY_BLOCK_MAX];
  std::memcpy(record, kBlockTag, 4);
  kwStoreU32(record + 4, static_cast<std::uint32_t>(nSize));
  if (nSize > 0) std::memcpy(record + kBlockHeader, pBytes, static_cast<std::size_t>(nSize));
  return WriteExactly(pStream, record, kBlockHeader + static_cast<ULONG>(nSize));
}

NUBRA_API LONG gfnIStreamReadMemoryBlock(IStream* pStream, void* pBuffer) {
  if (!pStream || !pBuffer) return E_POINTER;
  CkwStreamMark mark(pStream);
  if (!mark.Valid()) return STG_E_SEEKERROR;
  BYTE header[kBlockHeader];
  HRESULT hr = ReadExactly(pStream, header, kBlockHeader);
  if (FAILED(hr)) return hr;
  if (std::memcmp(header, kBlockTag, 4) != 0) return STG_E_DOCFILECORRUPT;
  std::uint32_t size = kwLoadU32(header + 4);
  if (size > static_cast<std::uint32_t>(NUBRA_MEMORY_BLOCK_MAX)) return STG_E_DOCFILECORRUPT;
  BYTE bytes[NUBRA_MEMORY_BLOCK_MAX];
  hr = ReadExactly(pStream, bytes, size);
  if (FAILED(hr)) return hr;
  std::memcpy(pBuffer, bytes, size);
  mark.Keep();
  return S_OK;
}

NUBRA_API LONG gfnIStreamWriteVariant(IStream* pStream, const char* pszText) {
  if (!pStream || !pszText) return E_POINTER;
  std::size_t length = strnlen(pszText, NUBRA_VARIANT_TEXT_MAX);
  if (length >= static_cast<std::size_t>(NUBRA_VARIANT_TEXT_MAX)) return E_INVALIDARG;
  BYTE record[kVariantHeader + NUBRA_VARIANT_TEXT_MAX];
  std::uint32_t stored = static_cast<std::uint32_t>(length + 1);
  std::memcpy(record, kVariantTag, 4);
  kwStoreU16(record + 4, kVariantText);
  kwStoreU32(record + 6, stored);
  std::memcpy(record + kVariantHeader, pszText, stored);
  return WriteExactly(pStream, record, kVariantHeader + stored);
}

NUBRA_API LONG gfnIStreamReadVariant(IStream* pStream, char* pszBuffer) {
  if (!pStream || !pszBuffer) return E_POINTER;
  CkwStreamMark mark(pStream);
  if (!mark.Valid()) return STG_E_SEEKERROR;
  BYTE header[kVariantHeader];
  HRESULT hr = ReadExactly(pStream, header, kVariantHeader);
  if (FAILED(hr)) return hr;
  if (std::memcmp(header, kVariantTag, 4) != 0 || kwLoadU16(header + 4) != kVariantText)
    return STG_E_DOCFILECORRUPT;
  std::uint32_t stored = kwLoadU32(header + 6);
  if (stored == 0 || stored > static_cast<std::uint32_t>(NUBRA_VARIANT_TEXT_MAX))
    return STG_E_DOCFILECORRUPT;
  char text[NUBRA_VARIANT_TEXT_MAX];
  hr = ReadExactly(pStream, text, stored);
  if (FAILED(hr)) return hr;
  if (text[stored - 1] != '\0') return STG_E_DOCFILECORRUPT;
  std::memcpy(pszBuffer, text, stored);
  mark.Keep();
  return S_OK;
}

NUBRA_API int gfnClearVIO_SAVEDATA(SAVEDATA* pSaveData) {
  if (!pSaveData) return 0;
  // The record holds no references of its own; clearing is zeroing.
  std::memset(pSaveData, 0, sizeof *pSaveData);
  return 1;
}

NUBRA_API int gfnCopySAVEDATA(const SAVEDATA* pFrom, SAVEDATA* pTo) {
  if (!pFrom || !pTo) return 0;
  std::memmove(pTo, pFrom, sizeof *pTo);
  return 1;
}

}  // extern "C"
