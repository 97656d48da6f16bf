// kw check: what a person runs on a project file that will not open. First
// the reader's structural checks over the whole file (kwCheckCompoundFile),
// then, on a sound file, kwcore's own layouts: a list whose count outruns its
// CLSIDs or items, a persistent object or proxy stream that does not decode.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "kwTool.h"

namespace kwtool {
namespace {

constexpr int kExitDamaged = 1;
constexpr int kExitUnreadable = 2;

struct SProblem {
  std::uint64_t offset;
  std::string text;
};

void Collect(void* pContext, std::uint64_t offset, const char* pszProblem) {
  static_cast<std::vector<SProblem>*>(pContext)->push_back({offset, pszProblem});
}

void Print(const SProblem& problem) {
  if (problem.offset == UINT64_MAX)
    std::printf("  (no single offset)        %s\n", problem.text.c_str());
  else
    std::printf("  offset 0x%08" PRIx64 " (%10" PRIu64 ")  %s\n", problem.offset, problem.offset,
                problem.text.c_str());
}

}  // namespace

int RunCheck(const std::vector<std::string>& args) {
  if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-'))
    return UsageError("check", "give one FILE");
  const std::string& file = args[0];

  // The reader's checks run on a second thread, so that the progress line
  // moves while a large file is read.
  std::vector<SProblem> problems;
  HRESULT hr = S_OK;
  RunWithProgress("checking " + file, 0, nullptr,
                  [&] { hr = kwCheckCompoundFile(file.c_str(), &Collect, &problems); });
  if (FAILED(hr) && hr != STG_E_DOCFILECORRUPT) {
    for (const SProblem& problem : problems) Print(problem);
    return Fail(kExitUnreadable, OpenFailure(file, hr));
  }
  if (hr == STG_E_DOCFILECORRUPT) {
    std::printf("%s: damaged, %zu problem%s found by the reader\n", file.c_str(), problems.size(),
                problems.size() == 1 ? "" : "s");
    for (const SProblem& problem : problems) Print(problem);
    return Fail(kExitDamaged, "'" + file +
                                  "' is damaged (see above); kwcore will not open it, so "
                                  "go back to a copy saved before the damage");
  }

  CkwComPtr<IStorage> root;
  hr = StgOpenStorage(file.c_str(), nullptr, STGM_READ, nullptr, 0, root.put());
  if (FAILED(hr)) return Fail(kExitUnreadable, OpenFailure(file, hr));
  SWalk walk;
  {
    CProgress progress("checking kwcore's streams, elements", 0);
    walk.progress = &progress;
    WalkLayouts(root.get(), walk);
    walk.progress = nullptr;
  }
  if (!walk.problems.empty()) {
    std::printf("%s: sound compound file, but %zu of kwcore's streams would not load\n",
                file.c_str(), walk.problems.size());
    for (const std::string& problem : walk.problems) Print({UINT64_MAX, problem});
    return Fail(kExitDamaged, "'" + file +
                                  "' opens, but the project in it will not load whole "
                                  "(see above); go back to a copy saved before the damage");
  }
  std::printf("%s: clean, %" PRIu64 " storages and %" PRIu64 " streams (%" PRIu64 " bytes) read\n",
              file.c_str(), walk.storages, walk.streams, walk.bytes);
  return 0;
}

}  // namespace kwtool
