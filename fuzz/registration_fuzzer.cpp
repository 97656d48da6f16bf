// libFuzzer target: arbitrary text as a registration file, read through the
// profile reader as the factory reads it (section COMPONENT, a CLSID key,
// the near-miss search of the diagnostics). The two ways of reading a key
// must agree, and a value must fit its buffer. Crashes, leaks and sanitizer
// reports are findings.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/kwProfile.h"

namespace {

std::string g_path[2];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = std::getenv("TMPDIR");
  std::string directory = std::string(base != nullptr ? base : "/tmp") + "/kwfuzz.XXXXXX";
  if (mkdtemp(directory.data()) == nullptr) std::abort();
  g_path[0] = directory + "/a.ini";
  g_path[1] = directory + "/b.ini";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Two names in turn: the reader caches parsed files by identity, and a
  // file rewritten within one clock tick at the same size could look
  // unchanged.
  static int turn = 0;
  const std::string& path = g_path[turn ^= 1];
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  for (const char* key : {"7E570001-0001-4000-8000-000000000001", "a", ""}) {
    char value[64];
    char similar[64];
    std::size_t length = 0;
    kwProfileStatus status = kwLookUpProfileString("COMPONENT", key, value, sizeof value, &length,
                                                   path.c_str(), similar, sizeof similar);
    if (length >= sizeof value || std::strlen(value) != length) std::abort();
    if (std::strlen(similar) >= sizeof similar) std::abort();
    char plain[64];
    std::size_t plainLength =
        kwGetProfileString("COMPONENT", key, "", plain, sizeof plain, path.c_str());
    if (status == kwPROFILE_FOUND && (plainLength != length || std::strcmp(plain, value) != 0))
      std::abort();
    if (status != kwPROFILE_FOUND && status != kwPROFILE_OUT_OF_MEMORY && plainLength != 0)
      std::abort();
  }
  return 0;
}
