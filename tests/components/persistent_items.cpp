// A component module serving persistent list items for the persistence tests
// and benchmarks:
//   CTestPersistentItem      offers SkwPersistentObject_Method
//   CTestPersistentItemB     a second class of the same kind
//   CTestPlainItem           offers no persistence at all
//   CTestFailingLoadItem     persistent, but its kwLoad always fails
// kwTestPersistentItems_Live() reports how many items are alive, so tests
// can see that the list freed what it owned.
#include <atomic>

#include <kwcore/CkwPersistentObject.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwComponent.h>
#include <kwcore/kwErrorCodes.h>

#include "persistent_items.h"

namespace {

std::atomic<int> g_nLive{0};

class CTestPersistentItem : public CkwServiceObject, public CkwPersistentObject {
  kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP() public : CTestPersistentItem() { ++g_nLive; }
  ~CTestPersistentItem() override { --g_nLive; }
};

class CTestPersistentItemB : public CTestPersistentItem {
  kwDECLARE_OBJECT_MAP()
};

class CTestPlainItem : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP() public : CTestPlainItem() { ++g_nLive; }
  ~CTestPlainItem() override { --g_nLive; }
};

class CTestFailingLoadItem : public CTestPersistentItem {
  kwDECLARE_OBJECT_MAP() public : bool kwLoad(IStorage*, CkwErrorInfo* pErrorInfo) override {
    if (pErrorInfo != nullptr) {
      pErrorInfo->m_nErrorCode = kwERROR_STREAM_READ_FAILED;
      pErrorInfo->m_nSeverity = kwSEVERITY_ERROR;
    }
    return false;
  }
};

kwBEGIN_OBJECT_MAP(CTestPersistentItem, CkwServiceObject,
                   CLSID_TestPersistentItem) kwOBJECT_ENTRY(&kwGUID_ObjectType, 9001)
    kwEND_OBJECT_MAP(CTestPersistentItem) kwBEGIN_SERVICE_MAP(CTestPersistentItem, CkwServiceObject)
        kwSERVICE_ENTRY(&IID_SkwPersistentObject_Method, CTestPersistentItem,
                        SkwPersistentObject_Method) kwEND_SERVICE_MAP(CTestPersistentItem)

            kwBEGIN_OBJECT_MAP(CTestPersistentItemB, CTestPersistentItem, CLSID_TestPersistentItemB)
                kwOBJECT_ENTRY(&kwGUID_ObjectType, 9002) kwEND_OBJECT_MAP(CTestPersistentItemB)

                    kwBEGIN_OBJECT_MAP(CTestPlainItem, CkwServiceObject, CLSID_TestPlainItem)
                        kwOBJECT_ENTRY(&kwGUID_ObjectType, 9003) kwEND_OBJECT_MAP(CTestPlainItem)

                            kwBEGIN_OBJECT_MAP(CTestFailingLoadItem, CTestPersistentItem,
                                               CLSID_TestFailingLoadItem)
                                kwEND_OBJECT_MAP(CTestFailingLoadItem)

}  // namespace

kwBEGIN_COMPONENT_MAP(CLSID_TestPersistentItem)
    kwCOMPONENT_CLASS(CLSID_TestPersistentItem, CTestPersistentItem)
        kwCOMPONENT_CLASS(CLSID_TestPersistentItemB, CTestPersistentItemB)
            kwCOMPONENT_CLASS(CLSID_TestPlainItem, CTestPlainItem)
                kwCOMPONENT_CLASS(CLSID_TestFailingLoadItem, CTestFailingLoadItem)
                    kwEND_COMPONENT_MAP()

                        extern "C" KW_VISIBILITY_DEFAULT int kwTestPersistentItems_Live() {
  return g_nLive.load();
}
