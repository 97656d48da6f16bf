#include "kwBenchThing.h"

// clang-format off
kwBEGIN_OBJECT_MAP(CkwBenchThing, CkwServiceObject, CLSID_kwBenchThing)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 9500)
kwEND_OBJECT_MAP(CkwBenchThing)
    // clang-format on
