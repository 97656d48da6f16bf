// Hooks that let kwcore's own tests force failures that cannot be provoked
// honestly (running out of memory). Not installed; not part of the API.
#pragma once

#include <kwcore/kwExport.h>

namespace kwTestHooks {

/// The next `count` object allocations made by generated kwCreateObject
/// functions fail as if memory were exhausted. 0 switches the hook off.
KWCORE_API void FailNextAllocations(int count) noexcept;

}  // namespace kwTestHooks
