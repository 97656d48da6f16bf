// Round trip of one storage holding N streams of 100 bytes: create the file,
// write every stream, commit, release, reopen and read every stream back.
// kwcore at N = 1,000 / 10,000 / 100,000 (the cost per stream must stay flat)
// and libgsf at N = 10,000 on the same tree (the baseline kwcore must beat).
// Then each direction alone against the floor (plain write+fsync, or read, of
// the same bytes in one file): one stream of 256 MiB, 100,000 streams of 64
// bytes; a deep tree of 8 KiB streams against libgsf; and the peak of live
// heap bytes while opening and reading (a counting operator new).
// scripts/run-bench.sh turns the timings into ratios.
#include <fcntl.h>
#include <gsf/gsf.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <kwcore/kwStorage.h>

// Live and peak heap bytes of everything that allocates through operator new
// (libkwplatform included). Each block carries its size in front.
std::atomic<std::size_t> g_live{0}, g_peak{0};

void* CountedNew(std::size_t size) {
  void* block = std::malloc(size + 16);
  if (!block) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  std::size_t live = g_live.fetch_add(size) + size;
  for (std::size_t peak = g_peak.load();
       live > peak && !g_peak.compare_exchange_weak(peak, live);) {
  }
  return static_cast<char*>(block) + 16;
}
void CountedDelete(void* p) noexcept {
  if (!p) return;
  void* block = static_cast<char*>(p) - 16;
  g_live.fetch_sub(*static_cast<std::size_t*>(block));
  std::free(block);
}

void* operator new(std::size_t size) { return CountedNew(size); }
void* operator new[](std::size_t size) { return CountedNew(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedNew(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { CountedDelete(p); }
void operator delete[](void* p) noexcept { CountedDelete(p); }
void operator delete(void* p, std::size_t) noexcept { CountedDelete(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedDelete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedDelete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedDelete(p); }

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

// ---------------------------------------------------------------------------
// Each direction against the floor.

constexpr std::size_t kPiece = 1 << 20;  // what callers write and read at a time
const DWORD kRW = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
const DWORD kRO = STGM_READ | STGM_SHARE_EXCLUSIVE;

/// The peak of live heap bytes since `Start`, in MiB.
struct PeakMemory {
  std::size_t base = 0;
  void Start() {
    base = g_live.load();
    g_peak.store(base);
  }
  double MiB() const { return static_cast<double>(g_peak.load() - base) / (1 << 20); }
};

void FloorWriteBytes(benchmark::State& state, std::size_t total) {
  const std::string path = TempPath("floor.bin");
  std::vector<char> piece(kPiece, 'f');
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Check(fd >= 0, "floor open");
    for (std::size_t done = 0; done < total; done += kPiece) {
      std::size_t n = std::min(kPiece, total - done);
      Check(::write(fd, piece.data(), n) == static_cast<ssize_t>(n), "floor write");
    }
    Check(::fsync(fd) == 0 && ::close(fd) == 0, "floor fsync");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(total));
}

void FloorReadBytes(benchmark::State& state, std::size_t total) {
  const std::string path = TempPath("floor-read.bin");
  {
    std::vector<char> bytes(total, 'r');
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Check(fd >= 0 && ::write(fd, bytes.data(), total) == static_cast<ssize_t>(total) &&
              ::close(fd) == 0,
          "floor file");
  }
  std::vector<char> piece(kPiece);
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Check(fd >= 0, "floor open");
    while (::read(fd, piece.data(), kPiece) > 0) benchmark::DoNotOptimize(piece.data());
    ::close(fd);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(total));
}

void FloorWrite(benchmark::State& state) {
  FloorWriteBytes(state, static_cast<std::size_t>(state.range(0)));
}
void FloorRead(benchmark::State& state) {
  FloorReadBytes(state, static_cast<std::size_t>(state.range(0)));
}

constexpr std::size_t kBigStream = std::size_t{256} << 20;
constexpr int kSmallStreams = 100000;
constexpr ULONG kSmallSize = 64;
BENCHMARK(FloorWrite)
    ->Arg(kBigStream)
    ->Arg(kSmallStreams* kSmallSize)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FloorRead)
    ->Arg(kBigStream)
    ->Arg(kSmallStreams* kSmallSize)
    ->Unit(benchmark::kMillisecond);

void WriteBig(const std::string& path) {
  IStorage* root = nullptr;
  Check(StgCreateDocfile(path.c_str(), kRW | STGM_CREATE, 0, &root) == S_OK, "create");
  IStream* stream = nullptr;
  Check(root->CreateStream(u"Big", kRW, 0, 0, &stream) == S_OK, "create stream");
  std::vector<char> piece(kPiece, 'b');
  for (std::size_t done = 0; done < kBigStream; done += kPiece)
    Check(stream->Write(piece.data(), kPiece, nullptr) == S_OK, "write");
  stream->Release();
  Check(root->Commit(STGC_DEFAULT) == S_OK, "commit");
  root->Release();
}

void BigStreamWriteCommit(benchmark::State& state) {
  const std::string path = TempPath("big-write.cfb");
  for (auto _ : state) WriteBig(path);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBigStream));
}
BENCHMARK(BigStreamWriteCommit)->Unit(benchmark::kMillisecond);

