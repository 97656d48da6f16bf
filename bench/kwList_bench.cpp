// Service object list and persistent list costs, each against a baseline in
// the same run:
//   BM_ListWalk vs BM_StdListWalk              full forward walk
//   BM_ListFindRemove/1000 vs /100000          find + remove + re-insert in the middle
//   BM_PersistentListSaveLoad vs BM_StorageTreeSaveLoad   10,000 items through a file
//   BM_PersistentListSave, BM_PersistentListLoad          each direction, items per second
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwPersistentObjectList.h>
#include <kwcore/Nubra.h>
#include <kwcore/kwWinApi.h>

#include "components/persistent_items.h"

// Counts the kernel random draws of the whole process: the executable's
// definition is the one every library's call binds to (exported).
std::atomic<long> g_getrandomCalls{0};
extern "C" __attribute__((visibility("default"))) ssize_t getrandom(void* buffer, size_t length,
                                                                    unsigned int flags) {
  g_getrandomCalls.fetch_add(1, std::memory_order_relaxed);
  return syscall(SYS_getrandom, buffer, length, flags);
}

namespace {

const GUID CLSID_BenchItem = {0xBE7C0001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};

class CBenchItem : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP()
};
kwBEGIN_OBJECT_MAP(CBenchItem, CkwServiceObject, CLSID_BenchItem) kwEND_OBJECT_MAP(CBenchItem)

    CkwServiceObject* NewItem() {
  CkwServiceObject* item = nullptr;
  CBenchItem::kwCreateObject(&item, nullptr);
  return item;
}

