// A component module serving list items for the persistence tests and
// benchmarks: two persistent classes and one without persistence.
// kwTestPersistentItems_Live() reports how many items are alive, so tests can
// see that a list freed what it owned, once.
#include <atomic>

#include <kwcore/CkwPersistentObject.h>
#include <kwcore/kwComponent.h>

#include "persistent_items.h"

namespace {

std::atomic<int> g_nLive{0};

struct Live {
  Live() { ++g_nLive; }
  ~Live() { --g_nLive; }
};

class CTestPersistentItem : public CkwServiceObject, public CkwPersistentObject {
  kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP() Live m_live;
};
class CTestPersistentItemB : public CTestPersistentItem {
  kwDECLARE_OBJECT_MAP()
};
class CTestPlainItem : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP() Live m_live;
};

// clang-format off
kwBEGIN_OBJECT_MAP(CTestPersistentItem, CkwServiceObject, CLSID_TestPersistentItem)
kwEND_OBJECT_MAP(CTestPersistentItem)
kwBEGIN_SERVICE_MAP(CTestPersistentItem, CkwServiceObject)
  kwSERVICE_ENTRY(&IID_SkwPersistentObject_Method, CTestPersistentItem, SkwPersistentObject_Method)
kwEND_SERVICE_MAP(CTestPersistentItem)
kwBEGIN_OBJECT_MAP(CTestPersistentItemB, CTestPersistentItem, CLSID_TestPersistentItemB)
kwEND_OBJECT_MAP(CTestPersistentItemB)
kwBEGIN_OBJECT_MAP(CTestPlainItem, CkwServiceObject, CLSID_TestPlainItem)
kwEND_OBJECT_MAP(CTestPlainItem)
// clang-format on

}  // namespace

// clang-format off
kwBEGIN_COMPONENT_MAP(CLSID_TestPersistentItem)
  kwCOMPONENT_CLASS(CLSID_TestPersistentItem, CTestPersistentItem)
  kwCOMPONENT_CLASS(CLSID_TestPersistentItemB, CTestPersistentItemB)
  kwCOMPONENT_CLASS(CLSID_TestPlainItem, CTestPlainItem)
kwEND_COMPONENT_MAP()
    // clang-format on

    extern "C" KW_VISIBILITY_DEFAULT int kwTestPersistentItems_Live() {
  return g_nLive.load();
}
