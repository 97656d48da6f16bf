// The factory's lock, taken by creators racing an editor. (Taken twice by one
// thread: the load-time creation in the factory tests.)
#include <kwcore/CkwObjectFactory.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/kwErrorCodes.h>

#include "components/kwTestComponents.h"
#include "support/kwFactoryProbe.h"
#include "support/kwTestCounters.h"

namespace {

using kwTest::ComponentPath;
using kwTest::Registration;

using FactoryThreads = kwFactoryTest;

TEST_F(FactoryThreads, CreatorsAndARegistrationEditorRunTogether) {
  // The family outgrows the table: creators also resolve and evict.
  constexpr std::uint32_t kFamily = 1100;
  std::vector<std::pair<GUID, std::string>> pairs = {
      {CLSID_kwTestCountedA, ComponentPath("kwtest_counting")}};
  for (std::uint32_t n = 0; n < kFamily; ++n)
    pairs.emplace_back(kwTestFamilyCLSID(n), ComponentPath("kwtest_counting"));
  Register(pairs);

  auto constructed = kwTestCounters::Constructions();
  auto destroyed = kwTestCounters::Destructions();
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  constexpr int kCreators = 8;
  constexpr int kRounds = 400;

  std::thread editor([&] {
    const std::string dir = m_dir.path();
    for (int round = 0; !stop.load(); ++round) {
      std::string name = "extra" + std::to_string(round % 4) + ".ini";
      kwTest::WriteFile(
          m_dir / name,
          Registration({{CLSID_kwTestCountedA, ComponentPath("kwtest_counting")},
                        {kwTestFamilyCLSID(round % kFamily), ComponentPath("kwtest_counting")}}));
      CkwObjectFactory::kwAddComponentRegistrationFile(dir.c_str(), name.c_str(), nullptr);
      if (round % 3 == 0)
        CkwObjectFactory::kwRemoveComponentRegistrationFile(dir.c_str(), name.c_str(), nullptr);
      if (round % 5 == 0)
        CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(round % 10 == 0, nullptr);
      std::this_thread::yield();
    }
  });

  std::vector<std::thread> creators;
  for (int t = 0; t < kCreators; ++t) {
    creators.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        // Every other one the CLSID that heads the table most of the time.
        const auto member = static_cast<std::uint32_t>(t * kRounds + round) % kFamily;
        if (!Created(round % 2 == 0 ? CLSID_kwTestCountedA : kwTestFamilyCLSID(member)))
          failures.fetch_add(1);
      }
    });
  }
  for (std::thread& creator : creators) creator.join();
  stop.store(true);
  editor.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(kwTestCounters::Constructions() - constructed, kCreators * kRounds);
  EXPECT_EQ(kwTestCounters::Destructions() - destroyed, kCreators * kRounds);
}

}  // namespace
