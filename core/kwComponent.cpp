// The helper behind component modules' creation entries (kwComponent.h).
#include <kwcore/kwComponent.h>

#include "CkwWorkingRecord.h"

bool kwCreateComponentFromMap(const kwComponentClass* table, const GUID* pSource,
                              const GUID* pCLSID, CkwServiceObject** ppObject,
                              CkwErrorInfo* pErrorInfo) {
  // Reports under the module's own source GUID, not kwcore's.
  CkwWorkingRecord record(pErrorInfo, pSource != nullptr ? *pSource : GUID_NULL,
                          kwMETHOD_COMPONENT_CREATE);
  if (pCLSID == nullptr || ppObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  for (const kwComponentClass* entry = table; entry != nullptr && entry->pCLSID != nullptr;
       ++entry) {
    // A class whose constructor allocates may throw bad_alloc even from a
    // nothrow new; it must not cross this noexcept entry.
    if (IsEqualGUID(*entry->pCLSID, *pCLSID))
      return record.Guard([&] { return entry->pfnCreate(ppObject, record.get()); });
  }
  return kwFAIL(record, kwERROR_COMPONENT_NOT_AVAILABLE);
}
