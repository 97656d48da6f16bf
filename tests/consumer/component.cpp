// A component module built against the installed package only, as
// docs/components.md describes.
#include <kwcore/kwcore.h>

#include "consumer.h"

namespace {

class CConsumerComponentThing : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP()
};

// clang-format off
kwBEGIN_OBJECT_MAP(CConsumerComponentThing, CkwServiceObject, CLSID_ConsumerComponentThing)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 43)
kwEND_OBJECT_MAP(CConsumerComponentThing)
// clang-format on

}  // namespace

// clang-format off
kwBEGIN_COMPONENT_MAP(CLSID_ConsumerComponentThing)
  kwCOMPONENT_CLASS(CLSID_ConsumerComponentThing, CConsumerComponentThing)
kwEND_COMPONENT_MAP()
    // clang-format on
