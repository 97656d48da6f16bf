// An entry failing in each way the factory must tell apart.
#include <kwcore/kwComponent.h>
#include <kwcore/kwErrorCodes.h>

#include "kwTestComponents.h"
#include "support/kwTestCounters.h"

namespace {

class CLeftBehind : public CkwServiceObject {
 public:
  CLeftBehind() noexcept { kwTestCounters::CountConstruction(); }

 protected:
  ~CLeftBehind() override { kwTestCounters::CountDestruction(); }
};

void Report(CkwErrorInfo* record, std::int32_t code, std::int32_t severity) {
  record->m_pCategory = &kwGUID_ErrorCategoryGeneral;
  record->m_pSource = &kwTestFailingSource;
  record->m_nErrorCode = code;
  record->m_nSeverity = severity;
  record->m_nMethod = kwTestFailingMethod;
  record->m_nLine = __LINE__;
}

}  // namespace

kwCOMPONENT_ENTRY(pCLSID, ppObject, pErrorInfo) {
  kwTestCounters::CountEntryCall();
  const GUID& clsid = *pCLSID;
  if (clsid == CLSID_kwTestWarnsWithObject || clsid == CLSID_kwTestErrsWithObject)
    *ppObject = new (std::nothrow) CLeftBehind;
  if (clsid == CLSID_kwTestWarnsWithObject) {
    Report(pErrorInfo, kwTestFailingWarningCode, kwSEVERITY_WARNING);
  } else if (clsid == CLSID_kwTestErrsWithObject) {
    Report(pErrorInfo, kwTestFailingErrorCode, kwSEVERITY_ERROR);
  }
  // Silent: severity 0 and nothing stored, though it returns false.
  return false;
}
