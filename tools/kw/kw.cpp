// kw: kwcore's command-line tool. One executable with subcommands, built on
// the installed headers and libraries only, as any program of kwcore's users.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "kwTool.h"

namespace kwtool {
namespace {

struct SCommand {
  const char* name;
  int (*run)(const std::vector<std::string>&);
  const char* synopsis;
  const char* help;
};

const SCommand kCommands[] = {
    {"demo", RunDemo, "kw demo [--items N] [FILE]",
     "Plays a DVD project from end to end through the installed kwcore: registers the\n"
     "sample modules in a registration file beside FILE, creates objects by CLSID\n"
     "through the factory, builds a project (a persistent list of N items, proxies\n"
     "linked to their masters, check-link and update-link records, a disc template),\n"
     "saves it to FILE (default demo.kwp), reopens it, re-creates every item through\n"
     "the factory and verifies what it reads against what it wrote. Prints each step\n"
     "with its timing; exit status 0 only if every check held.\n"
     "  --items N   how many items the project's list holds (default 8)\n"},
    {"tree", RunTree, "kw tree [--json] FILE",
     "Draws the storage tree of any compound file: each element's type, size and\n"
     "CLSID, and for the streams kwcore writes a decoded summary (a persistent\n"
     "object's ID and name, a persistent list's count and item CLSIDs, a proxy's\n"
     "kind). Control characters in names and decoded text show as \\xNN, and C1\n"
     "controls and bidirectional overrides as \\uNNNN; names so written cat and dump\n"
     "accept back.\n"
     "  --json   the same as JSON, for scripts\n"},
    {"cat", RunCat, "kw cat FILE PATH",
     "Writes the raw bytes of the stream at PATH (\"Items/Item0/CPersistentObjectStream\")\n"
     "to standard output.\n"},
    {"dump", RunDump, "kw dump FILE PATH",
     "Shows the stream at PATH as hexadecimal and text columns, 16 bytes a line.\n"},
    {"check", RunCheck, "kw check FILE",
     "Reads the whole file with every structural check the reader has, then the\n"
     "layouts of kwcore's own streams, and reports each problem with its byte offset.\n"
     "Exit status 0 clean, 1 damaged, 2 unreadable (or a usage error).\n"},
    {"resolve", RunResolve, "kw resolve CLSID [--ini FILE]...",
     "Tells how the object factory resolves CLSID: which registration files it\n"
     "searches in which order and what each maps it to, whether the module loads\n"
     "(with the loader's message when it does not), whether it exports\n"
     "gkw_CreateComponent, and whether an object is created and freed. Prints the\n"
     "library's own diagnostics as they come. Without --ini the factory searches its\n"
     "default file beside kw; with them, those files in the order given.\n"
     "Exit status 0 when an object was created.\n"},
};

const SCommand* FindCommand(const std::string& name) {
  for (const SCommand& command : kCommands)
    if (name == command.name) return &command;
  return nullptr;
}

int Help(const std::vector<std::string>& args) {
  if (!args.empty()) {
    const SCommand* command = FindCommand(args[0]);
    if (command == nullptr)
      return Fail(kExitUsage,
                  "no help on '" + args[0] + "': it is not a kw command; run 'kw help'");
    std::printf("usage: %s\n\n%s", command->synopsis, command->help);
    return 0;
  }
  std::printf(
      "usage: kw <command> [arguments]\n\n"
      "kwcore's tool: shows what the library does and looks inside its files.\n\n");
  for (const SCommand& command : kCommands) std::printf("  %s\n", command.synopsis);
  std::printf(
      "  kw help [COMMAND]\n  kw --version\n\n"
      "Run 'kw help COMMAND' for what a command does.\n");
  return 0;
}

}  // namespace

int Fail(int status, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "kw: %s\n", message.c_str());
  return status;
}

int UsageError(const std::string& command, const std::string& problem) {
  return Fail(kExitUsage, problem + "; run 'kw help " + command + "'");
}

CProgress::CProgress(std::string label, std::uint64_t total)
    : m_label(std::move(label)),
      m_total(total),
      m_bTerminal(isatty(STDERR_FILENO) == 1),
      m_start(std::chrono::steady_clock::now()),
      m_lastDraw(m_start) {}

CProgress::~CProgress() {
  if (m_bDrawn) std::fprintf(stderr, "\r\033[K");
}

void CProgress::Update(std::uint64_t done) {
  if (!m_bTerminal) return;
  const auto now = std::chrono::steady_clock::now();
  // Short work draws nothing; long work redraws ten times a second at most.
  if (now - m_start < std::chrono::milliseconds(300)) return;
  if (m_bDrawn && now - m_lastDraw < std::chrono::milliseconds(100)) return;
  m_lastDraw = now;
  m_bDrawn = true;
  const double seconds = std::chrono::duration<double>(now - m_start).count();
  if (m_total > 0) {
    std::fprintf(stderr, "\r\033[K%s %llu/%llu (%.0f%%) %.1f s", m_label.c_str(),
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(m_total),
                 100.0 * static_cast<double>(done) / static_cast<double>(m_total), seconds);
  } else if (done > 0) {
    std::fprintf(stderr, "\r\033[K%s %llu, %.1f s", m_label.c_str(),
                 static_cast<unsigned long long>(done), seconds);
  } else {
    std::fprintf(stderr, "\r\033[K%s %.1f s", m_label.c_str(), seconds);
  }
  std::fflush(stderr);
}

