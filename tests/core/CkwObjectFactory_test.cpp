// The object factory against real component modules and registration files,
// and the table helper behind a module's entry.
#include <kwcore/CkwObjectFactory.h>

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/kwComponent.h>
#include <kwcore/kwErrorCodes.h>

#include "components/kwTestComponents.h"
#include "support/kwExpectFailure.h"
#include "support/kwFactoryProbe.h"
#include "support/kwTempDir.h"
#include "support/kwTestCounters.h"

namespace {

using kwTest::ComponentPath;
using kwTest::DiagnosticLog;

const kwExpectedFailure kNotAvailable = {kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, 1,
                                         CLSID_CkwObjectFactory};

using ObjectFactory = kwFactoryTest;

TEST_F(ObjectFactory, FreeingClearsThePointerAndRefusesANullObject) {
  Register({{CLSID_kwTestCountedA, ComponentPath("kwtest_counting")}});
  CkwServiceObject* object = nullptr;
  ASSERT_TRUE(CkwObjectFactory::kwCreateObject(&CLSID_kwTestCountedA, &object, nullptr));
  ASSERT_TRUE(CkwObjectFactory::kwFreeObject(&object, nullptr));
  // Freeing it again, or through a null pointer, is code 2 of method 2.
  for (CkwServiceObject** pointer : {&object, static_cast<CkwServiceObject**>(nullptr)}) {
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(CkwObjectFactory::kwFreeObject(pointer, &error));
    EXPECT_TRUE(
        kwIsFailure(error, {kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 2, CLSID_CkwObjectFactory}));
  }
}

TEST_F(ObjectFactory, FailuresOfTheFactoryAndVerdictsOfTheComponentByTheSeverityAlone) {
  // CLSIDs of this test only, so that no pair left by another test answers.
  const GUID unregistered = kwTestFamilyCLSID(0xF0000001);
  const std::string failing = ComponentPath("kwtest_failing");
  Register({{CLSID_kwTestWarnsWithObject, failing},
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
      // A warning becomes the factory's own; an error stands as the component wrote it.
      {"warning", &CLSID_kwTestWarnsWithObject, true, kNotAvailable, 1, true},
      {"error", &CLSID_kwTestErrsWithObject, true, error, 1, true},
      // Severity 0 is success, though the entry returned false and made nothing.
      {"silent", &CLSID_kwTestSilentNull, true, {0, kwSEVERITY_NONE, 0, GUID_NULL}, 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.condition);
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
    // The factory does not free what a failing component left: the caller does.
    EXPECT_EQ(kwTestCounters::Destructions(), destroyed);
    if (row.leavesObject) CkwObjectFactory::kwFreeObject(&object, nullptr);
  }
}

TEST_F(ObjectFactory, ModuleWithoutEntryStaysInTheTableAndFailsAgainWithoutAnyFileRead) {
  std::string file = Register({{CLSID_kwTestNoEntry, ComponentPath("kwtest_noentry")}});
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    DiagnosticLog log;
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(Created(CLSID_kwTestNoEntry, &error));
    EXPECT_TRUE(kwIsFailure(error, kNotAvailable));
    EXPECT_TRUE(log.Contains("no entry gkw_CreateComponent"));
    // The second time from the table: no file read, no module loaded, no
    // entry looked up, though the file now names a missing module.
    EXPECT_EQ(log.Contains("registration:") || log.Contains("module:"), attempt == 0);
    kwTest::WriteFile(file,
                      kwTest::Registration({{CLSID_kwTestNoEntry, m_dir / "no-such-module.so"}}));
  }
}

TEST_F(ObjectFactory, AModuleCreatingItsOwnClassWhileLoadingLeavesOnePair) {
  // The nested creation, run by dlopen, records the pair first; the creation
  // that loaded the module must find it rather than add the CLSID twice.
  std::string file = Register({{CLSID_kwTestLoadTimeCreation, ComponentPath("kwtest_loadtime")}});
  auto constructed = kwTestCounters::Constructions();
  EXPECT_TRUE(Created(CLSID_kwTestLoadTimeCreation));
  EXPECT_EQ(kwTestCounters::Constructions(), constructed + 2) << "the load-time creation ran";
  ASSERT_EQ(unlink(file.c_str()), 0);
  EXPECT_TRUE(Created(CLSID_kwTestLoadTimeCreation));  // from the pair left in the table
}

TEST_F(ObjectFactory, The1001stCLSIDEvictsTheLeastRecentlyUsed) {
  std::vector<std::pair<GUID, std::string>> pairs;
  for (std::uint32_t n = 0; n <= 1000; ++n)
    pairs.emplace_back(kwTestFamilyCLSID(n), ComponentPath("kwtest_counting"));
  Register(pairs);
  for (std::uint32_t n = 0; n < 1000; ++n) EXPECT_TRUE(Created(kwTestFamilyCLSID(n)));
  EXPECT_TRUE(Created(kwTestFamilyCLSID(0)));  // 0 becomes the most recently used; 1 the least
  EXPECT_TRUE(Created(kwTestFamilyCLSID(1000)));
  // Registered nowhere now: only what the table holds is created, all but 1.
  Register("[COMPONENT]\n");
  for (std::uint32_t n = 0; n <= 1000; ++n) EXPECT_EQ(Created(kwTestFamilyCLSID(n)), n != 1) << n;
}

// A module's entry reports under the module's own source, which the factory
// keeps only for errors: its warnings become the factory's own.
TEST(ComponentMap, ReportsUnderTheModulesSourceWithMethod0) {
  // A mapped class is what the counting module creates; this one reports success if called.
  const GUID source = kwTestGUID(0xC0A90000);
  const kwComponentClass classes[] = {
      kwCOMPONENT_FUNCTION(CLSID_kwTestCountedA,
                           [](CkwServiceObject**, CkwErrorInfo*) { return true; })  //
      {nullptr, nullptr},
  };
  CkwServiceObject* object = nullptr;
  const struct {
    const char* condition;
    const GUID* clsid;
    bool withOut;
    std::int32_t code, severity;
  } rows[] = {
      {"not mapped", &CLSID_kwTestUnknown, true, kwERROR_COMPONENT_NOT_AVAILABLE,
       kwSEVERITY_WARNING},
      {"null CLSID", nullptr, true, kwERROR_NULL_POINTER, kwSEVERITY_ERROR},
      {"null out-pointer", &CLSID_kwTestCountedA, false, kwERROR_NULL_POINTER, kwSEVERITY_ERROR},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.condition);
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(kwCreateComponentFromMap(classes, &source, row.clsid,
                                          row.withOut ? &object : nullptr, &error));
    EXPECT_TRUE(kwIsFailure(error, {row.code, row.severity, kwMETHOD_COMPONENT_CREATE, source}));
    EXPECT_EQ(error.m_pSource, &source);
  }
}

}  // namespace
