// The factory's two speed goals, each against a baseline in the same run:
// - a creation and free at the head of the search table against calling the
//   class's kwCreateObject and deleting the object directly;
// - resolving CLSIDs on a cold table from a 10,000-entry registration file
//   against a 100-entry one (per CLSID: the parsed file is cached).
#include <kwcore/CkwObjectFactory.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "components/kwBenchThing.h"
#include "core/kwTestHooks.h"

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
  kwTestHooks::ResetObjectFactory();
}
BENCHMARK(BM_FactoryCreateFreeAtTableHead);

// Each iteration empties the table and resolves the same 100 CLSIDs, spread
// over the file, so the time per iteration is 100 resolutions.
void BM_ColdTableResolve(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  constexpr int kResolved = 100;
  RegistrationFile file(entries);
  file.Use();
  CkwErrorInfo error;
  CkwServiceObject* object = nullptr;
  for (auto _ : state) {
    state.PauseTiming();
    kwTestHooks::ClearSearchTable();
    state.ResumeTiming();
    for (int i = 0; i < kResolved; ++i) {
      GUID clsid = kwBenchFamilyCLSID(static_cast<std::uint32_t>(i * (entries / kResolved)));
      if (!CkwObjectFactory::kwCreateObject(&clsid, &object, &error)) {
        state.SkipWithError("a CLSID was not resolved");
        break;
      }
      CkwObjectFactory::kwFreeObject(&object, &error);
    }
  }
  state.SetItemsProcessed(state.iterations() * kResolved);
  kwTestHooks::ResetObjectFactory();
}
BENCHMARK(BM_ColdTableResolve)->Arg(100)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
