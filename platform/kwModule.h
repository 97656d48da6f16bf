// Loading component modules. Internal to kwcore: the object factory is the
// only caller.
#pragma once

#include <kwcore/kwExport.h>

/// A loaded module, as dlopen hands it out. Loading the same file again
/// yields the same handle. Modules are never unloaded.
typedef void* HMODULE;

/// Loads the module at `pszPath` with every symbol bound now and none made
/// global. The path must name a directory (contain a "/"): a bare name would
/// send the loader through LD_LIBRARY_PATH, the cache and the default
/// directories, where anyone may have planted a file of that name, so it is
/// refused. So is a path that names anything but a regular file: the loader
/// would wait for ever on a FIFO. Every load is reported to the diagnostic
/// callback (kwDiagnostics.h): "module: <path>: loaded", or the reason.
KWPLATFORM_API HMODULE kwLoadModule(const char* pszPath) noexcept;

/// The address of the exported symbol `pszName` of `module`, or null (the
/// loader's reason then goes to the diagnostic callback).
KWPLATFORM_API void* kwGetModuleSymbol(HMODULE module, const char* pszName) noexcept;

/// Sends one message to the diagnostic callback, if one is installed, and to
/// standard error when the environment sets KWCORE_DEBUG=1.
KWPLATFORM_API void kwDiagnose(const char* pszMessage) noexcept;

/// Whether a diagnostic would reach anyone. Callers test it before they
/// build a message, so that diagnostics cost one load while nobody listens.
KWPLATFORM_API bool kwDiagnosticsEnabled() noexcept;

/// Formats one message (printf rules, cut to 2 KiB) and sends it, unless
/// nobody listens.
KWPLATFORM_API void kwDiagnoseF(const char* pszFormat, ...) noexcept
    __attribute__((format(printf, 1, 2)));
