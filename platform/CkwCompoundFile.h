// The in-memory tree of a compound file and the codec that turns it into
// bytes and back. Private to libkwplatform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <kwcore/kwStorage.h>

namespace kwcfb {

/// The first eight bytes of every compound file.
inline constexpr BYTE kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

/// Runs `body`, which returns an HRESULT, so that no exception leaves the
/// library: a failed allocation becomes STG_E_INSUFFICIENTMEMORY, anything
/// else STG_E_UNKNOWN.
template <typename Body>
HRESULT Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  } catch (...) {
    return STG_E_UNKNOWN;
  }
}

/// Orders names as the compound-file format does once they are folded to
/// upper case (see Key): shorter names first, names of the same length by
/// their UTF-16 code units. Two names with equal keys are the same element.
struct KeyLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const noexcept {
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
  }
};

/// The lookup key of a name: the name folded to upper case, once, so that
/// comparisons inside the child maps stay plain.
std::u16string Key(const std::u16string& name);

/// The simple upper-case mapping the format uses for comparing names.
char16_t UpperCase(char16_t c) noexcept;

/// True when `name` may name an element: 1 to 31 UTF-16 units, none of them
/// '/', '\\', ':' or '!'.
bool IsValidName(const std::u16string& name) noexcept;

/// One storage or stream. Children are kept in the format's name order, so
/// enumeration, lookup and the writer's balanced trees all come from the map.
struct Node {
  std::u16string name;
  DWORD type = STGTY_STORAGE;
  CLSID clsid = GUID_NULL;
  DWORD stateBits = 0;
  FILETIME ctime{0, 0};
  FILETIME mtime{0, 0};
  std::vector<BYTE> data;                                             ///< stream bytes
  std::map<std::u16string, std::shared_ptr<Node>, KeyLess> children;  ///< by Key(name)
  /// Cleared when the element leaves the tree (destroyed, replaced, reverted):
  /// objects still holding it then report STG_E_REVERTED.
  bool live = true;
};

/// Marks `node` and everything below it as gone, without recursion.
void Retire(Node& node) noexcept;

/// Streams may not grow beyond this: version-3 files carry 32-bit sizes.
inline constexpr std::uint64_t kMaxStreamSize = 0x7FFFFFFFu;

/// Parses a whole compound-file image (versions 3 and 4) into a tree whose
/// root is returned in `*root`. Trusts nothing in the bytes: a result other
/// than S_OK is STG_E_INVALIDHEADER (not a compound file, or an unsupported
/// header), STG_E_DOCFILECORRUPT (a damaged structure) or
/// STG_E_INSUFFICIENTMEMORY. Never throws.
HRESULT Parse(const BYTE* bytes, std::size_t size, std::shared_ptr<Node>* root) noexcept;

/// Writes the tree under `root` as a version-3 image. Time and memory are
/// linear in the number of elements and bytes. Never throws.
HRESULT Serialize(const Node& root, std::vector<BYTE>* image) noexcept;

}  // namespace kwcfb
