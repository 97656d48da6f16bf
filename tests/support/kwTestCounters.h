// Counters shared between the test component modules and the tests that
// load them: both link this one small library, so they see the same values.
#pragma once

#include <cstdint>

#include <kwcore/kwExport.h>

namespace kwTestCounters {

KW_VISIBILITY_DEFAULT void CountConstruction() noexcept;
KW_VISIBILITY_DEFAULT void CountDestruction() noexcept;
KW_VISIBILITY_DEFAULT void CountEntryCall() noexcept;

KW_VISIBILITY_DEFAULT std::int64_t Constructions() noexcept;
KW_VISIBILITY_DEFAULT std::int64_t Destructions() noexcept;
/// Calls of any test module's gkw_CreateComponent.
KW_VISIBILITY_DEFAULT std::int64_t EntryCalls() noexcept;

}  // namespace kwTestCounters
