// The component module of the factory benchmarks: CLSID_kwBenchThing and a
// family of CLSIDs, all served by CkwBenchThing.
#include <kwcore/kwComponent.h>

#include "kwBenchThing.h"

namespace {
const kwComponentClass kClasses[] = {
    {&CLSID_kwBenchThing, &CkwBenchThing::kwCreateObject},
    {nullptr, nullptr},
};
const GUID kSource = CLSID_kwBenchThing;

bool IsFamily(const GUID& clsid) {
  const GUID probe = kwBenchFamilyCLSID(0);
  GUID masked = clsid;
  masked.Data1 = 0;
  return masked == probe;
}
}  // namespace

kwCOMPONENT_ENTRY(pCLSID, ppObject, pErrorInfo) {
  if (pCLSID != nullptr && IsFamily(*pCLSID))
    return CkwBenchThing::kwCreateObject(ppObject, pErrorInfo);
  return kwCreateComponentFromMap(kClasses, &kSource, pCLSID, ppObject, pErrorInfo);
}
