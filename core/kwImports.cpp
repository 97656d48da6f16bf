#include "kwImports.h"

#include <atomic>
#include <new>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/Nubra.h>

#include "kwLazyBinder.h"
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

namespace lazy = kwLazyBinder;

// The C++ members of kwErrorHandle are called as the ABI calls them: the
// object first.
using ErrorInfoConstructor = void(CkwErrorInfo*);
using ErrorInfoDestructor = void(CkwErrorInfo*);
using GetGlobalErrorManagerFunction = CkwGlobalErrorManager*();
using SetErrorInfoFunction = void(CkwGlobalErrorManager*, const CkwErrorInfo*);
// Called as a function that may throw, whatever it declares: its thunk binds.
using CreateGuidFunction = HRESULT(GUID*);

CkwErrorInfo* ConstructErrorInfo(void* storage) {
  auto* record = static_cast<CkwErrorInfo*>(storage);
  lazy::Call<lazy::kErrorInfoConstructor, ErrorInfoConstructor>(record);
  return std::launder(record);
}

void DestroyErrorInfo(CkwErrorInfo* record) {
  lazy::Call<lazy::kErrorInfoDestructor, ErrorInfoDestructor>(record);
}

CkwGlobalErrorManager* GetGlobalErrorManager() {
  return lazy::Call<lazy::kGetGlobalErrorManager, GetGlobalErrorManagerFunction>();
}

void SetErrorInfo(CkwGlobalErrorManager* manager, const CkwErrorInfo* record) {
  lazy::Call<lazy::kSetErrorInfo, SetErrorInfoFunction>(manager, record);
}

LONG StorageCreate(IStorage* parent, const WCHAR* name, IStorage** child) {
  return lazy::Call<lazy::kStorageCreate, decltype(gfnIStorageCreate)>(parent, name, child);
}
LONG StorageOpen(IStorage* parent, const WCHAR* name, IStorage** child) {
  return lazy::Call<lazy::kStorageOpen, decltype(gfnIStorageOpen)>(parent, name, child);
}
LONG StreamCreate(IStorage* storage, const WCHAR* name, IStream** stream) {
  return lazy::Call<lazy::kStreamCreate, decltype(gfnIStreamCreate)>(storage, name, stream);
}
LONG StreamOpen(IStorage* storage, const WCHAR* name, IStream** stream) {
  return lazy::Call<lazy::kStreamOpen, decltype(gfnIStreamOpen)>(storage, name, stream);
}
LONG StreamWriteMemoryBlock(IStream* stream, int size, const void* bytes) {
  return lazy::Call<lazy::kStreamWriteMemoryBlock, decltype(gfnIStreamWriteMemoryBlock)>(
      stream, size, bytes);
}
LONG StreamReadMemoryBlock(IStream* stream, void* buffer) {
  return lazy::Call<lazy::kStreamReadMemoryBlock, decltype(gfnIStreamReadMemoryBlock)>(stream,
                                                                                       buffer);
}
LONG StreamWriteVariant(IStream* stream, const char* text) {
  return lazy::Call<lazy::kStreamWriteVariant, decltype(gfnIStreamWriteVariant)>(stream, text);
}
LONG StreamReadVariant(IStream* stream, char* buffer) {
  return lazy::Call<lazy::kStreamReadVariant, decltype(gfnIStreamReadVariant)>(stream, buffer);
}

HRESULT CreateGuid(GUID* guid) { return lazy::Call<lazy::kCreateGuid, CreateGuidFunction>(guid); }

int ClearSaveData(SAVEDATA* record) {
  g_nClears.fetch_add(1, std::memory_order_relaxed);
  if (ForcedFailure(g_nFailingClears)) return 0;
  return lazy::Call<lazy::kClearSaveData, decltype(gfnClearVIO_SAVEDATA)>(record);
}

int CopySaveData(const SAVEDATA* from, SAVEDATA* to) {
  g_nCopies.fetch_add(1, std::memory_order_relaxed);
  if (ForcedFailure(g_nFailingCopies)) return 0;
  return lazy::Call<lazy::kCopySaveData, decltype(gfnCopySAVEDATA)>(from, to);
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
