// What the subcommands of kw share: failing with one line on standard error,
// the progress line, element names between UTF-16 and the terminal, and
// opening an element of a compound file by its path.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <kwcore/kwcore.h>

namespace kwtool {

/// Exit statuses every subcommand uses; `kw check` gives 1 and 2 its own
/// meaning (damaged, unreadable).
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

/// Writes "kw: <message>" as one line on standard error and returns `status`.
/// The message says why and what to do.
int Fail(int status, const std::string& message);

/// A usage error of `command`: says what is wrong and points to its help.
int UsageError(const std::string& command, const std::string& problem);

/// The line "<label> <done>/<total>" (or the time spent, without a total),
/// redrawn in place on standard error when that is a terminal and the work
/// has taken longer than a moment; nothing at all otherwise, so that output
/// captured in a file or a pipe carries no carriage returns.
class CProgress {
 public:
  CProgress(std::string label, std::uint64_t total);
  ~CProgress();
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  void Update(std::uint64_t done);

 private:
  std::string m_label;
  std::uint64_t m_total;
  bool m_bTerminal;
  bool m_bDrawn = false;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_lastDraw;
};

/// Runs `work` on a second thread and keeps the progress line of `label`
/// moving meanwhile, showing `*pDone` when given. The work's objects belong
/// to it until it returns, so no object is used by two threads at once.
void RunWithProgress(const std::string& label, std::uint64_t total,
                     const std::atomic<std::uint64_t>* pDone, const std::function<void()>& work);

/// Milliseconds since `start`, for the account of a step.
double MillisecondsSince(std::chrono::steady_clock::time_point start);

/// An element name for people: UTF-8, with control characters (C0, C1,
/// bidirectional overrides and isolates) and units that are no characters
/// (lone surrogates) written as \xNN and \uXXXX, the escapes ElementName
/// accepts back. Whatever a file holds is shown through this or DisplayText,
/// never raw: a name could otherwise drive the terminal it is printed on.
std::string DisplayName(const std::u16string& name);
/// UTF-8 text from a file (names of persistent objects, summaries holding
/// them) for people, escaped as DisplayName does; bytes that are no UTF-8 as
/// \xNN.
std::string DisplayText(const std::string& text);
/// An element name as a JSON string body: ASCII only, every other unit as
/// \uXXXX, so that the exact UTF-16 name survives any reader.
std::string JsonName(const std::u16string& name);
/// The UTF-16 name for text typed by a person: UTF-8 with the escapes that
/// DisplayName writes. False for text that is no valid name.
bool ElementName(const std::string& text, std::u16string* name);

/// JSON string body for UTF-8 text (names of persistent objects, paths).
std::string JsonText(const std::string& text);

/// Why a compound file could not be opened, and what to do, for `path`.
std::string OpenFailure(const std::string& path, HRESULT hr);

/// Opens the compound file `path` for reading; on failure writes the reason
/// and returns false.
bool OpenFile(const std::string& path, CkwComPtr<IStorage>* root);

/// Opens the stream at `elementPath` ("Items/Item0/CPersistentObjectStream")
/// under `root`; on failure writes the reason and returns false.
bool OpenStreamAt(IStorage* root, const std::string& file, const std::string& elementPath,
                  CkwComPtr<IStream>* stream);

/// Reads the whole of `stream` from where it stands.
bool ReadAll(IStream* stream, std::vector<unsigned char>* bytes);

/// Counts of a walk over a whole tree, and the places where kwcore's own
/// layouts would not load (kwTree.cpp).
struct SWalk {
  std::uint64_t storages = 0;
  std::uint64_t streams = 0;
  std::uint64_t bytes = 0;
  std::vector<std::string> problems;  ///< "path: what is wrong"
  CProgress* progress = nullptr;

  void Problem(const std::string& path, const std::string& what) {
    problems.push_back(path + ": " + what);
  }
};
/// Walks every element under `root` as kw tree does, decoding kwcore's
/// streams, and adds to `walk` (whose progress line, if set, it moves).
void WalkLayouts(IStorage* root, SWalk& walk);

// The subcommands; each receives the words after its own name.
int RunDemo(const std::vector<std::string>& args);
int RunTree(const std::vector<std::string>& args);
int RunCat(const std::vector<std::string>& args);
int RunDump(const std::vector<std::string>& args);
int RunCheck(const std::vector<std::string>& args);
int RunResolve(const std::vector<std::string>& args);

}  // namespace kwtool
