// The import seam: every call libkwcore makes into the in-house libraries
// (kwErrorHandle now; Nubra and GUID creation later) goes through these
// functions and nowhere else. Binding those libraries on first call instead
// of at link time then means changing this seam only.
#pragma once

struct CkwErrorInfo;
class CkwGlobalErrorManager;
typedef struct tagSAVEDATA SAVEDATA;

namespace kwImport {

/// Constructs a CkwErrorInfo in `storage` (suitably sized and aligned).
CkwErrorInfo* ConstructErrorInfo(void* storage) noexcept;
/// Runs the destructor of a record made by ConstructErrorInfo.
void DestroyErrorInfo(CkwErrorInfo* record) noexcept;

CkwGlobalErrorManager* GetGlobalErrorManager() noexcept;
void SetErrorInfo(CkwGlobalErrorManager* manager, const CkwErrorInfo* record) noexcept;

/// Nubra's gfnClearVIO_SAVEDATA: non-zero on success.
int ClearSaveData(SAVEDATA* record) noexcept;
/// Nubra's gfnCopySAVEDATA (from, to): non-zero on success.
int CopySaveData(const SAVEDATA* from, SAVEDATA* to) noexcept;

}  // namespace kwImport
