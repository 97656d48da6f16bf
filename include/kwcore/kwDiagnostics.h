// Diagnostic messages from kwcore's platform layer.
//
// Failures that the API reports only as a code (a component module that does
// not load, a module without its creation entry) carry a reason that the
// code cannot hold: the dynamic loader's own text, for example a missing
// dependency or an unresolved symbol; which registration files were searched
// for a CLSID and what each held (no such file, no section [COMPONENT], no
// such key, a key written with braces); how each creation ended; the class
// and the reason when a persistent list cannot re-create an item; the
// element that a load found missing; a root storage released with changes
// that were never committed (kwStorage.h), naming its file. One plain line each, such as
//     registration: /etc/app/components.ini: no section [COMPONENT]
//     module: /opt/app/libcomp.so: libdep.so.1: cannot open shared object file
//     create: {5A1C9E42-0D3B-4E8F-9A61-2B7C4D8E0F13}: its module did not load
// (docs/components.md lists them all).
//
// kwcore writes them nowhere by default; a host that wants them installs a
// callback here. Setting the environment variable KWCORE_DEBUG=1 also sends
// every message to standard error, prefixed "kwcore: ", without any change
// to the host. While neither is on, no message is even formatted. Error
// records are the same either way.
#pragma once

#include <kwcore/kwExport.h>

/// Receives one message, a NUL-terminated line without a trailing newline.
/// `pContext` is the pointer given to kwSetDiagnosticCallback. It may be
/// called from any thread that calls kwcore, also from several at once, and
/// must not throw. It may run while kwcore holds its locks (a module that
/// fails to load is reported during the creation that loads it), so it must
/// not wait for another thread that calls kwcore.
typedef void (*kwDiagnosticCallback)(void* pContext, const char* pszMessage);

/// Installs `pfnCallback` (null switches the messages off, the initial
/// state). Messages that are being delivered while the callback changes may
/// still reach the old one, so keep the old context alive until such calls
/// have returned.
KWPLATFORM_API void kwSetDiagnosticCallback(kwDiagnosticCallback pfnCallback,
                                            void* pContext) noexcept;
