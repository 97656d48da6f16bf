#include "support/kwSaveDataDouble.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include <kwcore/Nubra.h>
#include <kwcore/kwLazyBinding.h>

namespace {

struct Helper {
  std::atomic<int> calls{0};
  std::atomic<int> failing{0};

  // True when this call is to fail; counts it either way.
  bool Fails() noexcept {
    calls.fetch_add(1);
    int left = failing.load();
    while (left > 0) {
      if (failing.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
  }
};

Helper g_clear;
Helper g_copy;

int Clear(SAVEDATA* pSaveData) { return g_clear.Fails() ? 0 : gfnClearVIO_SAVEDATA(pSaveData); }
int Copy(const SAVEDATA* pFrom, SAVEDATA* pTo) {
  return g_copy.Fails() ? 0 : gfnCopySAVEDATA(pFrom, pTo);
}

std::uintptr_t Notify(unsigned nCode, kwBindingInfo* pInfo) {
  if (nCode != 0 || pInfo->pszProcedure == nullptr) return 0;
  if (std::strcmp(pInfo->pszProcedure, "gfnClearVIO_SAVEDATA") == 0)
    return reinterpret_cast<std::uintptr_t>(&Clear);
  if (std::strcmp(pInfo->pszProcedure, "gfnCopySAVEDATA") == 0)
    return reinterpret_cast<std::uintptr_t>(&Copy);
  return 0;
}

const kwBindingHookTable g_table = {&Notify, nullptr};

// Installed when the test program starts, before anything binds Nubra.
const bool g_installed = [] {
  return setenv("GLOBAL_HOOK_ENVIRONMENT_STRING",
                std::to_string(reinterpret_cast<std::uintptr_t>(&g_table)).c_str(), 1) == 0;
}();

}  // namespace

kwTest::SaveDataCalls kwTest::SaveDataCallsMade() noexcept {
  return {g_clear.calls.load(), g_copy.calls.load()};
}
void kwTest::FailNextSaveDataClears(int count) noexcept { g_clear.failing.store(count); }
void kwTest::FailNextSaveDataCopies(int count) noexcept { g_copy.failing.store(count); }
