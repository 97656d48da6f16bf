#include "kwStorageTestUtil.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace kwtest {

std::uint64_t Tell(IStream* stream) {
  ULARGE_INTEGER position;
  return SUCCEEDED(stream->Seek(Li(0), STREAM_SEEK_CUR, &position)) ? position.QuadPart
                                                                    : UINT64_MAX;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

HRESULT PutStream(IStorage* storage, const std::u16string& name, const std::string& bytes) {
  CkwComPtr<IStream> stream;
  HRESULT hr = storage->CreateStream(name.c_str(), kRW | STGM_CREATE, 0, 0, stream.put());
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
  return FAILED(hr) ? "<" + kwHResultText(hr) + ">" : out;
}

std::string GetStream(IStorage* storage, const std::u16string& name) {
  CkwComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(name.c_str(), nullptr, kRO, 0, stream.put());
  return FAILED(hr) ? "<" + kwHResultText(hr) + ">" : ReadRest(stream.get());
}

std::vector<std::u16string> ChildNames(IStorage* storage) {
  std::vector<std::u16string> names;
  CkwComPtr<IEnumSTATSTG> items;
  if (FAILED(storage->EnumElements(0, nullptr, 0, items.put()))) return names;
  STATSTG stat;
  while (items->Next(1, &stat, nullptr) == S_OK) {
    names.emplace_back(stat.pwcsName);
    CoTaskMemFree(stat.pwcsName);
  }
  return names;
}

CkwComPtr<IStorage> MemoryRoot(const std::string& image) {
  CkwComPtr<IStorage> root;  // stays empty when the call fails
  (void)(image.empty() ? StgCreateMemoryDocfile(kRW, root.put())
                       : StgOpenMemoryDocfile(image.data(), image.size(), kRW, root.put()));
  return root;
}

std::string Image(IStorage* root) {
  void* image = nullptr;
  std::size_t size = 0;
  if (FAILED(StgSaveToMemory(root, &image, &size))) return "";
  std::string bytes(static_cast<const char*>(image), size);
  CoTaskMemFree(image);
  return bytes;
}

namespace {

// One line per element, as cfb_dump.py prints them: type, path of hex UTF-16LE names,
// size and FNV-1a hash of the bytes.
void DumpInto(IStorage* storage, const std::string& prefix, std::vector<std::string>* lines) {
  for (const std::u16string& name : ChildNames(storage)) {
    std::string key = prefix;
    char text[64];
    for (char16_t c : name)
      key += (std::snprintf(text, sizeof text, "%02x%02x", c & 0xFF, c >> 8), text);
    CkwComPtr<IStorage> child;
    if (SUCCEEDED(storage->OpenStorage(name.c_str(), nullptr, kRO, nullptr, 0, child.put()))) {
      lines->push_back("1 " + key + " 0 0000000000000000");
      DumpInto(child.get(), key + "/", lines);
      continue;
    }
    std::string bytes = GetStream(storage, name);
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001B3ull;
    std::snprintf(text, sizeof text, " %zu %016llx", bytes.size(),
                  static_cast<unsigned long long>(hash));
    lines->push_back("2 " + key + text);
  }
}

}  // namespace

std::string Dump(IStorage* storage) {
  std::vector<std::string> lines;
  DumpInto(storage, "", &lines);
  std::sort(lines.begin(), lines.end());
  STATSTG stat{};
  char clsid[kwGUID_STRING_LENGTH + 1] = "";
  if (SUCCEEDED(storage->Stat(&stat, STATFLAG_NONAME)) && stat.clsid != GUID_NULL)
    kwGUIDToString(stat.clsid, clsid, sizeof clsid);
  std::string out = "root ";
  for (const char* p = clsid; *p; ++p)
    if (std::isxdigit(*p)) out.push_back(static_cast<char>(std::tolower(*p)));
  for (const std::string& line : lines) out += "\n" + line;
  return out + "\n";
}

std::string DumpFile(const std::string& path) {
  CkwComPtr<IStorage> root;
  HRESULT hr = StgOpenStorage(path.c_str(), nullptr, kRO, nullptr, 0, root.put());
  return FAILED(hr) ? kwHResultText(hr) : Dump(root.get());
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
