// Round trip of one storage holding N streams of 100 bytes: create the file,
// write every stream, commit, release, reopen and read every stream back.
// kwcore at N = 1,000 / 10,000 / 100,000 (the cost per stream must stay flat)
// and libgsf at N = 10,000 on the same tree (the baseline kwcore must beat).
// scripts/run-bench.sh turns the timings into those two ratios.
#include <gsf/gsf.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <kwcore/kwStorage.h>

namespace {

constexpr ULONG kStreamSize = 100;

std::string TempPath(const char* name) {
  static std::string dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "kwcore-bench-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) std::abort();
    return std::string(buffer.data());
  }();
  return dir + "/" + name;
}

std::u16string StreamName(int i) {
  std::string text = "Stream" + std::to_string(i);
  return std::u16string(text.begin(), text.end());
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "benchmark step failed: %s\n", what);
    std::abort();
  }
}

void KwcoreRoundTrip(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string path = TempPath("kwcore.cfb");
  std::vector<std::u16string> names;
  for (int i = 0; i < count; ++i) names.push_back(StreamName(i));
  char payload[kStreamSize];
  for (ULONG i = 0; i < kStreamSize; ++i) payload[i] = static_cast<char>(i);
  const DWORD rw = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
  for (auto _ : state) {
    IStorage* root = nullptr;
    Check(StgCreateDocfile(path.c_str(), rw | STGM_CREATE, 0, &root) == S_OK, "create");
    for (const std::u16string& name : names) {
      IStream* stream = nullptr;
      Check(root->CreateStream(name.c_str(), rw, 0, 0, &stream) == S_OK, "create stream");
      Check(stream->Write(payload, kStreamSize, nullptr) == S_OK, "write");
      stream->Release();
    }
    Check(root->Commit(STGC_DEFAULT) == S_OK, "commit");
    root->Release();

    Check(StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                         &root) == S_OK,
          "open");
    char buffer[kStreamSize];
    for (const std::u16string& name : names) {
      IStream* stream = nullptr;
      Check(root->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream) ==
                S_OK,
            "open stream");
      ULONG got = 0;
      Check(stream->Read(buffer, kStreamSize, &got) == S_OK && got == kStreamSize, "read");
      benchmark::DoNotOptimize(buffer);
      stream->Release();
    }
    root->Release();
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void GsfRoundTrip(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string path = TempPath("gsf.cfb");
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back("Stream" + std::to_string(i));
  guint8 payload[kStreamSize];
  for (ULONG i = 0; i < kStreamSize; ++i) payload[i] = static_cast<guint8>(i);
  for (auto _ : state) {
    GError* error = nullptr;
    GsfOutput* output = gsf_output_stdio_new(path.c_str(), &error);
    Check(output != nullptr, "gsf create");
    GsfOutfile* outfile = gsf_outfile_msole_new(output);
    for (const std::string& name : names) {
      GsfOutput* child = gsf_outfile_new_child(outfile, name.c_str(), FALSE);
      Check(gsf_output_write(child, kStreamSize, payload), "gsf write");
      gsf_output_close(child);
      g_object_unref(child);
    }
    gsf_output_close(GSF_OUTPUT(outfile));  // closes `output` too
    g_object_unref(outfile);
    g_object_unref(output);

    GsfInput* input = gsf_input_stdio_new(path.c_str(), &error);
    Check(input != nullptr, "gsf open");
    GsfInfile* infile = gsf_infile_msole_new(input, &error);
    Check(infile != nullptr, "gsf parse");
    // By index: libgsf's lookup by name is a linear search, which would not
    // be a fair comparison.
    int children = gsf_infile_num_children(infile);
    Check(children == count, "gsf child count");
    guint8 buffer[kStreamSize];
    for (int i = 0; i < children; ++i) {
      GsfInput* child = gsf_infile_child_by_index(infile, i);
      Check(gsf_input_read(child, kStreamSize, buffer) != nullptr, "gsf read");
      benchmark::DoNotOptimize(buffer);
      g_object_unref(child);
    }
    g_object_unref(infile);
    g_object_unref(input);
  }
  state.SetItemsProcessed(state.iterations() * count);
}

BENCHMARK(KwcoreRoundTrip)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(GsfRoundTrip)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  gsf_init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(TempPath("x")).parent_path(), ignored);
  gsf_shutdown();
  return 0;
}
