// Diagnostic messages from kwcore's platform layer.
//
// Failures that the API reports only as a code (a component module that does
// not load, a module without its creation entry) carry a reason that the
// code cannot hold: the dynamic loader's own text, for example a missing
// dependency or an unresolved symbol. Some events have no code to carry them
// at all: a root storage released with changes that were never committed
// (kwStorage.h) is told here, naming its file. kwcore writes such messages
// nowhere by default; a host that wants them installs a callback here.
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
