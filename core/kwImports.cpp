#include "kwImports.h"

#include <atomic>
#include <new>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/Nubra.h>
#include <kwcore/kwWinApi.h>

#include "kwTestHooks.h"

namespace {

// Test hooks: calls counted, and failures forced, at the seam itself, so
// that the real library stays untouched.
std::atomic<int> g_nClears{0};
std::atomic<int> g_nCopies{0};
std::atomic<int> g_nFailingClears{0};
std::atomic<int> g_nFailingCopies{0};

bool ForcedFailure(std::atomic<int>& countdown) noexcept {
  int remaining = countdown.load(std::memory_order_relaxed);
  while (remaining > 0) {
    if (countdown.compare_exchange_weak(remaining, remaining - 1)) return true;
  }
  return false;
}

}  // namespace

namespace kwImport {

CkwErrorInfo* ConstructErrorInfo(void* storage) noexcept { return new (storage) CkwErrorInfo; }

void DestroyErrorInfo(CkwErrorInfo* record) noexcept { record->~CkwErrorInfo(); }

CkwGlobalErrorManager* GetGlobalErrorManager() noexcept {
  return CkwGlobalErrorManager::kwGetGlobalErrorManager();
}

void SetErrorInfo(CkwGlobalErrorManager* manager, const CkwErrorInfo* record) noexcept {
  manager->kwSetErrorInfo(record);
}

LONG StorageCreate(IStorage* parent, const WCHAR* name, IStorage** child) noexcept {
  return gfnIStorageCreate(parent, name, child);
}
LONG StorageOpen(IStorage* parent, const WCHAR* name, IStorage** child) noexcept {
  return gfnIStorageOpen(parent, name, child);
}
LONG StreamCreate(IStorage* storage, const WCHAR* name, IStream** stream) noexcept {
  return gfnIStreamCreate(storage, name, stream);
}
LONG StreamOpen(IStorage* storage, const WCHAR* name, IStream** stream) noexcept {
  return gfnIStreamOpen(storage, name, stream);
}
LONG StreamWriteMemoryBlock(IStream* stream, int size, const void* bytes) noexcept {
  return gfnIStreamWriteMemoryBlock(stream, size, bytes);
}
LONG StreamReadMemoryBlock(IStream* stream, void* buffer) noexcept {
  return gfnIStreamReadMemoryBlock(stream, buffer);
}
LONG StreamWriteVariant(IStream* stream, const char* text) noexcept {
  return gfnIStreamWriteVariant(stream, text);
}
LONG StreamReadVariant(IStream* stream, char* buffer) noexcept {
  return gfnIStreamReadVariant(stream, buffer);
}

HRESULT CreateGuid(GUID* guid) noexcept { return CoCreateGuid(guid); }
int ClearSaveData(SAVEDATA* record) noexcept {
  g_nClears.fetch_add(1, std::memory_order_relaxed);
  if (ForcedFailure(g_nFailingClears)) return 0;
  return gfnClearVIO_SAVEDATA(record);
}

int CopySaveData(const SAVEDATA* from, SAVEDATA* to) noexcept {
  g_nCopies.fetch_add(1, std::memory_order_relaxed);
  if (ForcedFailure(g_nFailingCopies)) return 0;
  return gfnCopySAVEDATA(from, to);
}

}  // namespace kwImport

kwTestHooks::SaveDataCalls kwTestHooks::GetSaveDataCalls() noexcept {
  return {g_nClears.load(), g_nCopies.load()};
}

void kwTestHooks::FailNextSaveDataClears(int count) noexcept {
  g_nFailingClears.store(count < 0 ? 0 : count);
}

void kwTestHooks::FailNextSaveDataCopies(int count) noexcept {
  g_nFailingCopies.store(count < 0 ? 0 : count);
}
