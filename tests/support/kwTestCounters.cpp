#include "kwTestCounters.h"

#include <atomic>

namespace {
std::atomic<std::int64_t> g_nConstructions{0};
std::atomic<std::int64_t> g_nDestructions{0};
std::atomic<std::int64_t> g_nEntryCalls{0};
}  // namespace

namespace kwTestCounters {
void CountConstruction() noexcept { g_nConstructions.fetch_add(1); }
void CountDestruction() noexcept { g_nDestructions.fetch_add(1); }
void CountEntryCall() noexcept { g_nEntryCalls.fetch_add(1); }
std::int64_t Constructions() noexcept { return g_nConstructions.load(); }
std::int64_t Destructions() noexcept { return g_nDestructions.load(); }
std::int64_t EntryCalls() noexcept { return g_nEntryCalls.load(); }
}  // namespace kwTestCounters
