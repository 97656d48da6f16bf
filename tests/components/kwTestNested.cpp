// A module whose object, while being created inside the entry, creates
// another object through the factory: the factory's lock is then taken a
// second time by the same thread.
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
  // The inner creation gets a record of its own: the one we were handed is
  // the factory's and must carry our verdict, not the inner one's.
  CkwErrorInfo innerRecord;
  if (!CkwObjectFactory::kwCreateObject(inner, &outer->m_pInner, &innerRecord)) {
    CkwServiceObject* base = outer;
    CkwObjectFactory::kwFreeObject(&base, nullptr);
    // A partner object that could not be created.
    Report(pErrorInfo, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_ERROR);
    return false;
  }
  *ppObject = outer;
  return true;
}