void BigStreamOpenRead(benchmark::State& state) {
  const std::string path = TempPath("big-read.cfb");
  WriteBig(path);
  std::vector<char> piece(kPiece);
  PeakMemory peak;
  double worst = 0;
  for (auto _ : state) {
    peak.Start();
    IStorage* root = nullptr;
    Check(StgOpenStorage(path.c_str(), nullptr, kRO, nullptr, 0, &root) == S_OK, "open");
    IStream* stream = nullptr;
    Check(root->OpenStream(u"Big", nullptr, kRO, 0, &stream) == S_OK, "open stream");
    ULONG got = 0;
    std::size_t total = 0;
    while (stream->Read(piece.data(), kPiece, &got) == S_OK && got > 0) total += got;
    Check(total == kBigStream, "read");
    stream->Release();
    root->Release();
    worst = std::max(worst, peak.MiB());
  }
  state.counters["peak_MiB"] = worst;
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBigStream));
}
BENCHMARK(BigStreamOpenRead)->Unit(benchmark::kMillisecond);

std::vector<std::u16string> SmallNames() {
  std::vector<std::u16string> names;
  for (int i = 0; i < kSmallStreams; ++i) names.push_back(StreamName(i));
  return names;
}

void WriteSmall(const std::string& path, const std::vector<std::u16string>& names) {
  char payload[kSmallSize] = {};
  IStorage* root = nullptr;
  Check(StgCreateDocfile(path.c_str(), kRW | STGM_CREATE, 0, &root) == S_OK, "create");
  for (const std::u16string& name : names) {
    IStream* stream = nullptr;
    Check(root->CreateStream(name.c_str(), kRW, 0, 0, &stream) == S_OK, "create stream");
    Check(stream->Write(payload, kSmallSize, nullptr) == S_OK, "write");
    stream->Release();
  }
  Check(root->Commit(STGC_DEFAULT) == S_OK, "commit");
  root->Release();
}

void SmallStreamsWriteCommit(benchmark::State& state) {
  const std::string path = TempPath("small-write.cfb");
  const std::vector<std::u16string> names = SmallNames();
  for (auto _ : state) WriteSmall(path, names);
  state.SetItemsProcessed(state.iterations() * kSmallStreams);
}
BENCHMARK(SmallStreamsWriteCommit)->Unit(benchmark::kMillisecond);

void SmallStreamsOpenRead(benchmark::State& state) {
  const std::string path = TempPath("small-read.cfb");
  const std::vector<std::u16string> names = SmallNames();
  WriteSmall(path, names);
  PeakMemory peak;
  double worst = 0;
  char buffer[kSmallSize];
  for (auto _ : state) {
    peak.Start();
    IStorage* root = nullptr;
    Check(StgOpenStorage(path.c_str(), nullptr, kRO, nullptr, 0, &root) == S_OK, "open");
    for (const std::u16string& name : names) {
      IStream* stream = nullptr;
      Check(root->OpenStream(name.c_str(), nullptr, kRO, 0, &stream) == S_OK, "open stream");
      ULONG got = 0;
      Check(stream->Read(buffer, kSmallSize, &got) == S_OK && got == kSmallSize, "read");
      benchmark::DoNotOptimize(buffer);
      stream->Release();
    }
    root->Release();
    worst = std::max(worst, peak.MiB());
  }
  // The bound: 64 MiB plus 256 bytes per element.
  state.counters["peak_MiB"] = worst;
  state.counters["bound_MiB"] = 64 + 256.0 * (kSmallStreams + 1) / (1 << 20);
  state.SetItemsProcessed(state.iterations() * kSmallStreams);
}
BENCHMARK(SmallStreamsOpenRead)->Unit(benchmark::kMillisecond);

