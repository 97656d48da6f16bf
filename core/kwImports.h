// The import seam: every call libkwcore makes into the in-house libraries
// (kwErrorHandle, Nubra and GUID creation) goes through these functions and
// nowhere else. Each call goes through the lazy binder's slot of its import
// (kwLazyBinder.h), so libkwcore does not link those libraries: the first
// call binds the import, and throws CkwBindingException when it cannot.
// Hence no function here is noexcept, nor may any caller up to the public
// operation be.
#pragma once

#include <kwcore/kwWinTypes.h>

struct CkwErrorInfo;
class CkwGlobalErrorManager;
struct IStorage;
struct IStream;
typedef struct tagSAVEDATA SAVEDATA;

namespace kwImport {

/// Constructs a CkwErrorInfo in `storage` (suitably sized and aligned).
CkwErrorInfo* ConstructErrorInfo(void* storage);
/// Runs the destructor of a record made by ConstructErrorInfo.
void DestroyErrorInfo(CkwErrorInfo* record);

CkwGlobalErrorManager* GetGlobalErrorManager();
void SetErrorInfo(CkwGlobalErrorManager* manager, const CkwErrorInfo* record);

// Nubra: negative results are failures.
LONG StorageCreate(IStorage* parent, const WCHAR* name, IStorage** child);
LONG StorageOpen(IStorage* parent, const WCHAR* name, IStorage** child);
LONG StreamCreate(IStorage* storage, const WCHAR* name, IStream** stream);
LONG StreamOpen(IStorage* storage, const WCHAR* name, IStream** stream);
LONG StreamWriteMemoryBlock(IStream* stream, int size, const void* bytes);
LONG StreamReadMemoryBlock(IStream* stream, void* buffer);
LONG StreamWriteVariant(IStream* stream, const char* text);
LONG StreamReadVariant(IStream* stream, char* buffer);

// GUID generation.
HRESULT CreateGuid(GUID* guid);
/// Nubra's gfnClearVIO_SAVEDATA: non-zero on success.
int ClearSaveData(SAVEDATA* record);
/// Nubra's gfnCopySAVEDATA (from, to): non-zero on success.
int CopySaveData(const SAVEDATA* from, SAVEDATA* to);

}  // namespace kwImport
