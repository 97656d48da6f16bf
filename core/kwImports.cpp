#include "kwImports.h"

#include <new>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/Nubra.h>

#include "kwLazyBinder.h"

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
  return lazy::Call<lazy::kClearSaveData, decltype(gfnClearVIO_SAVEDATA)>(record);
}

int CopySaveData(const SAVEDATA* from, SAVEDATA* to) {
  return lazy::Call<lazy::kCopySaveData, decltype(gfnCopySAVEDATA)>(from, to);
}

}  // namespace kwImport
