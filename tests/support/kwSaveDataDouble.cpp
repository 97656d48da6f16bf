#include "support/kwSaveDataDouble.h"

#include <dlfcn.h>

#include <atomic>

#include <kwcore/Nubra.h>

namespace {

struct Helper {
  const char* name;
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
  // Nubra's own definition: the next one after the executable's.
  template <class Function>
  Function Real() const noexcept {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
  }
};

Helper g_clear{"gfnClearVIO_SAVEDATA"};
Helper g_copy{"gfnCopySAVEDATA"};

}  // namespace

kwTest::SaveDataCalls kwTest::SaveDataCallsMade() noexcept {
  return {g_clear.calls.load(), g_copy.calls.load()};
}
void kwTest::FailNextSaveDataClears(int count) noexcept { g_clear.failing.store(count); }
void kwTest::FailNextSaveDataCopies(int count) noexcept { g_copy.failing.store(count); }

extern "C" {

NUBRA_API int gfnClearVIO_SAVEDATA(SAVEDATA* pSaveData) {
  if (g_clear.Fails()) return 0;
  return g_clear.Real<int (*)(SAVEDATA*)>()(pSaveData);
}

NUBRA_API int gfnCopySAVEDATA(const SAVEDATA* pFrom, SAVEDATA* pTo) {
  if (g_copy.Fails()) return 0;
  return g_copy.Real<int (*)(const SAVEDATA*, SAVEDATA*)>()(pFrom, pTo);
}

}  // extern "C"
