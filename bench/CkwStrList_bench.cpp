// The string list's speed goal, against a baseline in the same run: reading
// the last text of a 100,000-text list costs no more than reading the first
// (reads by position take constant time, not a walk from the head).
#include <kwcore/CkwStrList.h>

#include <string>

#include <benchmark/benchmark.h>

namespace {

const CkwStrList& ListOf(std::int32_t count) {
  static CkwStrList list;
  static std::int32_t filled = 0;
  for (; filled < count; ++filled) list.kwAddString(std::to_string(filled).c_str(), nullptr);
  return list;
}

void ReadAt(benchmark::State& state, bool last) {
  const auto count = static_cast<std::int32_t>(state.range(0));
  const CkwStrList& list = ListOf(count);
  const std::int32_t position = last ? count - 1 : 0;
  for (auto _ : state) {
    const char* text = nullptr;
    benchmark::DoNotOptimize(list.kwGetString(position, &text, nullptr));
    benchmark::DoNotOptimize(text);
  }
}

void BM_StrListReadFirst(benchmark::State& state) { ReadAt(state, false); }
void BM_StrListReadLast(benchmark::State& state) { ReadAt(state, true); }

BENCHMARK(BM_StrListReadFirst)->Arg(100000);
BENCHMARK(BM_StrListReadLast)->Arg(100000);

// Appending stays constant per text however long the list gets.
void BM_StrListAppend(benchmark::State& state) {
  const auto count = static_cast<std::int32_t>(state.range(0));
  for (auto _ : state) {
    CkwStrList list;
    for (std::int32_t i = 0; i < count; ++i) list.kwAddString("VIDEO_TS/VTS_01_1.VOB", nullptr);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_StrListAppend)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