void BM_ListWalk(benchmark::State& state) {
  CkwServiceObjectList list;
  for (int i = 0; i < state.range(0); ++i) list.kwAddServiceObject(NewItem(), nullptr);
  for (auto _ : state) {
    CkwServiceObject* item = nullptr;
    std::intptr_t position = 0;
    list.kwGetHeadServiceObjectPos(&position, nullptr);
    while (list.kwGetNextServiceObject(&item, &position, nullptr)) benchmark::DoNotOptimize(item);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ListWalk)->Arg(100000);

void BM_StdListWalk(benchmark::State& state) {
  std::vector<CkwServiceObject*> owned;
  std::list<CkwServiceObject*> list;
  for (int i = 0; i < state.range(0); ++i) {
    owned.push_back(NewItem());
    list.push_back(owned.back());
  }
  for (auto _ : state) {
    for (CkwServiceObject* item : list) benchmark::DoNotOptimize(item);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  for (CkwServiceObject* item : owned) CkwObjectFactory::kwFreeObject(&item, nullptr);
}
BENCHMARK(BM_StdListWalk)->Arg(100000);

void BM_ListFindRemove(benchmark::State& state) {
  CkwServiceObjectList list;
  std::vector<CkwServiceObject*> items;
  for (int i = 0; i < state.range(0); ++i) {
    items.push_back(NewItem());
    list.kwAddServiceObject(items.back(), nullptr);
  }
  CkwServiceObject* middle = items[items.size() / 2];
  std::intptr_t before = reinterpret_cast<std::intptr_t>(items[items.size() / 2 - 1]);
  for (auto _ : state) {
    std::intptr_t position = 0;
    list.kwFindServiceObject(middle, &position, nullptr);
    list.kwRemoveServiceObject(middle, nullptr);
    list.kwInsertServiceObject(middle, before, nullptr);
  }
}
BENCHMARK(BM_ListFindRemove)->Arg(1000)->Arg(100000);

// ---------------------------------------------------------------------------
constexpr int kPersistItems = 10000;

struct BenchDirectory {
  std::string path;
  BenchDirectory() {
    char pattern[] = "/tmp/kwcore-bench-XXXXXX";
    path = mkdtemp(pattern);
    char text[kwGUID_STRING_LENGTH + 1];
    kwGUIDToString(CLSID_TestPersistentItem, text, sizeof text);
    std::ofstream(path + "/items.ini") << "[COMPONENT]\n"
                                       << std::string(text + 1, kwGUID_STRING_LENGTH - 2) << "="
                                       << KWBENCH_PERSISTENT_ITEMS_MODULE << "\n";
    CkwObjectFactory::kwSetComponentRegistrationFile(path.c_str(), "items.ini", nullptr);
  }
  ~BenchDirectory() { std::system(("rm -rf " + path).c_str()); }
};

BenchDirectory& Directory() {
  static BenchDirectory directory;
  return directory;
}

CkwPersistentObjectList* BenchList() {
  static CkwPersistentObjectList* list = [] {
    auto* made = new CkwPersistentObjectList;
    for (int i = 0; i < kPersistItems; ++i) {
      CkwServiceObject* item = nullptr;
      CkwObjectFactory::kwCreateObject(&CLSID_TestPersistentItem, &item, nullptr);
      made->kwAddServiceObject(item, nullptr);
    }
    return made;
  }();
  return list;
}

bool SaveList(const std::string& file) {
  IStorage* root = nullptr;
  if (StgCreateDocfile(file.c_str(), STGM_CREATE | STGM_READWRITE, 0, &root) != S_OK) return false;
  bool ok = BenchList()->kwSave(root, nullptr) && root->Commit(STGC_DEFAULT) == S_OK;
  root->Release();
  return ok;
}

bool LoadList(const std::string& file) {
  IStorage* root = nullptr;
  if (StgOpenStorage(file.c_str(), nullptr, STGM_READ, nullptr, 0, &root) != S_OK) return false;
  CkwPersistentObjectList loaded;
  bool ok = loaded.kwLoad(root, nullptr);
  root->Release();
  return ok;
}

void BM_PersistentListSaveLoad(benchmark::State& state) {
  std::string file = Directory().path + "/list.kw";
  for (auto _ : state) {
    if (!SaveList(file) || !LoadList(file)) state.SkipWithError("save or load failed");
  }
  state.SetItemsProcessed(state.iterations() * kPersistItems);
}
BENCHMARK(BM_PersistentListSaveLoad)->Unit(benchmark::kMillisecond);

// Each direction alone, for items per second.
void BM_PersistentListSave(benchmark::State& state) {
  std::string file = Directory().path + "/save.kw";
  for (auto _ : state) {
    if (!SaveList(file)) state.SkipWithError("save failed");
  }
  state.SetItemsProcessed(state.iterations() * kPersistItems);
}
BENCHMARK(BM_PersistentListSave)->Unit(benchmark::kMillisecond);

void BM_PersistentListLoad(benchmark::State& state) {
  std::string file = Directory().path + "/load.kw";
  if (!SaveList(file)) state.SkipWithError("save failed");
  long draws = g_getrandomCalls.load();
  for (auto _ : state) {
    if (!LoadList(file)) state.SkipWithError("load failed");
  }
  state.counters["getrandom_per_100_items"] =
      100.0 * static_cast<double>(g_getrandomCalls.load() - draws) /
      static_cast<double>(state.iterations() * kPersistItems);
  state.SetItemsProcessed(state.iterations() * kPersistItems);
}
BENCHMARK(BM_PersistentListLoad)->Unit(benchmark::kMillisecond);

// The same element tree and bytes, written and read with the storage layer
// and Nubra alone: what the list's bookkeeping is measured against.
void BM_StorageTreeSaveLoad(benchmark::State& state) {
  std::string file = Directory().path + "/tree.kw";
  const BYTE zeros[32] = {};
  for (auto _ : state) {
    IStorage* root = nullptr;
    IStream* stream = nullptr;
    StgCreateDocfile(file.c_str(), STGM_CREATE | STGM_READWRITE, 0, &root);
    gfnIStreamCreate(root, u"Blank", &stream);
    gfnIStreamWriteMemoryBlock(stream, 32, zeros);
    stream->Release();
    gfnIStreamCreate(root, u"Count", &stream);
    stream->Write(zeros, 4, nullptr);
    stream->Release();
    IStream* guids = nullptr;
    gfnIStreamCreate(root, u"ItemGUID", &guids);
    for (int i = 0; i < kPersistItems; ++i) {
      BYTE clsid[16];
      kwGUIDToBytes(CLSID_TestPersistentItem, clsid);
      guids->Write(clsid, 16, nullptr);
      char name8[32];
      WCHAR name[32];
      std::snprintf(name8, sizeof name8, "Item%d", i);
      MultiByteToWideChar(CP_ACP, 0, name8, -1, name, 32);
      IStorage* child = nullptr;
      gfnIStorageCreate(root, name, &child);
      gfnIStreamCreate(child, u"CPersistentObjectStream", &stream);
      gfnIStreamWriteVariant(stream, "");
      stream->Write(zeros, 16, nullptr);
      gfnIStreamWriteMemoryBlock(stream, 32, zeros);
      stream->Release();
      child->Release();
    }
    guids->Release();
    root->Commit(STGC_DEFAULT);
    root->Release();

    StgOpenStorage(file.c_str(), nullptr, STGM_READ, nullptr, 0, &root);
    BYTE block[32];
    gfnIStreamOpen(root, u"Blank", &stream);
    gfnIStreamReadMemoryBlock(stream, block);
    stream->Release();
    gfnIStreamOpen(root, u"Count", &stream);
    stream->Read(block, 4, nullptr);
    stream->Release();
    gfnIStreamOpen(root, u"ItemGUID", &guids);
    for (int i = 0; i < kPersistItems; ++i) {
      guids->Read(block, 16, nullptr);
      char name8[32];
      WCHAR name[32];
      std::snprintf(name8, sizeof name8, "Item%d", i);
      MultiByteToWideChar(CP_ACP, 0, name8, -1, name, 32);
      IStorage* child = nullptr;
      gfnIStorageOpen(root, name, &child);
      gfnIStreamOpen(child, u"CPersistentObjectStream", &stream);
      char text[260] = {};
      gfnIStreamReadVariant(stream, text);
      stream->Read(block, 16, nullptr);
      stream->Release();
      child->Release();
    }
    guids->Release();
    root->Release();
  }
  state.SetItemsProcessed(state.iterations() * kPersistItems);
}
BENCHMARK(BM_StorageTreeSaveLoad)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
