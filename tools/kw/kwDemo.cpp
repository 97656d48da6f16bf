#include "kwTool.h"
namespace kwtool {
int RunDemo(const std::vector<std::string>&) {
  return Fail(kExitFailed, "demo is not written yet");
}
}  // namespace kwtool
