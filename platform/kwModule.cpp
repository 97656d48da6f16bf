// Module loading over dlopen, and the diagnostic callback that carries the
// loader's error text to the host.
#include "kwModule.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include <kwcore/kwDiagnostics.h>

namespace {

std::mutex g_oCallbackLock;
kwDiagnosticCallback g_pfnCallback = nullptr;
void* g_pCallbackContext = nullptr;

// Formats into a fixed buffer: a diagnostic must not fail for lack of memory.
void DiagnoseFormatted(const char* what, const char* path, const char* reason) noexcept {
  char message[2048];
  std::snprintf(message, sizeof message, "kwcore: %s '%s': %s", what, path,
                reason != nullptr ? reason : "no reason given");
  kwDiagnose(message);
}

}  // namespace

void kwSetDiagnosticCallback(kwDiagnosticCallback pfnCallback, void* pContext) noexcept {
  std::lock_guard<std::mutex> lock(g_oCallbackLock);
  g_pfnCallback = pfnCallback;
  g_pCallbackContext = pContext;
}

void kwDiagnose(const char* pszMessage) noexcept {
  kwDiagnosticCallback callback;
  void* context;
  {
    // Called outside the lock, so that a callback may install another one.
    std::lock_guard<std::mutex> lock(g_oCallbackLock);
    callback = g_pfnCallback;
    context = g_pCallbackContext;
  }
  if (callback != nullptr && pszMessage != nullptr) callback(context, pszMessage);
}

HMODULE kwLoadModule(const char* pszPath) noexcept {
  if (pszPath == nullptr || std::strchr(pszPath, '/') == nullptr) {
    DiagnoseFormatted("refused to load module", pszPath != nullptr ? pszPath : "(null)",
                      "a module path must contain a directory");
    return nullptr;
  }
  // The loader opens the file without O_NONBLOCK: a FIFO would hang the
  // caller for good, holding the factory's lock. What is missing is left to
  // the loader, whose message says so.
  struct stat status;
  if (stat(pszPath, &status) == 0 && !S_ISREG(status.st_mode)) {
    DiagnoseFormatted("cannot load module", pszPath, "not a regular file");
    return nullptr;
  }
  // RTLD_LOCAL: components must not see each other's symbols, and two of
  // them may define the same names. Never dlclose: objects and static data
  // of a module may outlive any request we could track.
  HMODULE module = dlopen(pszPath, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) DiagnoseFormatted("cannot load module", pszPath, dlerror());
  return module;
}

void* kwGetModuleSymbol(HMODULE module, const char* pszName) noexcept {
  if (module == nullptr || pszName == nullptr) return nullptr;
  dlerror();  // clear a stale message, so that the one below is ours
  void* address = dlsym(module, pszName);
  if (address == nullptr) DiagnoseFormatted("cannot find symbol", pszName, dlerror());
  return address;
}