// The floor of the format itself: the file of 100,000 streams of 64 bytes
// holds three times their bytes (each stream has a 128-byte directory entry),
// and no writer or reader of it can move fewer.
std::size_t SmallFileBytes() {
  static const std::size_t bytes = [] {
    const std::string path = TempPath("small-size.cfb");
    WriteSmall(path, SmallNames());
    return static_cast<std::size_t>(std::filesystem::file_size(path));
  }();
  return bytes;
}
void FloorWriteSmallFile(benchmark::State& state) { FloorWriteBytes(state, SmallFileBytes()); }
void FloorReadSmallFile(benchmark::State& state) { FloorReadBytes(state, SmallFileBytes()); }
BENCHMARK(FloorWriteSmallFile)->Unit(benchmark::kMillisecond);
BENCHMARK(FloorReadSmallFile)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// A deep tree: 10 levels of 10 storages, each storage holding 100 streams of
// 8 KiB; the first storage of a level holds the next level (80 MiB in all).

constexpr int kLevels = 10, kStoragesPerLevel = 10, kStreamsPerStorage = 100;
constexpr ULONG kDeepStreamSize = 8192;

std::string Numbered(const char* prefix, int i) {
  std::string text(prefix);
  text.append(std::to_string(i));
  return text;
}
std::u16string Numbered16(const char* prefix, int i) {
  std::string text = Numbered(prefix, i);
  return std::u16string(text.begin(), text.end());
}

// Walks the deep tree under `root`: `storageAt(parent, name)` creates or
// opens a storage, `stream(storage, name)` creates or reads one stream.
template <typename StorageAt, typename Stream>
void WalkKwcoreDeepTree(IStorage* root, StorageAt storageAt, Stream stream) {
  IStorage* parent = root;
  parent->AddRef();
  for (int level = 0; level < kLevels; ++level) {
    IStorage* next = nullptr;
    for (int s = 0; s < kStoragesPerLevel; ++s) {
      IStorage* storage = storageAt(parent, Numbered16("S", s));
      for (int i = 0; i < kStreamsPerStorage; ++i) stream(storage, Numbered16("T", i));
      if (s == 0)
        next = storage;
      else
        storage->Release();
    }
    parent->Release();
    parent = next;
  }
  parent->Release();
}

void KwcoreDeepWrite(const std::string& path) {
  std::vector<char> payload(kDeepStreamSize, 'd');
  IStorage* root = nullptr;
  Check(StgCreateDocfile(path.c_str(), kRW | STGM_CREATE, 0, &root) == S_OK, "create");
  WalkKwcoreDeepTree(
      root,
      [](IStorage* parent, const std::u16string& name) {
        IStorage* storage = nullptr;
        Check(parent->CreateStorage(name.c_str(), kRW, 0, 0, &storage) == S_OK, "create storage");
        return storage;
      },
      [&](IStorage* storage, const std::u16string& name) {
        IStream* stream = nullptr;
        Check(storage->CreateStream(name.c_str(), kRW, 0, 0, &stream) == S_OK, "create stream");
        Check(stream->Write(payload.data(), kDeepStreamSize, nullptr) == S_OK, "write");
        stream->Release();
      });
  Check(root->Commit(STGC_DEFAULT) == S_OK, "commit");
  root->Release();
}

void KwcoreDeepRead(const std::string& path) {
  std::vector<char> buffer(kDeepStreamSize);
  IStorage* root = nullptr;
  Check(StgOpenStorage(path.c_str(), nullptr, kRO, nullptr, 0, &root) == S_OK, "open");
  WalkKwcoreDeepTree(
      root,
      [](IStorage* parent, const std::u16string& name) {
        IStorage* storage = nullptr;
        Check(parent->OpenStorage(name.c_str(), nullptr, kRO, nullptr, 0, &storage) == S_OK,
              "open storage");
        return storage;
      },
      [&](IStorage* storage, const std::u16string& name) {
        IStream* stream = nullptr;
        Check(storage->OpenStream(name.c_str(), nullptr, kRO, 0, &stream) == S_OK, "open stream");
        ULONG got = 0;
        Check(stream->Read(buffer.data(), kDeepStreamSize, &got) == S_OK && got == kDeepStreamSize,
              "read");
        stream->Release();
      });
  root->Release();
}

