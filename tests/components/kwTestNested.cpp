// Creates through the factory from inside its entry: the lock is taken twice.
#include <kwcore/CkwObjectFactory.h>
#include <kwcore/kwComponent.h>
#include <kwcore/kwErrorCodes.h>

#include "kwTestComponents.h"
#include "support/kwTestCounters.h"

namespace {

class COuter : public CkwServiceObject {
 public:
  COuter() noexcept { kwTestCounters::CountConstruction(); }
  CkwServiceObject* m_pInner = nullptr;  // owned; made by the counting module

 protected:
  ~COuter() override {
    if (m_pInner != nullptr) CkwObjectFactory::kwFreeObject(&m_pInner, nullptr);
    kwTestCounters::CountDestruction();
  }
};

void Report(CkwErrorInfo* record, std::int32_t code, std::int32_t severity) {
  record->m_pCategory = &kwGUID_ErrorCategoryGeneral;
  record->m_pSource = &kwTestNestedSource;
  record->m_nErrorCode = code;
  record->m_nSeverity = severity;
  record->m_nMethod = kwMETHOD_COMPONENT_CREATE;
  record->m_nLine = __LINE__;
}

}  // namespace

kwCOMPONENT_ENTRY(pCLSID, ppObject, pErrorInfo) {
  kwTestCounters::CountEntryCall();
  const GUID* inner = nullptr;
  if (*pCLSID == CLSID_kwTestNestedOuter) inner = &CLSID_kwTestCountedA;
  if (*pCLSID == CLSID_kwTestNestedOuterOfUnknown) inner = &CLSID_kwTestUnknown;
  if (inner == nullptr) {
    Report(pErrorInfo, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING);
    return false;
  }
  COuter* outer = new (std::nothrow) COuter;
  if (outer == nullptr) {
    Report(pErrorInfo, kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR);
    return false;
  }
  CkwErrorInfo innerRecord;
  if (!CkwObjectFactory::kwCreateObject(inner, &outer->m_pInner, &innerRecord)) {
    CkwServiceObject* base = outer;
    CkwObjectFactory::kwFreeObject(&base, nullptr);
    Report(pErrorInfo, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_ERROR);
    return false;
  }
  *ppObject = outer;
  return true;
}
