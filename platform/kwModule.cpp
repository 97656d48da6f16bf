// Module loading over dlopen, and the diagnostic callback that carries the
// loader's error text to the host.
#include "kwModule.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <kwcore/kwDiagnostics.h>

namespace {

std::mutex g_oCallbackLock;
kwDiagnosticCallback g_pfnCallback = nullptr;
void* g_pCallbackContext = nullptr;
// Read without the lock by kwDiagnosticsEnabled, the test on every path.
std::atomic<bool> g_bCallbackInstalled{false};

// KWCORE_DEBUG=1 sends every message to standard error as well; read once.
bool DebugOnStandardError() noexcept {
  static const bool on = [] {
    const char* value = std::getenv("KWCORE_DEBUG");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return on;
}

}  // namespace

void kwSetDiagnosticCallback(kwDiagnosticCallback pfnCallback, void* pContext) noexcept {
  std::lock_guard<std::mutex> lock(g_oCallbackLock);
  g_pfnCallback = pfnCallback;
  g_pCallbackContext = pContext;
  g_bCallbackInstalled.store(pfnCallback != nullptr, std::memory_order_relaxed);
}

bool kwDiagnosticsEnabled() noexcept {
  return g_bCallbackInstalled.load(std::memory_order_relaxed) || DebugOnStandardError();
}

void kwDiagnoseF(const char* pszFormat, ...) noexcept {
  if (!kwDiagnosticsEnabled() || pszFormat == nullptr) return;
  // A fixed buffer: a diagnostic must not fail for lack of memory.
  char message[2048];
  va_list arguments;
  va_start(arguments, pszFormat);
  std::vsnprintf(message, sizeof message, pszFormat, arguments);
  va_end(arguments);
  kwDiagnose(message);
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
  if (pszMessage == nullptr) return;
  if (callback != nullptr) callback(context, pszMessage);
  // One write per line, so that lines of several threads do not interleave.
  if (DebugOnStandardError()) std::fprintf(stderr, "kwcore: %s\n", pszMessage);
}

HMODULE kwLoadModule(const char* pszPath) noexcept {
  if (pszPath == nullptr || std::strchr(pszPath, '/') == nullptr) {
    kwDiagnoseF("module: %s: refused: a module path must contain a directory",
                pszPath != nullptr ? pszPath : "(null)");
    return nullptr;
  }
  // The loader opens the file without O_NONBLOCK: a FIFO would hang the
  // caller for good, holding the factory's lock. What is missing is left to
  // the loader, whose message says so.
  struct stat status;
  if (stat(pszPath, &status) == 0 && !S_ISREG(status.st_mode)) {
    kwDiagnoseF("module: %s: not a regular file", pszPath);
    return nullptr;
  }
  // RTLD_LOCAL: components must not see each other's symbols, and two of
  // them may define the same names. Never dlclose: objects and static data
  // of a module may outlive any request we could track.
  HMODULE module = dlopen(pszPath, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = dlerror();
    kwDiagnoseF("module: %s: %s", pszPath, reason != nullptr ? reason : "no reason given");
  } else {
    kwDiagnoseF("module: %s: loaded", pszPath);
  }
  return module;
}

void* kwGetModuleSymbol(HMODULE module, const char* pszName) noexcept {
  if (module == nullptr || pszName == nullptr) return nullptr;
  dlerror();  // clear a stale message, so that the one below is ours
  void* address = dlsym(module, pszName);
  if (address == nullptr) {
    const char* reason = dlerror();
    kwDiagnoseF("module: no symbol %s: %s", pszName,
                reason != nullptr ? reason : "no reason given");
  }
  return address;
}
