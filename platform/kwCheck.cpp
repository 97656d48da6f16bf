// The reader-side check of a compound file on disk: the reader's own checks,
// run to the end of the file and reported one by one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>

#include <kwcore/kwStorage.h>

#include "CkwCompoundFile.h"
#include "kwAtomicFile.h"
#include "kwPosixFile.h"

KWPLATFORM_API HRESULT kwCheckCompoundFile(const char* pszPath, kwCheckCallback pfnProblem,
                                           void* pContext) noexcept {
  if (!pszPath) return STG_E_INVALIDPOINTER;
  // A FIFO without a writer must not hold the check up: it is refused below.
  struct stat st;
  CkwFd fd(kwOpenWithoutBlocking(pszPath, &st));
  if (fd.get() < 0)
    return errno == ENOENT || errno == ENOTDIR ? STG_E_FILENOTFOUND : STG_E_ACCESSDENIED;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? STG_E_ACCESSDENIED : STG_E_INVALIDHEADER;
  return kwcfb::Guarded([&]() -> HRESULT {
    auto source = std::make_shared<kwcfb::Source>(fd.get(), static_cast<std::uint64_t>(st.st_size));
    fd.Release();
    bool reported = false;
    HRESULT hr = kwcfb::Check(source, [&](std::uint64_t offset, const char* problem) {
      reported = true;
      if (pfnProblem) pfnProblem(pContext, offset, problem);
    });
    if (hr == STG_E_INVALIDHEADER || SUCCEEDED(hr)) return hr;
    if (hr == STG_E_INSUFFICIENTMEMORY && !reported) return hr;
    if (!reported && pfnProblem) pfnProblem(pContext, UINT64_MAX, "the file cannot be read");
    return STG_E_DOCFILECORRUPT;
  });
}
