// libFuzzer target: arbitrary bytes opened as a compound file and loaded as a
// persistent object list whose items come from the test item module, found
// through a registration file as a host finds its components. A list that
// loads must save again and load back to as many items. Crashes, leaks and
// sanitizer reports are findings.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwPersistentObjectList.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwcpp.h>

namespace {

constexpr DWORD kWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

int Count(CkwPersistentObjectList& list) {
  int count = -1;
  list.kwGetTotalCount(&count, nullptr);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = std::getenv("TMPDIR");
  std::string directory = std::string(base != nullptr ? base : "/tmp") + "/kwfuzz.XXXXXX";
  if (mkdtemp(directory.data()) == nullptr) std::abort();
  std::ofstream(directory + "/items.ini")
      << "[COMPONENT]\n"
      << "7E570001-0001-4000-8000-000000000001=" KWFUZZ_PERSISTENT_ITEMS_MODULE "\n"
      << "7E570001-0001-4000-8000-000000000002=" KWFUZZ_PERSISTENT_ITEMS_MODULE "\n"
      << "7E570001-0001-4000-8000-000000000003=" KWFUZZ_PERSISTENT_ITEMS_MODULE "\n";
  CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr);
  if (!CkwObjectFactory::kwSetComponentRegistrationFile(directory.c_str(), "items.ini", nullptr))
    std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CkwComPtr<IStorage> root;
  if (FAILED(StgOpenMemoryDocfile(data, size, STGM_READ, root.put()))) return 0;
  CkwPersistentObjectList list;
  CkwErrorInfo error;
  if (!list.kwLoad(root.get(), &error)) {
    if (error.m_nSeverity != kwSEVERITY_ERROR) std::abort();
    return 0;
  }
  CkwComPtr<IStorage> copy;
  CkwPersistentObjectList again;
  if (FAILED(StgCreateMemoryDocfile(kWrite, copy.put())) || !list.kwSave(copy.get(), nullptr) ||
      !again.kwLoad(copy.get(), nullptr) || Count(again) != Count(list))
    std::abort();
  return 0;
}
