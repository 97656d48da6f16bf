// Hooks that let kwcore's own tests force failures that cannot be provoked
// honestly (running out of memory). Not installed; not part of the API.
#pragma once

#include <kwcore/kwExport.h>

namespace kwTestHooks {

/// The next `count` guarded allocations fail as if memory were exhausted. 0
/// switches the hook off. Guarded: objects made by generated kwCreateObject
/// functions, string-list texts, records made by kwClone, encoder-settings
/// blocks of disc templates.
KWCORE_API void FailNextAllocations(int count) noexcept;

/// Lets `allowed` guarded allocations succeed, then fails the `count` after
/// them: reaches a failure in the middle of a multi-step operation.
KWCORE_API void FailAllocationsAfter(int allowed, int count) noexcept;

/// How often libkwcore has called Nubra's SAVEDATA helpers since it was
/// loaded (forced failures included).
struct SaveDataCalls {
  int clears;
  int copies;
};
KWCORE_API SaveDataCalls GetSaveDataCalls() noexcept;

/// The next `count` calls of gfnClearVIO_SAVEDATA, or of gfnCopySAVEDATA,
/// made through the import seam return 0 without reaching Nubra. 0 switches
/// the hook off.
KWCORE_API void FailNextSaveDataClears(int count) noexcept;
KWCORE_API void FailNextSaveDataCopies(int count) noexcept;

}  // namespace kwTestHooks
