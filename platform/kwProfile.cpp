#include "kwProfile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kwPosixFile.h"

namespace {

// Files kept parsed at once; a host consults a handful of registration files.
constexpr std::size_t kCacheCapacity = 16;

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t mtimeSeconds = 0;
  long mtimeNanoseconds = 0;

  explicit FileIdentity(const struct stat& status) noexcept
      : device(status.st_dev),
        inode(status.st_ino),
        size(status.st_size),
        mtimeSeconds(status.st_mtim.tv_sec),
        mtimeNanoseconds(status.st_mtim.tv_nsec) {}
  bool operator==(const FileIdentity&) const = default;
};

// Names are stored lower-cased, so that a lookup is one hash probe.
using Section = std::unordered_map<std::string, std::string>;
using ParsedFile = std::unordered_map<std::string, Section>;

struct CacheEntry {
  std::string path;
  FileIdentity identity;
  std::shared_ptr<const ParsedFile> parsed;
};

std::mutex g_oCacheLock;
std::vector<CacheEntry> g_ofCache;  // most recently used last
std::atomic<std::uint64_t> g_nParseCount{0};

bool IsBlank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) noexcept {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::string_view Unquote(std::string_view value) noexcept {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

// Throws std::bad_alloc only; the caller turns that into an empty file.
std::shared_ptr<const ParsedFile> Parse(std::string_view text) {
  auto parsed = std::make_shared<ParsedFile>();
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    text.remove_prefix(kByteOrderMark.size());

  Section* current = nullptr;  // null: before any section, or in a repeated one
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    line = Trim(line);  // also drops the CR of a CRLF ending
    if (line.empty() || line.front() == ';') continue;
    if (line.find('\0') != std::string_view::npos) continue;
    if (line.front() == '[') {
      std::size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      std::string name = Lower(Trim(line.substr(1, close - 1)));
      // A section that appeared before is not consulted again: its pairs are
      // skipped, so that the first section of a name wins.
      auto [it, inserted] = parsed->try_emplace(std::move(name));
      current = inserted ? &it->second : nullptr;
      continue;
    }
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || current == nullptr) continue;
    std::string_view key = Trim(line.substr(0, equals));
    if (key.empty()) continue;
    std::string_view value = Unquote(Trim(line.substr(equals + 1)));
    current->try_emplace(Lower(key), value);  // the first of a key wins
  }
  g_nParseCount.fetch_add(1, std::memory_order_relaxed);
  return parsed;
}

// The parsed file at `path`, from the cache when its identity is unchanged.
// Null when the file cannot be read, and `*why` says whether it is missing
// or unreadable. Throws std::bad_alloc only.
std::shared_ptr<const ParsedFile> Load(const char* path, kwProfileStatus* why) {
  struct stat status;
  *why = kwPROFILE_UNREADABLE;
  if (stat(path, &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) *why = kwPROFILE_NO_FILE;
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) return nullptr;
  {
    std::lock_guard<std::mutex> lock(g_oCacheLock);
    for (auto it = g_ofCache.begin(); it != g_ofCache.end(); ++it) {
      if (it->path != path) continue;
      if (it->identity == FileIdentity(status)) {
        std::rotate(it, it + 1, g_ofCache.end());
        return g_ofCache.back().parsed;
      }
      g_ofCache.erase(it);
      break;
    }
  }

  // The identity stored is that of the descriptor actually read, so a file
  // replaced between the stat above and the open is never cached under the
  // old identity. O_NONBLOCK: a FIFO swapped in after the stat must not hang
  // the open; it is refused below as not a regular file.
  CkwFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  // The size read is the one the identity records.
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  ssize_t got = kwReadFull(fd.get(), text.data(), text.size());
  if (got < 0) return nullptr;
  text.resize(static_cast<std::size_t>(got));
  std::shared_ptr<const ParsedFile> parsed = Parse(text);

  std::lock_guard<std::mutex> lock(g_oCacheLock);
  auto same = std::find_if(g_ofCache.begin(), g_ofCache.end(),
                           [&](const CacheEntry& entry) { return entry.path == path; });
  if (same != g_ofCache.end()) g_ofCache.erase(same);  // parsed meanwhile by another thread
  if (g_ofCache.size() >= kCacheCapacity) g_ofCache.erase(g_ofCache.begin());
  g_ofCache.push_back(CacheEntry{path, FileIdentity(status), parsed});
  return parsed;
}

// The key's letters and digits in lower case: what is left of a CLSID key
// when its braces, dashes and case are set aside.
std::string Essence(std::string_view key) {
  std::string essence;
  for (char c : key)
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
      essence += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return essence;
}

// Keys are stored lower-cased; the first similar one in hash order is as
// good as any for saying how the wanted key was mistyped.
void FindSimilar(const Section& section, const char* key, char* out, std::size_t size) {
  std::string wanted = Essence(key);
  for (const auto& [name, value] : section) {
    if (Essence(name) != wanted) continue;
    std::size_t length = std::min(name.size(), size - 1);
    std::memcpy(out, name.data(), length);
    out[length] = '\0';
    return;
  }
}

std::size_t CopyOut(std::string_view value, char* buffer, std::size_t size) noexcept {
  std::size_t length = std::min(value.size(), size - 1);
  std::memcpy(buffer, value.data(), length);
  buffer[length] = '\0';
  return length;
}

}  // namespace

kwProfileStatus kwLookUpProfileString(const char* pszSection, const char* pszKey, char* buffer,
                                      std::size_t size, std::size_t* pLength,
                                      const char* pszFileName, char* similarKey,
                                      std::size_t similarSize) noexcept {
  std::size_t ignored = 0;
  if (pLength == nullptr) pLength = &ignored;
  *pLength = buffer != nullptr && size != 0 ? CopyOut("", buffer, size) : 0;
  if (similarKey != nullptr && similarSize != 0) similarKey[0] = '\0';
  if (pszSection == nullptr || pszKey == nullptr || pszFileName == nullptr)
    return kwPROFILE_NO_FILE;
  try {
    kwProfileStatus why = kwPROFILE_NO_FILE;
    std::shared_ptr<const ParsedFile> parsed = Load(pszFileName, &why);
    if (parsed == nullptr) return why;
    auto section = parsed->find(Lower(pszSection));
    if (section == parsed->end()) return kwPROFILE_NO_SECTION;
    auto value = section->second.find(Lower(pszKey));
    if (value == section->second.end()) {
      if (similarKey != nullptr && similarSize != 0)
        FindSimilar(section->second, pszKey, similarKey, similarSize);
      return kwPROFILE_NO_KEY;
    }
    if (buffer != nullptr && size != 0) *pLength = CopyOut(value->second, buffer, size);
    return kwPROFILE_FOUND;
  } catch (const std::bad_alloc&) {
    // Said as such: a caller must not mistake it for a missing entry.
    return kwPROFILE_OUT_OF_MEMORY;
  }
}

std::size_t kwGetProfileString(const char* pszSection, const char* pszKey, const char* pszDefault,
                               char* buffer, std::size_t size, const char* pszFileName) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  std::size_t length = 0;
  if (kwLookUpProfileString(pszSection, pszKey, buffer, size, &length, pszFileName, nullptr, 0) ==
      kwPROFILE_FOUND)
    return length;
  return CopyOut(pszDefault != nullptr ? pszDefault : "", buffer, size);
}

std::uint64_t kwGetProfileParseCount() noexcept {
  return g_nParseCount.load(std::memory_order_relaxed);
}
