// The error convention, observed through real operations.
#include <gtest/gtest.h>

#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwErrorCodes.h>

namespace {

const GUID CLSID_Failing = {0x6A11DEAD, 0, 0, {0, 0, 0, 0, 0, 0, 0, 9}};
const GUID kStaleSource = {0x5EA1E000, 0, 0, {0, 0, 0, 0, 0, 0, 0, 7}};

// Its run-time kind test fails with a record of its own making, as a callee
// of kwIsKindOf.
// clang-format off
class CFailingHook : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP()
 public:
  ~CFailingHook() override = default;

 protected:
  bool kwIsRunTimeTypeOf(const GUID*, std::int32_t, bool*, CkwErrorInfo* pErrorInfo) override {
    if (pErrorInfo != nullptr) {
      pErrorInfo->m_pSource = &kStaleSource;
      pErrorInfo->m_nErrorCode = 1234;
      pErrorInfo->m_nSeverity = kwSEVERITY_ERROR;
      pErrorInfo->m_nMethod = 77;
      pErrorInfo->m_nLine = 88;
    }
    return false;
  }
};

kwBEGIN_OBJECT_MAP(CFailingHook, CkwServiceObject, CLSID_Failing)
kwEND_OBJECT_MAP(CFailingHook)

TEST(ErrorConvention, ReusedRecordKeepsStaleFieldsButSeverityIsReset) {
  // clang-format on
  CFailingHook object;
  CkwErrorInfo error;
  error.m_pCategory = &kStaleSource;
  error.m_nErrorCode = 55;
  error.m_nSeverity = kwSEVERITY_ERROR;
  error.m_nMethod = 66;
  error.m_nLine = 77;
  GUID clsid{};
  ASSERT_TRUE(object.kwGetCLSID(&clsid, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(error.m_pSource, &CLSID_CkwServiceObject);  // stamped on entry
  EXPECT_EQ(error.m_pCategory, &kStaleSource);
  EXPECT_EQ(error.m_nErrorCode, 55);
  EXPECT_EQ(error.m_nMethod, 66);
  EXPECT_EQ(error.m_nLine, 77);
}

TEST(ErrorConvention, FailureFillsEveryField) {
  CFailingHook object;
  CkwErrorInfo error;
  EXPECT_FALSE(object.kwGetCLSID(nullptr, &error));
  EXPECT_EQ(error.m_pCategory, &kwGUID_ErrorCategoryGeneral);
  EXPECT_EQ(error.m_nErrorCode, kwERROR_NULL_POINTER);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_ERROR);
  EXPECT_EQ(error.m_pSource, &CLSID_CkwServiceObject);
  EXPECT_EQ(error.m_nMethod, 9);
  EXPECT_GT(error.m_nLine, 0);
}

TEST(ErrorConvention, NullRecordFailsWithoutTrace) {
  CFailingHook object;
  bool answer = true;
  EXPECT_FALSE(object.kwGetCLSID(nullptr, nullptr));
  EXPECT_FALSE(object.kwIsKindOf(&kwGUID_ObjectType, 1, &answer, nullptr));
  EXPECT_FALSE(answer);  // set before the hook was asked
}

TEST(ErrorConvention, CalleeFailureReachesTheCallerUnchanged) {
  CFailingHook object;
  CkwErrorInfo error;
  bool answer = true;
  EXPECT_FALSE(object.kwIsKindOf(&kwGUID_ObjectType, 1, &answer, &error));
  EXPECT_EQ(error.m_pSource, &kStaleSource);
  EXPECT_EQ(error.m_nErrorCode, 1234);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_ERROR);
  EXPECT_EQ(error.m_nMethod, 77);
  EXPECT_EQ(error.m_nLine, 88);
}

}  // namespace
