// Creates its own class through the factory while dlopen loads it.
#include <kwcore/CkwObjectFactory.h>
#include <kwcore/kwComponent.h>

#include "kwTestComponents.h"
#include "support/kwTestCounters.h"

namespace {

class CLoadTimeThing : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP()

      protected : CLoadTimeThing() noexcept {
    kwTestCounters::CountConstruction();
  }
  ~CLoadTimeThing() override { kwTestCounters::CountDestruction(); }
};

// clang-format off
kwBEGIN_OBJECT_MAP(CLoadTimeThing, CkwServiceObject, CLSID_kwTestLoadTimeCreation)
kwEND_OBJECT_MAP(CLoadTimeThing)

struct CreateOneAtLoad {
  CreateOneAtLoad() {
    CkwServiceObject* object = nullptr;
    CkwObjectFactory::kwCreateObject(&CLSID_kwTestLoadTimeCreation, &object, nullptr);
    if (object != nullptr) CkwObjectFactory::kwFreeObject(&object, nullptr);
  }
} g_createOneAtLoad;

}  // namespace

kwBEGIN_COMPONENT_MAP(kwTestLoadTimeSource)
  kwCOMPONENT_CLASS(CLSID_kwTestLoadTimeCreation, CLoadTimeThing)
kwEND_COMPONENT_MAP()
    // clang-format on
