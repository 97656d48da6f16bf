// libFuzzer target: opens arbitrary bytes as a compound file and walks and
// reads the whole tree, then writes what it read and reads that back, which
// must succeed and hold the same tree. Crashes, hangs, leaks and sanitizer
// reports are findings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <kwcore/kwStorage.h>

namespace {

template <typename T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
};

// Walks without recursion: a hostile file may nest storages deeply.
std::string Walk(IStorage* top) {
  std::string summary;
  std::vector<std::pair<IStorage*, int>> pending;
  top->AddRef();
  pending.emplace_back(top, 0);
  std::vector<char> buffer(4096);
  while (!pending.empty()) {
    auto [storage, depth] = pending.back();
    pending.pop_back();
    STATSTG self;
    if (SUCCEEDED(storage->Stat(&self, STATFLAG_DEFAULT))) CoTaskMemFree(self.pwcsName);
    Ref<IEnumSTATSTG> items;
    if (SUCCEEDED(storage->EnumElements(0, nullptr, 0, &items.p))) {
      STATSTG stat;
      while (items.p->Next(1, &stat, nullptr) == S_OK) {
        summary += std::to_string(depth) + ":" + std::to_string(stat.type) + ":" +
                   std::to_string(stat.cbSize.QuadPart) + ";";
        if (stat.type == STGTY_STORAGE) {
          IStorage* child = nullptr;
          if (SUCCEEDED(
                  storage->OpenStorage(stat.pwcsName, nullptr, STGM_READ, nullptr, 0, &child)))
            pending.emplace_back(child, depth + 1);
        } else {
          Ref<IStream> stream;
          if (SUCCEEDED(storage->OpenStream(stat.pwcsName, nullptr, STGM_READ, 0, &stream.p))) {
            ULONG got = 0;
            std::uint64_t total = 0;
            while (
                SUCCEEDED(stream.p->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got)) &&
                got > 0)
              total += got;
            if (total != stat.cbSize.QuadPart) std::abort();
          }
        }
        CoTaskMemFree(stat.pwcsName);
      }
    }
    storage->Release();
  }
  return summary;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Ref<IStorage> root;
  if (FAILED(StgOpenMemoryDocfile(data, size, STGM_READ, &root.p))) return 0;
  std::string first = Walk(root.p);

  void* image = nullptr;
  std::size_t imageSize = 0;
  if (FAILED(StgSaveToMemory(root.p, &image, &imageSize))) std::abort();
  Ref<IStorage> again;
  HRESULT hr = StgOpenMemoryDocfile(image, imageSize, STGM_READ, &again.p);
  CoTaskMemFree(image);
  if (FAILED(hr)) std::abort();
  if (Walk(again.p) != first) std::abort();
  return 0;
}
