// Object and service maps, and the error record convention, through a small
// hierarchy: CkwServiceObject <- CLevel1 <- CLevel2 <- CLevel3, whose maps
// name CLevel1 as parent and so skip CLevel2's.
#include <memory>

#include <gtest/gtest.h>

#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwErrorCodes.h>

#include "support/kwExpectFailure.h"

namespace {

const GUID kOther = {0x0A0A0A0A, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
const GUID IID_A = {0xA1, 0, 0, {1}}, IID_B = {0xB2, 0, 0, {2}}, IID_C = {0xC3, 0, 0, {3}};
const GUID IID_X = {0xD4, 0, 0, {4}}, IID_Y = {0xE5, 0, 0, {5}}, IID_Self = {0xF6, 0, 0, {6}};
const GUID CLSID_1 = {0x10, 0, 0, {1}}, CLSID_2 = {0x20, 0, 0, {2}}, CLSID_3 = {0x30, 0, 0, {3}};
const GUID CLSID_Two = {0x50, 0, 0, {5}};

// clang-format off
struct SkwA_Method { virtual int A() { return 1; } virtual ~SkwA_Method() = default; };
struct SkwB_Method { virtual int B() { return 2; } virtual ~SkwB_Method() = default; };
struct SkwC_Method { virtual int C() { return 3; } virtual ~SkwC_Method() = default; };
struct SkwX_Method { virtual int X() { return 24; } virtual ~SkwX_Method() = default; long padding[3] = {}; };
struct SkwY_Method { virtual int Y() { return 25; } virtual ~SkwY_Method() = default; };

class CLevel1 : public CkwServiceObject, public SkwA_Method {
  kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP()
 public: ~CLevel1() override = default;
};
class CLevel2 : public CLevel1, public SkwB_Method { kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP() };
class CLevel3 : public CLevel2, public SkwC_Method {
  kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP()
 public:
  bool AskRunTimeType(const GUID* type, std::int32_t n, bool* result, CkwErrorInfo* e) {
    return kwIsRunTimeTypeOf(type, n, result, e);
  }
 protected:
  // Answers (kOther, 99) itself.
  bool kwIsRunTimeTypeOf(const GUID* type, std::int32_t n, bool* result, CkwErrorInfo* e) override {
    if (result != nullptr && type != nullptr && *type == kOther && n == 99) return *result = true;
    return CLevel2::kwIsRunTimeTypeOf(type, n, result, e);
  }
};
class CTwoInterfaces : public SkwX_Method, public CkwServiceObject, public SkwY_Method {
  kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP()
 public: ~CTwoInterfaces() override = default;
};

kwBEGIN_OBJECT_MAP(CLevel1, CkwServiceObject, CLSID_1) kwOBJECT_ENTRY(&kwGUID_ObjectType, 1) kwEND_OBJECT_MAP(CLevel1)
kwBEGIN_SERVICE_MAP(CLevel1, CkwServiceObject)
  kwSERVICE_ENTRY(&IID_A, CLevel1, SkwA_Method) kwSERVICE_ENTRY_OFFSET(&IID_Self, 0)
kwEND_SERVICE_MAP(CLevel1)
kwBEGIN_OBJECT_MAP(CLevel2, CLevel1, CLSID_2) kwOBJECT_ENTRY(&kwGUID_ObjectType, 2) kwEND_OBJECT_MAP(CLevel2)
kwBEGIN_SERVICE_MAP(CLevel2, CLevel1) kwSERVICE_ENTRY(&IID_B, CLevel2, SkwB_Method) kwEND_SERVICE_MAP(CLevel2)
kwBEGIN_OBJECT_MAP(CLevel3, CLevel1, CLSID_3)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 3) kwOBJECT_ENTRY(&kOther, 3)
kwEND_OBJECT_MAP(CLevel3)
kwBEGIN_SERVICE_MAP(CLevel3, CLevel1) kwSERVICE_ENTRY(&IID_C, CLevel3, SkwC_Method) kwEND_SERVICE_MAP(CLevel3)
kwBEGIN_OBJECT_MAP(CTwoInterfaces, CkwServiceObject, CLSID_Two) kwEND_OBJECT_MAP(CTwoInterfaces)
kwBEGIN_SERVICE_MAP(CTwoInterfaces, CkwServiceObject)
  kwSERVICE_ENTRY(&IID_X, CTwoInterfaces, SkwX_Method) kwSERVICE_ENTRY(&IID_Y, CTwoInterfaces, SkwY_Method)
  kwSERVICE_ENTRY_OFFSET(&IID_Self, 0)
kwEND_SERVICE_MAP(CTwoInterfaces)
// A virtual interface base has no fixed distance for a service entry.
class CVirtualInterface : public CkwServiceObject, public virtual SkwA_Method {};
static_assert(!kwServiceObjectDetail::FixedBaseOffset<CVirtualInterface, SkwA_Method>);
static_assert(kwServiceObjectDetail::FixedBaseOffset<CTwoInterfaces, SkwX_Method>);
// clang-format on

TEST(ObjectMap, KindsFollowTheMapParentChainThenTheRunTimeHook) {
  CLevel3 level3;
  const struct {
    const GUID* type;
    std::int32_t number;
    bool expected;
  } cases[] = {
      {&kwGUID_ObjectType, 3, true},
      {&kwGUID_ObjectType, 1, true},
      {&kwGUID_ObjectType, 2, false},  // CLevel2 skipped
      {&kOther, 3, true},
      {&kOther, 1, false},  // the GUID and the number together
      {&kOther, 99, true},  // by the run-time hook
  };
  for (const auto& c : cases) {
    bool answer = !c.expected;
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_TRUE(level3.kwIsKindOf(c.type, c.number, &answer, &error));
    EXPECT_EQ(answer, c.expected) << c.number;
    EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  }
}

void* Query(CkwServiceObject& object, const GUID& iid) {
  void* service = &object;  // must come back null on a miss
  CkwErrorInfo error;
  if (!object.kwQueryService(&iid, &service, &error)) {
    EXPECT_TRUE(kwIsFailure(
        error, {kwERROR_SERVICE_NOT_OFFERED, kwSEVERITY_WARNING, 1, CLSID_CkwServiceObject}));
  }
  return service;
}

TEST(ServiceMap, ServicesFollowTheChainAndLandOnTheirSubObject) {
  CLevel3 level3;
  EXPECT_EQ(Query(level3, IID_C), static_cast<SkwC_Method*>(&level3));
  EXPECT_EQ(Query(level3, IID_A), static_cast<SkwA_Method*>(&level3));
  EXPECT_EQ(Query(level3, IID_B), nullptr);  // CLevel2 skipped
  CTwoInterfaces two;
  EXPECT_EQ(Query(two, IID_X), static_cast<SkwX_Method*>(&two));  // before the base: negative
  EXPECT_EQ(static_cast<SkwY_Method*>(Query(two, IID_Y))->Y(), 25);
  EXPECT_EQ(Query(two, IID_Self), static_cast<CkwServiceObject*>(&two));
}

bool gAnswer;
void* gService;
#define ROW(call, method) \
  kwFAILURE_ROW(CLevel3, #call, call, kwERROR_NULL_POINTER, kwSEVERITY_ERROR, method)
const kwFailureRow<CLevel3> kNullArguments[] = {
    ROW(o.kwQueryService(&IID_A, nullptr, e), 1),
    ROW(o.kwQueryService(nullptr, &gService, e), 1),
    ROW(o.kwIsKindOf(&kOther, 1, nullptr, e), 2),
    ROW(o.kwIsKindOf(nullptr, 1, &gAnswer, e), 2),
    ROW(o.AskRunTimeType(&kOther, 1, nullptr, e), 8),
    ROW(o.kwGetCLSID(nullptr, e), 9),
    ROW(CLevel1::kwCreateObject(nullptr, e), 0),
};
#undef ROW

TEST(ServiceObject, RefusesNullArgumentsWithExactMethodNumbers) {
  kwRunFailureTable(
      kNullArguments, CLSID_CkwServiceObject, [] { return std::make_unique<CLevel3>(); },
      [](CLevel3&) {});
}

// A callee's failure passing unchanged is the factory's component-error case.
TEST(ServiceObject, SuccessResetsOnlyTheSeverity) {
  CLevel3 object;
  CkwErrorInfo error = kwStaleRecord();
  const CkwErrorInfo stale = error;
  GUID clsid{};
  ASSERT_TRUE(object.kwGetCLSID(&clsid, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(error.m_pSource, &CLSID_CkwServiceObject);  // stamped on entry
  EXPECT_TRUE(error.m_pCategory == stale.m_pCategory && error.m_nErrorCode == stale.m_nErrorCode &&
              error.m_nMethod == stale.m_nMethod && error.m_nLine == stale.m_nLine);
}

}  // namespace
