// Streams in and out of compound files, and a dump of a storage tree in the format of
// tests/platform/tools/cfb_dump.py (olefile's view).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <kwcore/kwStorage.h>
#include <kwcore/kwcpp.h>

namespace kwtest {

inline constexpr DWORD kRW = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
inline constexpr DWORD kRO = STGM_READ | STGM_SHARE_EXCLUSIVE;

inline LARGE_INTEGER Li(LONGLONG v) { return {.QuadPart = v}; }
inline ULARGE_INTEGER Uli(ULONGLONG v) { return {.QuadPart = v}; }

/// The seek pointer of `stream`, or UINT64_MAX when Seek fails.
std::uint64_t Tell(IStream* stream);

inline std::u16string U16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }
/// The whole content of the file at `path` ("" when it cannot be read).
std::string FileBytes(const std::string& path);

/// Writes `bytes` into a new stream `name` of `storage`, replacing one there.
HRESULT PutStream(IStorage* storage, const std::u16string& name, const std::string& bytes);
/// What `stream` holds from its seek pointer on, or "<" + kwHResultText() + ">".
std::string ReadRest(IStream* stream);
/// The whole content of stream `name`, or "<" + kwHResultText() + ">".
std::string GetStream(IStorage* storage, const std::u16string& name);
/// Names of `storage`'s children in enumeration order.
std::vector<std::u16string> ChildNames(IStorage* storage);

/// A new root in memory, or one on a copy of `image`, open for writing; empty on failure.
CkwComPtr<IStorage> MemoryRoot(const std::string& image = "");
/// The compound-file image of a root (StgSaveToMemory), "" on failure.
std::string Image(IStorage* root);
inline HRESULT OpenImage(const std::string& bytes, CkwComPtr<IStorage>* root) {
  return StgOpenMemoryDocfile(bytes.data(), bytes.size(), kRO, root->put());
}

/// The tree under `storage` in cfb_dump.py's format.
std::string Dump(IStorage* storage);
/// Opens `path` read-only with kwcore and dumps it, or kwHResultText().
std::string DumpFile(const std::string& path);
/// What tests/platform/tools/cfb_dump.py (olefile) prints for `path`; with
/// `strict` olefile refuses files with any potential defect.
std::string OlefileDump(const std::string& path, bool strict);

/// The directory of the source tree, from KWCORE_SOURCE_DIR.
std::string SourceDir();

}  // namespace kwtest
