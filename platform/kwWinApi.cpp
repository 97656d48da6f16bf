#include <kwcore/kwWinApi.h>

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "kwPosixFile.h"
#include "kwUtf8.h"

// ---------------------------------------------------------------------------
// Global memory: a registry of live blocks, so that a bogus handle or pointer
// is recognised and refused instead of being dereferenced.
namespace {

struct Block {
  SIZE_T size;
  UINT flags;
  unsigned locks;
  unsigned char* data;
};

struct Registry {
  std::mutex lock;
  std::unordered_map<const void*, Block*> byHandle;  // guarded by lock
  std::unordered_map<const void*, Block*> byData;    // guarded by lock
};

Registry& TheRegistry() noexcept {
  // Never destroyed: callers may free blocks from static destructors. Built
  // in static storage, so that the first use cannot run out of memory inside
  // the noexcept operations below.
  alignas(Registry) static unsigned char storage[sizeof(Registry)];
  static Registry* registry = ::new (storage) Registry;
  return *registry;
}

Block* FindByHandle(Registry& r, HGLOBAL handle) {
  auto it = r.byHandle.find(handle);
  return it == r.byHandle.end() ? nullptr : it->second;
}

}  // namespace

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) noexcept {
  Block* block = new (std::nothrow) Block{bytes, flags, 0, nullptr};
  if (block == nullptr) return nullptr;
  block->data = new (std::nothrow) unsigned char[bytes == 0 ? 1 : bytes];
  if (block->data == nullptr) {
    delete block;
    return nullptr;
  }
  if (flags & GMEM_ZEROINIT) std::memset(block->data, 0, bytes == 0 ? 1 : bytes);
  // A fixed block's handle is its address; a movable one gets a handle of its
  // own (the Block record), which is never the data address.
  HGLOBAL handle =
      (flags & GMEM_MOVEABLE) ? static_cast<HGLOBAL>(block) : static_cast<HGLOBAL>(block->data);
  Registry& r = TheRegistry();
  try {
    std::lock_guard guard(r.lock);
    r.byHandle.emplace(handle, block);
    try {
      r.byData.emplace(block->data, block);
    } catch (...) {
      r.byHandle.erase(handle);
      throw;
    }
  } catch (...) {
    delete[] block->data;
    delete block;
    return nullptr;
  }
  return handle;
}

LPVOID GlobalLock(HGLOBAL handle) noexcept {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  Block* block = FindByHandle(r, handle);
  if (block == nullptr) return nullptr;
  if (block->flags & GMEM_MOVEABLE) ++block->locks;
  return block->data;
}

BOOL GlobalUnlock(HGLOBAL handle) noexcept {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  Block* block = FindByHandle(r, handle);
  if (block == nullptr || block->locks == 0) return FALSE;
  return --block->locks > 0 ? TRUE : FALSE;
}

HGLOBAL GlobalHandle(const void* pointer) noexcept {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  auto it = r.byData.find(pointer);
  if (it == r.byData.end()) return nullptr;
  Block* block = it->second;
  return (block->flags & GMEM_MOVEABLE) ? static_cast<HGLOBAL>(block)
                                        : static_cast<HGLOBAL>(block->data);
}

HGLOBAL GlobalFree(HGLOBAL handle) noexcept {
  Block* block;
  {
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    block = FindByHandle(r, handle);
    if (block == nullptr) return handle;
    r.byHandle.erase(handle);
    r.byData.erase(block->data);
  }
  delete[] block->data;
  delete block;
  return nullptr;
}

SIZE_T GlobalSize(HGLOBAL handle) noexcept {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  Block* block = FindByHandle(r, handle);
  return block ? block->size : 0;
}

// ---------------------------------------------------------------------------
// UTF-8 to UTF-16.
int MultiByteToWideChar(UINT codePage, DWORD /*flags*/, LPCSTR text, int count, LPWSTR wide,
                        int wideCount) noexcept {
  if (text == nullptr || (codePage != CP_ACP && codePage != CP_UTF8) || count < -1 ||
      wideCount < 0 || (wideCount > 0 && wide == nullptr))
    return 0;
  int length = count == -1 ? static_cast<int>(std::strlen(text)) + 1 : count;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  int needed = 0;
  for (int i = 0; i < length;) {
    char32_t v;
    int used = kwDecodeUtf8(bytes + i, static_cast<std::size_t>(length - i), &v);
    if (used == 0) return 0;
    WCHAR units[2];
    int unitCount = kwEncodeUtf16(v, units);
    if (wideCount > 0) {
      if (needed + unitCount > wideCount) return 0;
      std::copy_n(units, unitCount, wide + needed);
    }
    needed += unitCount;
    i += used;
  }
  return needed;
}

// ---------------------------------------------------------------------------
// GUIDs: the kernel's random bytes, drawn for 128 GUIDs at a time per thread,
// since a system call per GUID dominated bulk creation. A fork child must not
// hand out what its parent will: the child discards every buffer.
namespace {

constexpr std::size_t kGuidsPerDraw = 128;

std::atomic<unsigned> g_forkGeneration{0};

struct RandomPool {
  BYTE bytes[16 * kGuidsPerDraw];
  std::size_t used = sizeof bytes;  // empty
  unsigned generation = 0;
};

thread_local RandomPool t_pool;

void OnForkChild() noexcept { g_forkGeneration.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

HRESULT CoCreateGuid(GUID* guid) noexcept {
  if (guid == nullptr) return E_POINTER;
  static const bool registered = pthread_atfork(nullptr, nullptr, OnForkChild) == 0;
  RandomPool& pool = t_pool;
  unsigned generation = g_forkGeneration.load(std::memory_order_relaxed);
  if (!registered || pool.generation != generation) pool.used = sizeof pool.bytes;
  if (pool.used == sizeof pool.bytes) {
    ssize_t filled = kwTransferFull(sizeof pool.bytes, [&](std::size_t done) {
      return getrandom(pool.bytes + done, sizeof pool.bytes - done, 0);
    });
    if (filled != static_cast<ssize_t>(sizeof pool.bytes)) return E_FAIL;
    pool.used = 0;
    pool.generation = generation;
  }
  BYTE* bytes = pool.bytes + pool.used;
  pool.used += 16;
  bytes[7] = static_cast<BYTE>((bytes[7] & 0x0F) | 0x40);  // version 4 (high nibble of Data3)
  bytes[8] = static_cast<BYTE>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  *guid = kwGUIDFromBytes(bytes);
  std::memset(bytes, 0, 16);  // handed out once only
  return S_OK;
}
