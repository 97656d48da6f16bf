#include "kwStorageTestUtil.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kwtest {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kwcore-test-XXXXXX").string();
  if (mkdtemp(pattern.data())) m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
}

std::uint64_t Tell(IStream* stream) {
  ULARGE_INTEGER position;
  return SUCCEEDED(stream->Seek(Li(0), STREAM_SEEK_CUR, &position)) ? position.QuadPart
                                                                    : UINT64_MAX;
}

std::string ErrorText(HRESULT hr) {
  char text[32];
  std::snprintf(text, sizeof text, "error %08X", static_cast<unsigned>(hr));
  return text;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

HRESULT PutStream(IStorage* storage, const std::u16string& name, const std::string& bytes) {
  ComPtr<IStream> stream;
  HRESULT hr = storage->CreateStream(name.c_str(), kRW | STGM_CREATE, 0, 0, stream.Out());
  if (FAILED(hr)) return hr;
  ULONG written = 0;
  hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
  return SUCCEEDED(hr) && written != bytes.size() ? STG_E_WRITEFAULT : hr;
}

std::string ReadRest(IStream* stream) {
  std::string out;
  char buffer[65536];
  ULONG got = 0;
  HRESULT hr;
  while (SUCCEEDED(hr = stream->Read(buffer, sizeof buffer, &got)) && got > 0)
    out.append(buffer, got);
  return FAILED(hr) ? "<" + ErrorText(hr) + ">" : out;
}

std::string GetStream(IStorage* storage, const std::u16string& name) {
  ComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(name.c_str(), nullptr, kRO, 0, stream.Out());
  return FAILED(hr) ? "<" + ErrorText(hr) + ">" : ReadRest(stream.get());
}

std::vector<std::u16string> ChildNames(IStorage* storage) {
  std::vector<std::u16string> names;
  ComPtr<IEnumSTATSTG> items;
  if (FAILED(storage->EnumElements(0, nullptr, 0, items.Out()))) return names;
  STATSTG stat;
  while (items->Next(1, &stat, nullptr) == S_OK) {
    names.emplace_back(stat.pwcsName);
    CoTaskMemFree(stat.pwcsName);
  }
  return names;
}

std::string Image(IStorage* root) {
  void* image = nullptr;
  std::size_t size = 0;
  if (FAILED(StgSaveToMemory(root, &image, &size))) return "";
  std::string bytes(static_cast<const char*>(image), size);
  CoTaskMemFree(image);
  return bytes;
}

HRESULT OpenImage(const std::string& bytes, ComPtr<IStorage>* root) {
  return StgOpenMemoryDocfile(bytes.data(), bytes.size(), kRO, root->Out());
}

namespace {

std::uint64_t Fnv1a64(const std::string& bytes) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001B3ull;
  return h;
}

std::string NameHex(const std::u16string& name) {
  std::string out;
  char byte[5];
  for (char16_t c : name) {
    std::snprintf(byte, sizeof byte, "%02x%02x", c & 0xFF, c >> 8);
    out += byte;
  }
  return out;
}

void DumpInto(IStorage* storage, const std::string& prefix, std::vector<std::string>* lines) {
  ComPtr<IEnumSTATSTG> items;
  if (FAILED(storage->EnumElements(0, nullptr, 0, items.Out()))) {
    lines->push_back("enum failed at " + prefix);
    return;
  }
  STATSTG stat;
  while (items->Next(1, &stat, nullptr) == S_OK) {
    std::u16string name = stat.pwcsName;
    CoTaskMemFree(stat.pwcsName);
    std::string key = prefix + NameHex(name);
    if (stat.type == STGTY_STREAM) {
      std::string bytes = GetStream(storage, name);
      char line[64];
      std::snprintf(line, sizeof line, " %zu %016llx", bytes.size(),
                    static_cast<unsigned long long>(Fnv1a64(bytes)));
      lines->push_back("2 " + key + line);
      continue;
    }
    lines->push_back("1 " + key + " 0 0000000000000000");
    ComPtr<IStorage> child;
    if (FAILED(storage->OpenStorage(name.c_str(), nullptr, kRO, nullptr, 0, child.Out())))
      lines->push_back("open failed at " + key);
    else
      DumpInto(child.get(), key + "/", lines);
  }
}

}  // namespace

std::string Dump(IStorage* storage) {
  std::vector<std::string> lines;
  DumpInto(storage, "", &lines);
  std::sort(lines.begin(), lines.end());
  STATSTG stat;
  std::string out = "root ";
  if (SUCCEEDED(storage->Stat(&stat, STATFLAG_NONAME)) && stat.clsid != GUID_NULL) {
    char text[kwGUID_STRING_LENGTH + 1];
    kwGUIDToString(stat.clsid, text, sizeof text);
    for (const char* p = text; *p; ++p)
      if (*p != '{' && *p != '}' && *p != '-') out.push_back(static_cast<char>(std::tolower(*p)));
  }
  out += "\n";
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

std::string DumpFile(const std::string& path) {
  ComPtr<IStorage> root;
  HRESULT hr = StgOpenStorage(path.c_str(), nullptr, kRO, nullptr, 0, root.Out());
  return FAILED(hr) ? ErrorText(hr) : Dump(root.get());
}

std::string OlefileDump(const std::string& path, bool strict) {
  const std::string command = "/usr/bin/python3 " + SourceDir() +
                              "/tests/platform/tools/cfb_dump.py " + (strict ? "--strict '" : "'") +
                              path + "'";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "cannot run " + command;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  return pclose(pipe) == 0 ? out : out + "exit status of " + command;
}

std::string SourceDir() {
  const char* dir = std::getenv("KWCORE_SOURCE_DIR");
  return dir ? dir : ".";
}

}  // namespace kwtest
