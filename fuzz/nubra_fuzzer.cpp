// libFuzzer target: arbitrary stream contents read back through the Nubra
// helpers, in the order the first input byte chooses. Readers must never
// write past the callers' buffers (guard bytes around them are checked) and
// a failed read must leave the stream where it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <kwcore/Nubra.h>

namespace {

constexpr int kGuard = 64;
constexpr BYTE kFill = 0xA5;

bool GuardsIntact(const BYTE* area, int size) {
  for (int i = 0; i < kGuard; ++i)
    if (area[i] != kFill || area[kGuard + size + i] != kFill) return false;
  return true;
}

std::uint64_t Position(IStream* stream) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  ULARGE_INTEGER position;
  if (FAILED(stream->Seek(zero, STREAM_SEEK_CUR, &position))) std::abort();
  return position.QuadPart;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  IStorage* root = nullptr;
  if (FAILED(StgCreateMemoryDocfile(STGM_READWRITE, &root))) std::abort();
  IStream* stream = nullptr;
  if (gfnIStreamCreate(root, u"Fuzz", &stream) < 0) std::abort();
  if (FAILED(stream->Write(data + 1, static_cast<ULONG>(size - 1), nullptr))) std::abort();
  LARGE_INTEGER start;
  start.QuadPart = 0;
  stream->Seek(start, STREAM_SEEK_SET, nullptr);

  BYTE area[kGuard + NUBRA_VARIANT_TEXT_MAX + kGuard];
  unsigned choices = data[0];
  for (int step = 0; step < 64; ++step) {
    bool variant = (choices >> (step % 8)) & 1;
    int room = variant ? NUBRA_VARIANT_TEXT_MAX : NUBRA_MEMORY_BLOCK_MAX;
    std::memset(area, kFill, sizeof area);
    std::uint64_t before = Position(stream);
    LONG status = variant ? gfnIStreamReadVariant(stream, reinterpret_cast<char*>(area + kGuard))
                          : gfnIStreamReadMemoryBlock(stream, area + kGuard);
    if (!GuardsIntact(area, room)) std::abort();
    if (status < 0) {
      if (Position(stream) != before) std::abort();
      if (variant && choices & 0x80) break;
      // Skip one byte and try again, so that later values get read too.
      LARGE_INTEGER one;
      one.QuadPart = 1;
      stream->Seek(one, STREAM_SEEK_CUR, nullptr);
      if (Position(stream) > size) break;
      continue;
    }
    if (variant && std::memchr(area + kGuard, 0, NUBRA_VARIANT_TEXT_MAX) == nullptr) std::abort();
  }
  stream->Release();
  root->Release();
  return 0;
}
