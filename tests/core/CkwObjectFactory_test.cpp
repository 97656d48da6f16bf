// The object factory against real component modules and registration files.
#include <kwcore/CkwObjectFactory.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/kwErrorCodes.h>

#include "components/kwTestComponents.h"
#include "support/kwExpectFailure.h"
#include "support/kwFactoryProbe.h"
#include "support/kwTempDir.h"
#include "support/kwTestCounters.h"

namespace {

using kwTest::ComponentPath;
using kwTest::Registration;

const kwExpectedFailure kNotAvailable = {kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, 1,
                                         CLSID_CkwObjectFactory};

class ObjectFactory : public kwFactoryTest {
 protected:
  // Creates an object of `clsid`, checks what it says it is, and frees it.
  static void CreateAndFree(const GUID& clsid) {
    CkwServiceObject* object = nullptr;
    GUID made{};
    ASSERT_TRUE(CkwObjectFactory::kwCreateObject(&clsid, &object, nullptr));
    ASSERT_TRUE(object != nullptr && object->kwGetCLSID(&made, nullptr));
    EXPECT_EQ(made, clsid);
    EXPECT_TRUE(CkwObjectFactory::kwFreeObject(&object, nullptr));
  }
};

using kwTest::DiagnosticLog;

TEST_F(ObjectFactory, CreatesAnObjectOfTheModuleAndFreesItThroughItsDestructor) {
  Register({{CLSID_kwTestCountedA, ComponentPath("kwtest_counting")}});
  auto constructed = kwTestCounters::Constructions();
  auto destroyed = kwTestCounters::Destructions();
  CkwServiceObject* object = nullptr;
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(CkwObjectFactory::kwCreateObject(&CLSID_kwTestCountedA, &object, &error));
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(kwTestCounters::Constructions(), constructed + 1);
  ASSERT_TRUE(CkwObjectFactory::kwFreeObject(&object, &error));
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(kwTestCounters::Destructions(), destroyed + 1);
  // Freeing through a null pointer, or a null object, is code 2 of method 2.
  const kwExpectedFailure nullFree = {kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 2,
                                      CLSID_CkwObjectFactory};
  EXPECT_FALSE(CkwObjectFactory::kwFreeObject(nullptr, &error));
  EXPECT_TRUE(kwIsFailure(error, nullFree));
  EXPECT_FALSE(CkwObjectFactory::kwFreeObject(&object, &error));
  EXPECT_TRUE(kwIsFailure(error, nullFree));
  EXPECT_EQ(kwTestCounters::Destructions(), destroyed + 1);
}

TEST_F(ObjectFactory, FailuresOfTheFactoryAndVerdictsOfTheComponentByTheSeverityAlone) {
  // CLSIDs of this test only, so that no pair left by another test answers.
  const GUID unregistered = kwTestFamilyCLSID(0xF0000001);
  const GUID inMissingModule = kwTestFamilyCLSID(0xF0000002);
  const std::string missing = m_dir / "no-such-module.so",
                    failing = ComponentPath("kwtest_failing");
  Register({{inMissingModule, missing},
            {CLSID_kwTestUnknown, ComponentPath("kwtest_counting")},
            {CLSID_kwTestWarns, failing},
            {CLSID_kwTestErrs, failing},
            {CLSID_kwTestWarnsWithObject, failing},
            {CLSID_kwTestErrsWithObject, failing},
            {CLSID_kwTestSilentNull, failing}});
  const kwExpectedFailure nullArgument = {kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 1,
                                          CLSID_CkwObjectFactory};
  const kwExpectedFailure error = {kwTestFailingErrorCode, kwSEVERITY_ERROR, kwTestFailingMethod,
                                   kwTestFailingSource};
  const struct {
    const char* condition;
    const GUID* clsid;
    bool withOut;
    kwExpectedFailure expected;  // severity 0: success
    int entryCalls;
    bool leavesObject;
  } rows[] = {
      {"null CLSID", nullptr, true, nullArgument, 0, false},
      {"null out-pointer", &CLSID_kwTestUnknown, false, nullArgument, 0, false},
      {"not registered", &unregistered, true, kNotAvailable, 0, false},
      {"module missing", &inMissingModule, true, kNotAvailable, 0, false},
      // A warning becomes the factory's own; an error stands as the component wrote it.
      {"unknown to the module", &CLSID_kwTestUnknown, true, kNotAvailable, 1, false},
      {"warning", &CLSID_kwTestWarns, true, kNotAvailable, 1, false},
      {"warning with object", &CLSID_kwTestWarnsWithObject, true, kNotAvailable, 1, true},
      {"error", &CLSID_kwTestErrs, true, error, 1, false},
      {"error with object", &CLSID_kwTestErrsWithObject, true, error, 1, true},
      // Severity 0 is success, though the entry returned false and made nothing.
      {"silent", &CLSID_kwTestSilentNull, true, {0, kwSEVERITY_NONE, 0, GUID_NULL}, 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.condition);
    DiagnosticLog log;
    auto calls = kwTestCounters::EntryCalls();
    auto destroyed = kwTestCounters::Destructions();
    // A stale out-pointer is cleared when the CLSID is not available.
    const bool stale = row.expected.code == kwERROR_COMPONENT_NOT_AVAILABLE || !row.withOut;
    CkwServiceObject* object = stale ? reinterpret_cast<CkwServiceObject*>(0x1) : nullptr;
    CkwErrorInfo record = kwStaleRecord();
    const bool succeeds = row.expected.severity == kwSEVERITY_NONE;
    EXPECT_EQ(CkwObjectFactory::kwCreateObject(row.clsid, row.withOut ? &object : nullptr, &record),
              succeeds);
    if (!succeeds) {
      EXPECT_TRUE(kwIsFailure(record, row.expected));
    }
    EXPECT_EQ(record.m_nSeverity, row.expected.severity);
    EXPECT_EQ(object != nullptr, row.leavesObject || !row.withOut);
    EXPECT_EQ(kwTestCounters::EntryCalls(), calls + row.entryCalls);
    EXPECT_EQ(log.Contains(missing), row.clsid == &inMissingModule);  // the loader's reason
    // The factory does not free what a failing component left: the caller does.
    EXPECT_EQ(kwTestCounters::Destructions(), destroyed);
    if (row.leavesObject) CkwObjectFactory::kwFreeObject(&object, nullptr);
  }
}

TEST_F(ObjectFactory, ModuleWithoutEntryStaysInTheTableAndFailsAgainWithoutAnyFileRead) {
  std::string file = Register({{CLSID_kwTestNoEntry, ComponentPath("kwtest_noentry")}});
  CkwServiceObject* object = nullptr;
  CkwErrorInfo error;
  {
    DiagnosticLog log;
    EXPECT_FALSE(CkwObjectFactory::kwCreateObject(&CLSID_kwTestNoEntry, &object, &error));
    EXPECT_TRUE(kwIsFailure(error, kNotAvailable));
    EXPECT_TRUE(log.Contains("gkw_CreateComponent"));
  }
  // Registered to a missing module now: the second failure comes from the
  // table, without loading that module or looking for the entry again.
  kwTest::WriteFile(file, Registration({{CLSID_kwTestNoEntry, m_dir / "no-such-module.so"}}));
  DiagnosticLog log;
  error = kwStaleRecord();
  EXPECT_FALSE(CkwObjectFactory::kwCreateObject(&CLSID_kwTestNoEntry, &object, &error));
  EXPECT_TRUE(kwIsFailure(error, kNotAvailable));
  EXPECT_FALSE(log.Contains("registration:") || log.Contains("module:"));
}

TEST_F(ObjectFactory, AModuleCreatingItsOwnClassWhileLoadingLeavesOnePair) {
  // The nested creation, run by dlopen, records the pair first; the creation
  // that loaded the module must find it rather than add the CLSID twice.
  std::string file = Register({{CLSID_kwTestLoadTimeCreation, ComponentPath("kwtest_loadtime")}});
  auto constructed = kwTestCounters::Constructions();
  CreateAndFree(CLSID_kwTestLoadTimeCreation);
  EXPECT_EQ(kwTestCounters::Constructions(), constructed + 2) << "the load-time creation ran";
  ASSERT_EQ(unlink(file.c_str()), 0);
  CreateAndFree(CLSID_kwTestLoadTimeCreation);  // from the pair left in the table
}

class SearchTableLimit : public ObjectFactory {
 protected:
  void SetUp() override {
    ObjectFactory::SetUp();
    RegisterFamily();
  }
  void RegisterFamily() {
    std::vector<std::pair<GUID, std::string>> pairs;
    for (std::uint32_t n = 0; n <= 1000; ++n)
      pairs.emplace_back(kwTestFamilyCLSID(n), ComponentPath("kwtest_counting"));
    Register(pairs);
  }
  static void CreateAndFree(std::uint32_t n) { ObjectFactory::CreateAndFree(kwTestFamilyCLSID(n)); }
  static bool Created(std::uint32_t n) {
    const GUID clsid = kwTestFamilyCLSID(n);
    CkwServiceObject* object = nullptr;
    bool created = CkwObjectFactory::kwCreateObject(&clsid, &object, nullptr);
    if (object != nullptr) CkwObjectFactory::kwFreeObject(&object, nullptr);
    return created;
  }
};

TEST_F(SearchTableLimit, The1001stCLSIDEvictsTheLeastRecentlyUsedWhichIsResolvedAgain) {
  for (std::uint32_t n = 0; n < 1000; ++n) CreateAndFree(n);
  CreateAndFree(0);  // 0 becomes the most recently used; 1 is now the least
  CreateAndFree(1000);
  // The table lost 1 and holds the other 1000. Asked in order, 0 first, they
  // leave 0 the least recently used.
  Register("[COMPONENT]\n");
  for (std::uint32_t n = 0; n <= 1000; ++n) EXPECT_EQ(Created(n), n != 1) << n;
  // 1 is looked up again and evicts 0 in turn.
  RegisterFamily();
  CreateAndFree(1);
  Register("[COMPONENT]\n");
  EXPECT_FALSE(Created(0));
  EXPECT_TRUE(Created(1) && Created(2));
}

// LD_LIBRARY_PATH is read when a process starts: the check runs in a child.
TEST_F(ObjectFactory, BareNameIsNeverFoundInTheCurrentDirectoryOrOnTheLibraryPath) {
  std::string planted = m_dir / "libkwtest_marker.so";
  std::filesystem::copy_file(ComponentPath("kwtest_marker"), planted);
  std::string marker = m_dir / "loaded";
  Register({{CLSID_kwTestMarker, "libkwtest_marker.so"}});

  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (chdir(m_dir.path().c_str()) != 0) _exit(90);
    setenv("LD_LIBRARY_PATH", m_dir.path().c_str(), 1);
    setenv("KWTEST_MARKER_FILE", marker.c_str(), 1);
    setenv("KWTEST_SECURITY_DIR", m_dir.path().c_str(), 1);
    execl("/proc/self/exe", "factory_test", "--gtest_filter=SecurityChild.*", nullptr);
    _exit(91);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's checks failed";
  EXPECT_FALSE(kwTest::FileExists(marker)) << "the planted module was loaded";

  // Named with its directory, it loads and leaves its mark.
  setenv("KWTEST_MARKER_FILE", marker.c_str(), 1);
  Register({{CLSID_kwTestMarker, planted}});
  CreateAndFree(CLSID_kwTestMarker);
  unsetenv("KWTEST_MARKER_FILE");
  EXPECT_TRUE(kwTest::FileExists(marker));
}

// Runs only as the child of the test above.
TEST(SecurityChild, CreatesNothingFromABareNamePlantedNearby) {
  const char* dir = std::getenv("KWTEST_SECURITY_DIR");
  if (dir == nullptr) GTEST_SKIP() << "runs as a child of the security test";
  CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr);
  ASSERT_TRUE(CkwObjectFactory::kwSetComponentRegistrationFile(dir, "components.ini", nullptr));
  CkwServiceObject* object = nullptr;
  CkwErrorInfo error;
  EXPECT_FALSE(CkwObjectFactory::kwCreateObject(&CLSID_kwTestMarker, &object, &error));
  EXPECT_TRUE(kwIsFailure(error, kNotAvailable));
  EXPECT_EQ(object, nullptr);
  EXPECT_FALSE(kwTest::FileExists(std::string(dir) + "/loaded"));
}

}  // namespace
