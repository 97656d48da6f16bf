#include "support/kwFailingAllocation.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int> g_nCountdown{0};

bool FailsNow() noexcept {
  int left = g_nCountdown.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_nCountdown.compare_exchange_weak(left, left - 1)) return left == 1;
  }
  return false;
}

void* Allocate(std::size_t size) noexcept {
  return FailsNow() ? nullptr : std::malloc(size == 0 ? 1 : size);
}

void* Allocate(std::size_t size, std::align_val_t alignment) noexcept {
  void* block = nullptr;
  std::size_t align = static_cast<std::size_t>(alignment);
  if (align < sizeof(void*)) align = sizeof(void*);
  if (FailsNow() || posix_memalign(&block, align, size == 0 ? 1 : size) != 0) return nullptr;
  return block;
}

template <class... Alignment>
void* AllocateOrThrow(std::size_t size, Alignment... alignment) {
  if (void* block = Allocate(size, alignment...)) return block;
  throw std::bad_alloc();
}

}  // namespace

void kwTest::FailAllocation(int n) noexcept { g_nCountdown.store(n < 0 ? 0 : n); }
int kwTest::PendingAllocationFailure() noexcept { return g_nCountdown.load(); }

using std::align_val_t;
using std::nothrow_t;
using std::size_t;

void* operator new(size_t size) { return AllocateOrThrow(size); }
void* operator new[](size_t size) { return AllocateOrThrow(size); }
void* operator new(size_t size, align_val_t al) { return AllocateOrThrow(size, al); }
void* operator new[](size_t size, align_val_t al) { return AllocateOrThrow(size, al); }
void* operator new(size_t size, const nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const nothrow_t&) noexcept { return Allocate(size); }
void* operator new(size_t size, align_val_t al, const nothrow_t&) noexcept {
  return Allocate(size, al);
}
void* operator new[](size_t size, align_val_t al, const nothrow_t&) noexcept {
  return Allocate(size, al);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, align_val_t) noexcept { std::free(block); }
void operator delete(void* block, size_t, align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t, align_val_t) noexcept { std::free(block); }
void operator delete(void* block, const nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, align_val_t, const nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, align_val_t, const nothrow_t&) noexcept { std::free(block); }