void GsfDeepWrite(const std::string& path) {
  std::vector<guint8> payload(kDeepStreamSize, 'd');
  GError* error = nullptr;
  GsfOutput* output = gsf_output_stdio_new(path.c_str(), &error);
  Check(output != nullptr, "gsf create");
  GsfOutfile* root = gsf_outfile_msole_new(output);
  GsfOutfile* parent = root;
  std::vector<GsfOutfile*> open;
  for (int level = 0; level < kLevels; ++level) {
    GsfOutfile* next = nullptr;
    for (int s = 0; s < kStoragesPerLevel; ++s) {
      GsfOutput* storage = gsf_outfile_new_child(parent, Numbered("S", s).c_str(), TRUE);
      for (int i = 0; i < kStreamsPerStorage; ++i) {
        GsfOutput* child =
            gsf_outfile_new_child(GSF_OUTFILE(storage), Numbered("T", i).c_str(), FALSE);
        Check(gsf_output_write(child, kDeepStreamSize, payload.data()), "gsf write");
        gsf_output_close(child);
        g_object_unref(child);
      }
      if (s == 0) {
        next = GSF_OUTFILE(storage);
        open.push_back(next);
      } else {
        gsf_output_close(storage);
        g_object_unref(storage);
      }
    }
    parent = next;
  }
  for (auto it = open.rbegin(); it != open.rend(); ++it) {
    gsf_output_close(GSF_OUTPUT(*it));
    g_object_unref(*it);
  }
  gsf_output_close(GSF_OUTPUT(root));
  g_object_unref(root);
  g_object_unref(output);
}

void GsfDeepRead(const std::string& path) {
  std::vector<guint8> buffer(kDeepStreamSize);
  GError* error = nullptr;
  GsfInput* input = gsf_input_stdio_new(path.c_str(), &error);
  Check(input != nullptr, "gsf open");
  GsfInfile* root = gsf_infile_msole_new(input, &error);
  Check(root != nullptr, "gsf parse");
  GsfInfile* parent = root;
  g_object_ref(parent);
  for (int level = 0; level < kLevels; ++level) {
    GsfInfile* next = nullptr;
    for (int s = 0; s < kStoragesPerLevel; ++s) {
      GsfInput* storage = gsf_infile_child_by_name(parent, Numbered("S", s).c_str());
      Check(storage != nullptr, "gsf storage");
      int children = gsf_infile_num_children(GSF_INFILE(storage));
      Check(children >= kStreamsPerStorage, "gsf child count");
      for (int i = 0; i < children; ++i) {
        GsfInput* child = gsf_infile_child_by_index(GSF_INFILE(storage), i);
        if (gsf_infile_num_children(GSF_INFILE(child)) < 0)
          Check(gsf_input_read(child, kDeepStreamSize, buffer.data()) != nullptr, "gsf read");
        g_object_unref(child);
      }
      if (s == 0)
        next = GSF_INFILE(storage);
      else
        g_object_unref(storage);
    }
    g_object_unref(parent);
    parent = next;
  }
  g_object_unref(parent);
  g_object_unref(root);
  g_object_unref(input);
}

template <void (*Body)(const std::string&)>
void DeepWrite(benchmark::State& state) {
  const std::string path = TempPath("deep-write.cfb");
  for (auto _ : state) Body(path);
}

template <void (*Write)(const std::string&), void (*Read)(const std::string&)>
void DeepRead(benchmark::State& state) {
  const std::string path = TempPath("deep-read.cfb");
  Write(path);
  for (auto _ : state) Read(path);
}

BENCHMARK(DeepWrite<KwcoreDeepWrite>)->Name("KwcoreDeepTreeWrite")->Unit(benchmark::kMillisecond);
BENCHMARK(DeepWrite<GsfDeepWrite>)->Name("GsfDeepTreeWrite")->Unit(benchmark::kMillisecond);
BENCHMARK(DeepRead<KwcoreDeepWrite, KwcoreDeepRead>)
    ->Name("KwcoreDeepTreeRead")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(DeepRead<GsfDeepWrite, GsfDeepRead>)
    ->Name("GsfDeepTreeRead")
    ->Unit(benchmark::kMillisecond);

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
