// Temporary directories and files for tests that need real files on disk
// (registration files, copies of component modules), and the diagnostics
// that loading modules leaves.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <kwcore/kwDiagnostics.h>
#include <kwcore/kwWinTypes.h>
#include <kwcore/kwcpp.h>

namespace kwTest {

/// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kwtest.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The directory, without a trailing "/".
  const std::string& path() const { return m_path; }
  std::string operator/(std::string_view name) const { return m_path + "/" + std::string(name); }

 private:
  std::string m_path;
};

/// Writes `bytes` to `path`, replacing the file in place (same inode).
inline void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

/// The registration key of a CLSID: registry form without braces.
inline std::string Key(const GUID& clsid) { return kwGuidText(clsid).substr(1, 36); }

/// A [COMPONENT] section line for each pair.
inline std::string Registration(const std::vector<std::pair<GUID, std::string>>& pairs) {
  std::string text = "[COMPONENT]\n";
  for (const auto& [clsid, module] : pairs) text += Key(clsid) + "=" + module + "\n";
  return text;
}

/// Full path of a test component module built by the project.
inline std::string ComponentPath(std::string_view name) {
  return std::string(KWTEST_COMPONENT_DIR) + "/lib" + std::string(name) + ".so";
}

/// Collects diagnostic messages while it lives.
struct DiagnosticLog {
  DiagnosticLog() { kwSetDiagnosticCallback(&DiagnosticLog::Receive, this); }
  ~DiagnosticLog() { kwSetDiagnosticCallback(nullptr, nullptr); }
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;
  bool Contains(std::string_view text) const {
    for (const std::string& message : messages)
      if (message.find(text) != std::string::npos) return true;
    return false;
  }
  static void Receive(void* context, const char* message) {
    static_cast<DiagnosticLog*>(context)->messages.push_back(message);
  }
  std::vector<std::string> messages;
};

}  // namespace kwTest
