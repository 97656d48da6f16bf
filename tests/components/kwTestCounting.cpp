// A counted test class and family: tests see that the module made an object and freed it once.
#include <kwcore/kwComponent.h>

#include "kwTestComponents.h"
#include "support/kwTestCounters.h"

namespace {

class CCounted : public CkwServiceObject {
 protected:
  CCounted() noexcept { kwTestCounters::CountConstruction(); }
  ~CCounted() override { kwTestCounters::CountDestruction(); }
};

class CCountedA : public CCounted {
  kwDECLARE_OBJECT_MAP()
};

// clang-format off
kwBEGIN_OBJECT_MAP(CCountedA, CkwServiceObject, CLSID_kwTestCountedA)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 9001)
kwEND_OBJECT_MAP(CCountedA)

class CCountedFamily : public CCounted {
 public:
  explicit CCountedFamily(const GUID& clsid) noexcept : m_clsid(clsid) {}
  bool kwGetCLSID(GUID* pCLSID, CkwErrorInfo* pErrorInfo) override {
    return kwServiceObjectDetail::CopyCLSID(m_clsid, pCLSID, pErrorInfo);
  }

 private:
  GUID m_clsid;
};
// clang-format on

const kwComponentClass kClasses[] = {
    {&CLSID_kwTestCountedA, &CCountedA::kwCreateObject},
    {nullptr, nullptr},
};

}  // namespace

kwCOMPONENT_ENTRY(pCLSID, ppObject, pErrorInfo) {
  kwTestCounters::CountEntryCall();
  if (pCLSID != nullptr && ppObject != nullptr && kwTestIsFamilyCLSID(*pCLSID)) {
    *ppObject = new (std::nothrow) CCountedFamily(*pCLSID);
    if (*ppObject != nullptr) return true;
  }
  return kwCreateComponentFromMap(kClasses, &kwTestCountingSource, pCLSID, ppObject, pErrorInfo);
}
