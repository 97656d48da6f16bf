// Runs in a fresh process, where nothing is bound yet: prints how many
// nanoseconds the first call of every import costs beyond a second one.
#include <chrono>
#include <cstdio>

extern "C" void kwBenchCallEveryImport();

int main() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point start = Clock::now();
  kwBenchCallEveryImport();
  Clock::time_point bound = Clock::now();
  kwBenchCallEveryImport();
  Clock::time_point again = Clock::now();
  std::printf("%lld\n", static_cast<long long>(((bound - start) - (again - bound)).count()));
}
