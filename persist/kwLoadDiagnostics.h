// Diagnostics of loading persistent objects and lists: the records say only
// "cannot open" (code 27) or "inner operation failed" (code 3); these lines
// name the element or the class that was missing. Internal to kwcore.
#pragma once

#include <kwcore/kwStorage.h>
#include <kwcore/kwWinTypes.h>

#include "platform/kwModule.h"

/// "load: <who>: no <kind> "<name>"" when the element is missing, or the
/// status of any other failure to open it.
inline void kwDiagnoseOpenFailure(const char* who, const char* kind, const WCHAR* name,
                                  LONG status) noexcept {
  if (!kwDiagnosticsEnabled()) return;
  // Element names written by this library are ASCII.
  char text[64] = {};
  for (std::size_t i = 0; i + 1 < sizeof text && name[i] != 0; ++i)
    text[i] = name[i] < 0x80 ? static_cast<char>(name[i]) : '?';
  if (static_cast<HRESULT>(status) == STG_E_FILENOTFOUND)
    kwDiagnoseF("load: %s: no %s \"%s\" in the storage", who, kind, text);
  else
    kwDiagnoseF("load: %s: cannot open %s \"%s\" (status 0x%08X)", who, kind, text,
                static_cast<unsigned>(status));
}
