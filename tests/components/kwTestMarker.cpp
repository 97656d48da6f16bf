// Leaves a mark when loaded, proving where the factory looked.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include <kwcore/kwComponent.h>

#include "kwTestComponents.h"

namespace {

__attribute__((constructor)) void MarkLoaded() {
  const char* marker = std::getenv("KWTEST_MARKER_FILE");
  if (marker == nullptr) return;
  int fd = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

class CMarked : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP()
};

// clang-format off
kwBEGIN_OBJECT_MAP(CMarked, CkwServiceObject, CLSID_kwTestMarker)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 9100)
kwEND_OBJECT_MAP(CMarked)

const GUID kMarkerSource = CLSID_kwTestMarker;
// clang-format on

}  // namespace

// clang-format off
kwBEGIN_COMPONENT_MAP(kMarkerSource)
  kwCOMPONENT_CLASS(CLSID_kwTestMarker, CMarked)
kwEND_COMPONENT_MAP()
