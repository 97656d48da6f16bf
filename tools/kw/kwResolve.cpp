#include "kwTool.h"
namespace kwtool {
int RunResolve(const std::vector<std::string>&) {
  return Fail(kExitFailed, "resolve is not written yet");
}
}  // namespace kwtool