void RunWithProgress(const std::string& label, std::uint64_t total,
                     const std::atomic<std::uint64_t>* pDone, const std::function<void()>& work) {
  std::packaged_task<void()> task(work);
  std::future<void> finished = task.get_future();
  std::thread worker(std::move(task));
  CProgress progress(label, total);
  while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
    progress.Update(pDone != nullptr ? pDone->load() : 0);
  worker.join();
  finished.get();  // passes on what the work threw (std::bad_alloc)
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

namespace {

void AppendUtf8(std::string& text, char32_t value) {
  if (value < 0x80) {
    text += static_cast<char>(value);
  } else if (value < 0x800) {
    text += static_cast<char>(0xC0 | (value >> 6));
    text += static_cast<char>(0x80 | (value & 0x3F));
  } else if (value < 0x10000) {
    text += static_cast<char>(0xE0 | (value >> 12));
    text += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (value & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (value >> 18));
    text += static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (value & 0x3F));
  }
}

void AppendEscape(std::string& text, const char* format, unsigned value) {
  char escaped[16];  // room for any unsigned value
  std::snprintf(escaped, sizeof escaped, format, value);
  text += escaped;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// Appends `value` for a terminal: whatever a terminal would act on rather
/// than show (C0 and C1 controls, which start escape sequences, and the
/// bidirectional overrides and isolates, which reorder what follows) and what
/// is no character (a lone surrogate) as an escape ElementName reads back.
void AppendForDisplay(std::string& text, char32_t value) {
  if (value < 0x20 || value == 0x7F)
    AppendEscape(text, "\\x%02X", value);
  else if (value == U'\\')
    text += "\\\\";
  else if ((value >= 0x80 && value <= 0x9F) || (value >= 0x202A && value <= 0x202E) ||
           (value >= 0x2066 && value <= 0x2069) || (value >= 0xD800 && value <= 0xDFFF))
    AppendEscape(text, "\\u%04X", value);
  else
    AppendUtf8(text, value);
}

}  // namespace

std::string DisplayName(const std::u16string& name) {
  std::string text;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
        name[i + 1] <= 0xDFFF) {
      AppendForDisplay(text, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (name[i + 1] - 0xDC00));
      ++i;
    } else {
      AppendForDisplay(text, unit);  // a lone surrogate is escaped there
    }
  }
  return text;
}

std::string JsonName(const std::u16string& name) {
  std::string text;
  for (char16_t unit : name) {
    if (unit == u'"' || unit == u'\\') {
      text += '\\';
      text += static_cast<char>(unit);
    } else if (unit >= 0x20 && unit < 0x7F) {
      text += static_cast<char>(unit);
    } else {
      AppendEscape(text, "\\u%04x", unit);
    }
  }
  return text;
}

/// The length of the UTF-8 sequence that `lead` starts (1 for any other byte).
static std::size_t SequenceLength(unsigned char lead) {
  return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}

/// The UTF-16 units of the one UTF-8 character at `text`, by the platform's
/// conversion; 0 when it is no valid character.
static int Utf16Of(const char* text, std::size_t length, WCHAR (&units)[2]) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), units,
                             2);
}

std::string JsonText(const std::string& text) {
  std::string json;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    WCHAR units[2];
    if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      AppendEscape(json, "\\u%04x", c);
    } else if (c < 0x80) {
      json += static_cast<char>(c);
    } else if (length = SequenceLength(c);
               i + length <= text.size() && Utf16Of(text.data() + i, length, units) > 0) {
      json.append(text, i, length);
    } else {
      json += "\\ufffd";  // text in another code page: JSON stays UTF-8
      length = 1;
    }
    i += length;
  }
  return json;
}

std::string DisplayText(const std::string& text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : SequenceLength(c);
    WCHAR units[2];
    const int count =
        c < 0x80 || i + length > text.size() ? 0 : Utf16Of(text.data() + i, length, units);
    if (c < 0x80) {
      AppendForDisplay(shown, c);
    } else if (count == 2) {
      AppendForDisplay(shown,
                       0x10000 + ((char32_t{units[0]} - 0xD800) << 10) + (units[1] - 0xDC00));
    } else if (count == 1) {
      AppendForDisplay(shown, units[0]);
    } else {
      AppendEscape(shown, "\\x%02X", c);  // text in another code page, byte by byte
      length = 1;
    }
    i += length;
  }
  return shown;
}

