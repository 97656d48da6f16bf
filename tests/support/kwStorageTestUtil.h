// Helpers for tests that work with compound files: an owning interface
// pointer, a temporary directory, a canonical dump of a storage tree (the
// same text tests/platform/tools/cfb_dump.py prints from olefile's view), and
// running a command.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <kwcore/kwStorage.h>

namespace kwtest {

/// Owns one reference to a COM-shaped object.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* p) : m_p(p) {}
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      m_p = other.m_p;
      other.m_p = nullptr;
    }
    return *this;
  }
  ~ComPtr() { Reset(); }
  void Reset() {
    if (m_p) m_p->Release();
    m_p = nullptr;
  }
  T** Out() {
    Reset();
    return &m_p;
  }
  T* get() const { return m_p; }
  T* operator->() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }

 private:
  T* m_p = nullptr;
};

/// A fresh directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kwcore-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) m_path = buffer.data();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

inline constexpr DWORD kRW = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
inline constexpr DWORD kRO = STGM_READ | STGM_SHARE_EXCLUSIVE;

std::u16string U16(const std::string& ascii);
std::string Narrow(const std::u16string& text);

/// Writes `bytes` into a new stream `name` of `storage`.
HRESULT PutStream(IStorage* storage, const std::u16string& name, const std::string& bytes);
/// The whole content of stream `name`, or "<error XXXXXXXX>".
std::string GetStream(IStorage* storage, const std::u16string& name);
/// Names of `storage`'s children in enumeration order.
std::vector<std::u16string> ChildNames(IStorage* storage);

std::uint64_t Fnv1a64(const void* data, std::size_t size);
/// The tree under `storage` in cfb_dump.py's format.
std::string Dump(IStorage* storage);
/// Opens `path` read-only with kwcore and dumps it, or "error XXXXXXXX".
std::string DumpFile(const std::string& path);

/// Runs a shell command; returns its standard output, and its exit status in
/// `*status` when given.
std::string Run(const std::string& command, int* status = nullptr);

/// The directory of the source tree, from KWCORE_SOURCE_DIR.
std::string SourceDir();

}  // namespace kwtest
