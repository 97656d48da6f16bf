// The component table helper: what a module's entry answers before the factory relabels it.
#include <kwcore/kwComponent.h>

#include <gtest/gtest.h>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/kwErrorCodes.h>

#include "support/kwExpectFailure.h"
#include "support/kwFailingAllocation.h"

namespace {

const GUID CLSID_Mapped = {0xC0A90001, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 1}};
const GUID CLSID_ByFunction = {0xC0A90002, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 2}};
const GUID CLSID_NotMapped = {0xC0A900FF, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 0xFF}};
const GUID kModuleSource = {0xC0A90000, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 0}};

class CMapped : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP()
};
// clang-format off
kwBEGIN_OBJECT_MAP(CMapped, CkwServiceObject, CLSID_Mapped)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 77)
kwEND_OBJECT_MAP(CMapped)

int g_nFunctionCalls = 0;
// clang-format on
bool CreateByFunction(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo) {
  ++g_nFunctionCalls;
  return CMapped::kwCreateObject(ppObject, pErrorInfo);
}

const kwComponentClass kClasses[] = {
    kwCOMPONENT_CLASS(CLSID_Mapped, CMapped)                   //
    kwCOMPONENT_FUNCTION(CLSID_ByFunction, &CreateByFunction)  //
    {nullptr, nullptr},
};

TEST(kwCreateComponentFromMap, CreatesMappedClassesAndReportsWhatItCannot) {
  CkwServiceObject* object = nullptr;
  CkwErrorInfo error;
  ASSERT_TRUE(kwCreateComponentFromMap(kClasses, &kModuleSource, &CLSID_Mapped, &object, &error));
  GUID clsid{};
  object->kwGetCLSID(&clsid, nullptr);
  EXPECT_EQ(clsid, CLSID_Mapped);
  CkwObjectFactory::kwFreeObject(&object, nullptr);

  ASSERT_TRUE(
      kwCreateComponentFromMap(kClasses, &kModuleSource, &CLSID_ByFunction, &object, &error));
  EXPECT_EQ(g_nFunctionCalls, 1);
  CkwObjectFactory::kwFreeObject(&object, nullptr);

  struct Case {
    const char* name;
    const GUID* clsid;
    bool withOut;
    std::int32_t code, severity;
  };
  const Case failures[] = {
      {"not mapped", &CLSID_NotMapped, true, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING},
      {"null CLSID", nullptr, true, kwERROR_NULL_POINTER, kwSEVERITY_ERROR},
      {"null out-pointer", &CLSID_Mapped, false, kwERROR_NULL_POINTER, kwSEVERITY_ERROR},
  };
  for (const Case& c : failures) {
    SCOPED_TRACE(c.name);
    error = kwStaleRecord();
    EXPECT_FALSE(kwCreateComponentFromMap(kClasses, &kModuleSource, c.clsid,
                                          c.withOut ? &object : nullptr, &error));
    EXPECT_TRUE(kwIsFailure(error, {c.code, c.severity, kwMETHOD_COMPONENT_CREATE, kModuleSource}));
    EXPECT_EQ(error.m_pSource, &kModuleSource);
    EXPECT_EQ(object, nullptr);
  }
  // The class's own failure is passed on.
  kwTest::FailAllocation(1);
  EXPECT_FALSE(kwCreateComponentFromMap(kClasses, &kModuleSource, &CLSID_Mapped, &object, &error));
  EXPECT_TRUE(
      kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, CLSID_CkwServiceObject}));
  EXPECT_EQ(object, nullptr);
}

}  // namespace
