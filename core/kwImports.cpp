#include "kwImports.h"

#include <new>

#include <kwcore/CkwErrorInfo.h>

namespace kwImport {

CkwErrorInfo* ConstructErrorInfo(void* storage) noexcept { return new (storage) CkwErrorInfo; }

void DestroyErrorInfo(CkwErrorInfo* record) noexcept { record->~CkwErrorInfo(); }

CkwGlobalErrorManager* GetGlobalErrorManager() noexcept {
  return CkwGlobalErrorManager::kwGetGlobalErrorManager();
}

void SetErrorInfo(CkwGlobalErrorManager* manager, const CkwErrorInfo* record) noexcept {
  manager->kwSetErrorInfo(record);
}

}  // namespace kwImport
