// Hooks that let kwcore's own tests force failures that cannot be provoked
// honestly (running out of memory) and look into state that the API keeps
// private (the factory's search table). Not installed; not part of the API.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

namespace kwTestHooks {

/// The next `count` guarded allocations fail as if memory were exhausted. 0
/// switches the hook off. Guarded: objects made by generated kwCreateObject
/// functions, string-list texts, records made by kwClone, encoder-settings
/// blocks of disc templates.
KWCORE_API void FailNextAllocations(int count) noexcept;

/// The factory's search table, most recently used CLSID first.
KWCORE_API std::vector<GUID> SearchTable();
/// True when the two lists of the search table have the same length and its
/// index agrees with them position by position.
KWCORE_API bool SearchTableConsistent();
/// The registration file list, in search order.
KWCORE_API std::vector<std::string> RegistrationFiles();
/// How many times the factory has searched the registration files (once per
/// CLSID missing from the search table) since the process started.
KWCORE_API std::uint64_t RegistrationSearchCount() noexcept;
/// Back to the state at load: empty table, empty list, default search on.
/// Loaded modules stay loaded.
KWCORE_API void ResetObjectFactory();
/// Empties the search table only (benchmarks of the cold table).
KWCORE_API void ClearSearchTable();
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
