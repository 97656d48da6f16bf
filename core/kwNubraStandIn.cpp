// TEMPORARY: the two SAVEDATA helpers, built into libkwcore only while
// libNubra is not part of the build (core/CMakeLists.txt picks this file when
// there is no Nubra target). They follow Nubra's documented contract; delete
// this file once libkwcore links libNubra.
#include <cstring>

#include <kwcore/Nubra.h>

extern "C" {

int gfnClearVIO_SAVEDATA(SAVEDATA* pSaveData) {
  if (pSaveData == nullptr) return 0;
  std::memset(pSaveData, 0, sizeof *pSaveData);
  return 1;
}

int gfnCopySAVEDATA(const SAVEDATA* pFrom, SAVEDATA* pTo) {
  if (pFrom == nullptr || pTo == nullptr) return 0;
  std::memmove(pTo, pFrom, sizeof *pTo);
  return 1;
}

}  // extern "C"
