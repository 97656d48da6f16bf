// The import seam: every call libkwcore makes into the in-house libraries
// (kwErrorHandle now; Nubra and GUID creation later) goes through these
// functions and nowhere else. Binding those libraries on first call instead
// of at link time then means changing this seam only.
#pragma once

#include <kwcore/kwWinTypes.h>

struct CkwErrorInfo;
class CkwGlobalErrorManager;
struct IStorage;
struct IStream;
typedef struct tagSAVEDATA SAVEDATA;

namespace kwImport {

/// Constructs a CkwErrorInfo in `storage` (suitably sized and aligned).
CkwErrorInfo* ConstructErrorInfo(void* storage) noexcept;
/// Runs the destructor of a record made by ConstructErrorInfo.
void DestroyErrorInfo(CkwErrorInfo* record) noexcept;

CkwGlobalErrorManager* GetGlobalErrorManager() noexcept;
void SetErrorInfo(CkwGlobalErrorManager* manager, const CkwErrorInfo* record) noexcept;

// Nubra: negative results are failures.
LONG StorageCreate(IStorage* parent, const WCHAR* name, IStorage** child) noexcept;
LONG StorageOpen(IStorage* parent, const WCHAR* name, IStorage** child) noexcept;
LONG StreamCreate(IStorage* storage, const WCHAR* name, IStream** stream) noexcept;
LONG StreamOpen(IStorage* storage, const WCHAR* name, IStream** stream) noexcept;
LONG StreamWriteMemoryBlock(IStream* stream, int size, const void* bytes) noexcept;
LONG StreamReadMemoryBlock(IStream* stream, void* buffer) noexcept;
LONG StreamWriteVariant(IStream* stream, const char* text) noexcept;
LONG StreamReadVariant(IStream* stream, char* buffer) noexcept;

// GUID generation.
HRESULT CreateGuid(GUID* guid) noexcept;
/// Nubra's gfnClearVIO_SAVEDATA: non-zero on success.
int ClearSaveData(SAVEDATA* record) noexcept;
/// Nubra's gfnCopySAVEDATA (from, to): non-zero on success.
int CopySaveData(const SAVEDATA* from, SAVEDATA* to) noexcept;

}  // namespace kwImport