bool ElementName(const std::string& text, std::u16string* name) {
  name->clear();
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
      *name += u'\\';
      i += 2;
      continue;
    }
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'u')) {
      const std::size_t digits = text[i + 1] == 'x' ? 2 : 4;
      if (i + 2 + digits > text.size()) return false;
      unsigned value = 0;
      for (std::size_t k = 0; k < digits; ++k) {
        const int digit = HexDigit(text[i + 2 + k]);
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
      }
      *name += static_cast<char16_t>(value);
      i += 2 + digits;
      continue;
    }
    // UTF-8 through the platform's conversion, one character at a time.
    const std::size_t length = SequenceLength(static_cast<unsigned char>(c));
    WCHAR units[2];
    const int count = i + length <= text.size() ? Utf16Of(text.data() + i, length, units) : 0;
    if (count <= 0) return false;
    name->append(units, static_cast<std::size_t>(count));
    i += length;
  }
  return !name->empty();
}

std::string OpenFailure(const std::string& path, HRESULT hr) {
  const std::string code = ", " + kwHResultText(hr);
  if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND)
    return "cannot open '" + path + "': no such file" + code + "; check the path";
  if (hr == STG_E_ACCESSDENIED)
    return "cannot open '" + path + "': permission denied" + code + "; check its permissions";
  if (hr == STG_E_INVALIDHEADER)
    return "cannot open '" + path + "': not a compound file" + code +
           "; kw reads compound (structured storage) files only";
  if (hr == STG_E_DOCFILECORRUPT)
    return "cannot open '" + path + "': the file is damaged" + code + "; run 'kw check " + path +
           "' to see where";
  return "cannot open '" + path + "': " + kwHResultText(hr) + "; check that the file can be read";
}

bool OpenFile(const std::string& path, CkwComPtr<IStorage>* root) {
  const HRESULT hr = StgOpenStorage(path.c_str(), nullptr, STGM_READ, nullptr, 0, root->put());
  if (FAILED(hr)) {
    Fail(kExitFailed, OpenFailure(path, hr));
    return false;
  }
  return true;
}

bool OpenStreamAt(IStorage* root, const std::string& file, const std::string& elementPath,
                  CkwComPtr<IStream>* stream) {
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t slash = elementPath.find('/', start);
    std::string part = elementPath.substr(start, slash - start);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  auto refuse = [&](const std::string& why) {
    Fail(kExitFailed, why + "; run 'kw tree " + file + "' to see its elements");
    return false;
  };
  if (parts.empty()) return refuse("no stream path given");
  root->AddRef();
  CkwComPtr<IStorage> storage(root);
  std::string walked;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    std::u16string name;
    if (!ElementName(parts[k], &name)) return refuse("'" + parts[k] + "' is no element name");
    walked += (k == 0 ? "" : "/") + parts[k];
    if (k + 1 < parts.size()) {
      CkwComPtr<IStorage> child;
      HRESULT hr = storage->OpenStorage(name.c_str(), nullptr, STGM_READ, nullptr, 0, child.put());
      if (FAILED(hr)) return refuse("no storage '" + walked + "' in " + file);
      storage = std::move(child);
      continue;
    }
    HRESULT hr = storage->OpenStream(name.c_str(), nullptr, STGM_READ, 0, stream->put());
    if (SUCCEEDED(hr)) return true;
    CkwComPtr<IStorage> probe;
    if (SUCCEEDED(storage->OpenStorage(name.c_str(), nullptr, STGM_READ, nullptr, 0, probe.put())))
      return refuse("'" + walked + "' is a storage, not a stream");
    return refuse("no stream '" + walked + "' in " + file);
  }
  return false;
}

bool ReadAll(IStream* stream, std::vector<unsigned char>* bytes) {
  bytes->clear();
  unsigned char buffer[64 * 1024];
  for (;;) {
    ULONG read = 0;
    if (FAILED(stream->Read(buffer, sizeof buffer, &read))) return false;
    if (read == 0) return true;
    bytes->insert(bytes->end(), buffer, buffer + read);
  }
}

}  // namespace kwtool

int main(int argc, char** argv) {
  using namespace kwtool;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    Help({});
    return kExitUsage;
  }
  const std::string name = args[0];
  args.erase(args.begin());
  if (name == "--version" || name == "version") {
    std::printf("kw (kwcore) %s\n", KWTOOL_VERSION);
    return 0;
  }
  if (name == "help" || name == "--help" || name == "-h") return Help(args);
  const SCommand* command = FindCommand(name);
  if (command == nullptr)
    return Fail(kExitUsage, "'" + name + "' is not a kw command; run 'kw help' for the list");
  for (const std::string& arg : args)
    if (arg == "--help" || arg == "-h") return Help({name});
  try {
    return command->run(args);
  } catch (const std::bad_alloc&) {
    return Fail(kExitFailed, "out of memory; free some memory or try a smaller file");
  }
}
