// The factory's two speed goals, each against a baseline in the same run:
// - a creation and free at the head of the search table against calling the
//   class's kwCreateObject and deleting the object directly;
// - resolving CLSIDs missing from the search table in a 10,000-entry
//   registration file against a 1,100-entry one (per CLSID: the parsed file
//   is cached).
#include <kwcore/CkwObjectFactory.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "components/kwBenchThing.h"

namespace {

const std::string kModule = KWBENCH_COMPONENT_DIR "/libkwbench_component.so";

std::string Key(const GUID& clsid) {
  char text[kwGUID_STRING_LENGTH + 1];
  kwGUIDToString(clsid, text, sizeof text);
  return std::string(text + 1, kwGUID_STRING_LENGTH - 2);
}

// A registration file with `entries` family CLSIDs (and the plain class) in
// a directory of its own; removed at exit.
class RegistrationFile {
 public:
  explicit RegistrationFile(int entries) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kwbench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    m_dir = pattern;
    std::ofstream out(m_dir + "/components.ini");
    out << "[COMPONENT]\n" << Key(CLSID_kwBenchThing) << "=" << kModule << "\n";
    for (int n = 0; n < entries; ++n)
      out << Key(kwBenchFamilyCLSID(static_cast<std::uint32_t>(n))) << "=" << kModule << "\n";
  }
  ~RegistrationFile() { std::filesystem::remove_all(m_dir); }
  void Use() const {
    CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr);
    CkwObjectFactory::kwSetComponentRegistrationFile(m_dir.c_str(), "components.ini", nullptr);
  }

 private:
  std::string m_dir;
};

void BM_DirectCreateDelete(benchmark::State& state) {
  CkwErrorInfo error;
  for (auto _ : state) {
    CkwServiceObject* object = nullptr;
    CkwBenchThing::kwCreateObject(&object, &error);
    benchmark::DoNotOptimize(object);
    delete static_cast<CkwBenchThing*>(object);
  }
}
BENCHMARK(BM_DirectCreateDelete);

void BM_FactoryCreateFreeAtTableHead(benchmark::State& state) {
  RegistrationFile file(0);
  file.Use();
  CkwErrorInfo error;
  CkwServiceObject* object = nullptr;
  if (!CkwObjectFactory::kwCreateObject(&CLSID_kwBenchThing, &object, &error)) {
    state.SkipWithError("the bench component does not load");
    return;
  }
  CkwObjectFactory::kwFreeObject(&object, &error);
  for (auto _ : state) {
    CkwObjectFactory::kwCreateObject(&CLSID_kwBenchThing, &object, &error);
    benchmark::DoNotOptimize(object);
    CkwObjectFactory::kwFreeObject(&object, &error);
  }
}
BENCHMARK(BM_FactoryCreateFreeAtTableHead);

// The requests cycle through more CLSIDs than the search table holds, so the
// table always lacks the one asked for (it dropped it as the least recently
// used): every creation resolves its CLSID in the file. The cycle is spread
// over the file and is the same length whatever the file's size; one round
// before timing fills the table. An iteration is 100 resolutions.
void BM_ColdTableResolve(benchmark::State& state) {
  const auto entries = static_cast<std::uint32_t>(state.range(0));
  constexpr std::uint32_t kCycle = CkwObjectFactory::kwMAX_SEARCH_TABLE_SIZE + 100;
  constexpr int kResolved = 100;
  RegistrationFile file(static_cast<int>(entries));
  file.Use();
  CkwErrorInfo error;
  CkwServiceObject* object = nullptr;
  std::uint32_t next = 0;
  auto resolve = [&] {
    GUID clsid = kwBenchFamilyCLSID(next * (entries / kCycle));
    next = (next + 1) % kCycle;
    bool created = CkwObjectFactory::kwCreateObject(&clsid, &object, &error);
    CkwObjectFactory::kwFreeObject(&object, nullptr);
    return created;
  };
  for (std::uint32_t i = 0; i < kCycle; ++i) {
    if (!resolve()) {
      state.SkipWithError("a CLSID was not resolved");
      return;
    }
  }
  for (auto _ : state) {
    for (int i = 0; i < kResolved; ++i) resolve();
  }
  state.SetItemsProcessed(state.iterations() * kResolved);
}
BENCHMARK(BM_ColdTableResolve)->Arg(1100)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
