#include "kwImports.h"

#include <new>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/Nubra.h>
#include <kwcore/kwWinApi.h>

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
int ClearSaveData(SAVEDATA* record) noexcept { return gfnClearVIO_SAVEDATA(record); }
int CopySaveData(const SAVEDATA* from, SAVEDATA* to) noexcept { return gfnCopySAVEDATA(from, to); }

}  // namespace kwImport
