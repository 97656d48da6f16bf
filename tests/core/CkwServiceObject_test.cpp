// Object and service maps through a small hierarchy of test classes:
//
//   CkwServiceObject <- CLevel1 <- CLevel2 <- CLevel3 (map parent CLevel1, skipping CLevel2)
//                        CLevel1 <- CEmptyMaps (no entries of its own)
//   CTwoInterfaces: an interface base before CkwServiceObject and one after it.
#include <memory>

#include <gtest/gtest.h>

#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwErrorCodes.h>

#include "support/kwExpectFailure.h"
#include "support/kwFailingAllocation.h"

namespace {

const GUID kOtherType = {0x0A0A0A0A, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
const GUID IID_A = {0xA0000001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
const GUID IID_B = {0xB0000002, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}};
const GUID IID_C = {0xC0000003, 0, 0, {0, 0, 0, 0, 0, 0, 0, 3}};
const GUID IID_X = {0xD0000004, 0, 0, {0, 0, 0, 0, 0, 0, 0, 4}};
const GUID IID_Y = {0xE0000005, 0, 0, {0, 0, 0, 0, 0, 0, 0, 5}};
const GUID IID_Self = {0xF0000006, 0, 0, {0, 0, 0, 0, 0, 0, 0, 6}};
const GUID CLSID_Level1 = {0x10000000, 0, 0, {1, 0, 0, 0, 0, 0, 0, 0}};
const GUID CLSID_Level2 = {0x20000000, 0, 0, {2, 0, 0, 0, 0, 0, 0, 0}};
const GUID CLSID_Level3 = {0x30000000, 0, 0, {3, 0, 0, 0, 0, 0, 0, 0}};
const GUID CLSID_Empty = {0x40000000, 0, 0, {4, 0, 0, 0, 0, 0, 0, 0}};
const GUID CLSID_Two = {0x50000000, 0, 0, {5, 0, 0, 0, 0, 0, 0, 0}};

// clang-format off
struct SkwA_Method { virtual int A() { return 1; } virtual ~SkwA_Method() = default; };
struct SkwB_Method { virtual int B() { return 2; } virtual ~SkwB_Method() = default; };
struct SkwC_Method { virtual int C() { return 3; } virtual ~SkwC_Method() = default; };
struct SkwX_Method { virtual int X() { return 24; } virtual ~SkwX_Method() = default; long padding[3] = {}; };
struct SkwY_Method { virtual int Y() { return 25; } virtual ~SkwY_Method() = default; };

class CLevel1 : public CkwServiceObject, public SkwA_Method {
  kwDECLARE_OBJECT_MAP()
  kwDECLARE_SERVICE_MAP()
 public:
  ~CLevel1() override = default;
};
class CLevel2 : public CLevel1, public SkwB_Method {
  kwDECLARE_OBJECT_MAP()
  kwDECLARE_SERVICE_MAP()
};
class CLevel3 : public CLevel2, public SkwC_Method {
  kwDECLARE_OBJECT_MAP()
  kwDECLARE_SERVICE_MAP()
 public:
  int runTimeQuestions = 0;
  bool AskRunTimeType(const GUID* pTypeGUID, std::int32_t nTypeNumber, bool* pbResult,
                      CkwErrorInfo* pErrorInfo) {
    return kwIsRunTimeTypeOf(pTypeGUID, nTypeNumber, pbResult, pErrorInfo);
  }

 protected:
  // Answers (kOtherType, 99) at run time; asked only when no map matched.
  bool kwIsRunTimeTypeOf(const GUID* pTypeGUID, std::int32_t nTypeNumber, bool* pbResult,
                         CkwErrorInfo* pErrorInfo) override {
    ++runTimeQuestions;
    if (pbResult != nullptr && pTypeGUID != nullptr && IsEqualGUID(*pTypeGUID, kOtherType) &&
        nTypeNumber == 99) {
      *pbResult = true;
      return true;
    }
    return CLevel2::kwIsRunTimeTypeOf(pTypeGUID, nTypeNumber, pbResult, pErrorInfo);
  }
};
class CEmptyMaps : public CLevel1 {
  kwDECLARE_OBJECT_MAP()
  kwDECLARE_SERVICE_MAP()
};
class CTwoInterfaces : public SkwX_Method, public CkwServiceObject, public SkwY_Method {
  kwDECLARE_OBJECT_MAP()
  kwDECLARE_SERVICE_MAP()
 public:
  ~CTwoInterfaces() override = default;
};
class CAbstract : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP()
 public:
  virtual void Pure() = 0;
};

kwBEGIN_OBJECT_MAP(CLevel1, CkwServiceObject, CLSID_Level1)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 1)
kwEND_OBJECT_MAP(CLevel1)
kwBEGIN_SERVICE_MAP(CLevel1, CkwServiceObject)
  kwSERVICE_ENTRY(&IID_A, CLevel1, SkwA_Method)
  kwSERVICE_ENTRY_OFFSET(&IID_Self, 0)
kwEND_SERVICE_MAP(CLevel1)

kwBEGIN_OBJECT_MAP(CLevel2, CLevel1, CLSID_Level2)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 2)
kwEND_OBJECT_MAP(CLevel2)
kwBEGIN_SERVICE_MAP(CLevel2, CLevel1)
  kwSERVICE_ENTRY(&IID_B, CLevel2, SkwB_Method)
kwEND_SERVICE_MAP(CLevel2)

// Map parent CLevel1: CLevel2's maps are skipped.
kwBEGIN_OBJECT_MAP(CLevel3, CLevel1, CLSID_Level3)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 3)
  kwOBJECT_ENTRY(&kOtherType, 3)
kwEND_OBJECT_MAP(CLevel3)
kwBEGIN_SERVICE_MAP(CLevel3, CLevel1)
  kwSERVICE_ENTRY(&IID_C, CLevel3, SkwC_Method)
kwEND_SERVICE_MAP(CLevel3)

kwBEGIN_OBJECT_MAP(CEmptyMaps, CLevel1, CLSID_Empty)
kwEND_OBJECT_MAP(CEmptyMaps)
kwBEGIN_SERVICE_MAP(CEmptyMaps, CLevel1)
kwEND_SERVICE_MAP(CEmptyMaps)

kwBEGIN_OBJECT_MAP(CTwoInterfaces, CkwServiceObject, CLSID_Two)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 5)
kwEND_OBJECT_MAP(CTwoInterfaces)
kwBEGIN_SERVICE_MAP(CTwoInterfaces, CkwServiceObject)
  kwSERVICE_ENTRY(&IID_X, CTwoInterfaces, SkwX_Method)
  kwSERVICE_ENTRY(&IID_Y, CTwoInterfaces, SkwY_Method)
  kwSERVICE_ENTRY_OFFSET(&IID_Self, 0)
kwEND_SERVICE_MAP(CTwoInterfaces)

kwBEGIN_OBJECT_MAP(CAbstract, CkwServiceObject, CLSID_Level1)
kwEND_OBJECT_MAP(CAbstract)
// A service entry needs a fixed distance: a virtual interface base has none,
// and computing one would crash while the tables are initialised.
class CVirtualInterface : public CkwServiceObject, public virtual SkwA_Method {};
static_assert(!kwServiceObjectDetail::FixedBaseOffset<CVirtualInterface, SkwA_Method>);
static_assert(kwServiceObjectDetail::FixedBaseOffset<CVirtualInterface, CkwServiceObject>);
static_assert(kwServiceObjectDetail::FixedBaseOffset<CTwoInterfaces, SkwX_Method>);

// Frees objects the tests create; the classes' destructors are public here.
struct Deleter {
  void operator()(CkwServiceObject* object) const {
    if (auto* two = dynamic_cast<CTwoInterfaces*>(object)) {
      delete two;
    } else {
      delete dynamic_cast<CLevel1*>(object);
    }
  }
};
// clang-format on
using ObjectPtr = std::unique_ptr<CkwServiceObject, Deleter>;

template <class Class>
ObjectPtr Create() {
  CkwServiceObject* object = nullptr;
  CkwErrorInfo error;
  EXPECT_TRUE(Class::kwCreateObject(&object, &error));
  EXPECT_NE(object, nullptr);
  return ObjectPtr(object);
}

bool IsKind(CkwServiceObject* object, const GUID& type, std::int32_t number) {
  bool answer = true;
  CkwErrorInfo error;
  EXPECT_TRUE(object->kwIsKindOf(&type, number, &answer, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  return answer;
}

void* Query(CkwServiceObject* object, const GUID& iid) {
  void* service = reinterpret_cast<void*>(0x1);  // must come back null on a miss
  CkwErrorInfo error;
  bool found = object->kwQueryService(&iid, &service, &error);
  if (!found) {  // the refusal at the end of the chain
    EXPECT_EQ(service, nullptr);
    EXPECT_TRUE(kwIsFailure(
        error, {kwERROR_SERVICE_NOT_OFFERED, kwSEVERITY_WARNING, 1, CLSID_CkwServiceObject}));
  }
  return service;
}

TEST(ObjectMap, KindsFollowTheMapParentChain) {
  ObjectPtr level2 = Create<CLevel2>();
  ObjectPtr level3 = Create<CLevel3>();
  ObjectPtr empty = Create<CEmptyMaps>();
  struct Case {
    CkwServiceObject* object;
    const GUID* type;
    std::int32_t number;
    bool expected;
  } cases[] = {
      {level2.get(), &kwGUID_ObjectType, 2, true},
      {level2.get(), &kwGUID_ObjectType, 1, true},  // from the parent
      {level2.get(), &kwGUID_ObjectType, 3, false},
      {level3.get(), &kwGUID_ObjectType, 3, true},
      {level3.get(), &kwGUID_ObjectType, 1, true},   // map parent CLevel1
      {level3.get(), &kwGUID_ObjectType, 2, false},  // CLevel2's maps are skipped
      {level3.get(), &kOtherType, 3, true},
      {level3.get(), &kOtherType, 1, false},          // GUID matches an entry, number does not
      {level3.get(), &kOtherType, 99, true},          // run-time hook
      {level3.get(), &kwGUID_ObjectType, 99, false},  // hook needs GUID and number together
      {empty.get(), &kwGUID_ObjectType, 1, true},     // empty maps answer as the parent
      {empty.get(), &kwGUID_ObjectType, 4, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsKind(c.object, *c.type, c.number), c.expected)
        << "number " << c.number << " on " << typeid(*c.object).name();
  }
  // The run-time hook is asked last, and only on a miss.
  auto* hooked = static_cast<CLevel3*>(level3.get());
  hooked->runTimeQuestions = 0;
  IsKind(hooked, kwGUID_ObjectType, 1);
  EXPECT_EQ(hooked->runTimeQuestions, 0);
  IsKind(hooked, kwGUID_ObjectType, 42);
  EXPECT_EQ(hooked->runTimeQuestions, 1);
}

TEST(ObjectMap, CLSIDs) {
  const std::pair<ObjectPtr, GUID> cases[] = {{Create<CLevel1>(), CLSID_Level1},
                                              {Create<CLevel2>(), CLSID_Level2},
                                              {Create<CLevel3>(), CLSID_Level3},
                                              {Create<CEmptyMaps>(), CLSID_Empty},
                                              {Create<CTwoInterfaces>(), CLSID_Two}};
  for (const auto& [object, expected] : cases) {
    GUID clsid{};
    ASSERT_TRUE(object->kwGetCLSID(&clsid, nullptr));
    EXPECT_EQ(clsid, expected);
  }
}

TEST(ServiceMap, ServicesFollowTheMapParentChain) {
  ObjectPtr level3 = Create<CLevel3>();
  auto* self = static_cast<CLevel3*>(level3.get());
  EXPECT_EQ(Query(self, IID_C), static_cast<SkwC_Method*>(self));
  EXPECT_EQ(Query(self, IID_A), static_cast<SkwA_Method*>(self));
  EXPECT_EQ(Query(self, IID_B), nullptr);  // CLevel2 skipped by the map parent
  EXPECT_EQ(Query(self, IID_X), nullptr);
  EXPECT_EQ(static_cast<SkwC_Method*>(Query(self, IID_C))->C(), 3);

  ObjectPtr empty = Create<CEmptyMaps>();
  EXPECT_EQ(Query(empty.get(), IID_A),
            static_cast<SkwA_Method*>(static_cast<CEmptyMaps*>(empty.get())));
  EXPECT_EQ(Query(empty.get(), IID_C), nullptr);
}

TEST(ServiceMap, PointersLandOnTheRightSubObject) {
  ObjectPtr object = Create<CTwoInterfaces>();
  auto* two = static_cast<CTwoInterfaces*>(object.get());
  auto* x = static_cast<SkwX_Method*>(Query(object.get(), IID_X));
  auto* y = static_cast<SkwY_Method*>(Query(object.get(), IID_Y));
  EXPECT_EQ(x, static_cast<SkwX_Method*>(two));
  EXPECT_EQ(y, static_cast<SkwY_Method*>(two));
  ASSERT_NE(x, nullptr);
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(x->X(), 24);
  EXPECT_EQ(y->Y(), 25);
  // SkwX_Method lies before the CkwServiceObject part: a negative distance.
  EXPECT_LT(reinterpret_cast<char*>(x), reinterpret_cast<char*>(object.get()));
  // Distance 0 is the object's own CkwServiceObject part.
  EXPECT_EQ(Query(object.get(), IID_Self), static_cast<void*>(object.get()));
}

bool gAnswer;
void* gService;
#define ROW(call, method) \
  kwFAILURE_ROW(CLevel3, #call, call, kwERROR_NULL_POINTER, kwSEVERITY_ERROR, method)
const kwFailureRow<CLevel3> kNullArguments[] = {
    ROW(o.kwQueryService(&IID_A, nullptr, e), 1),
    ROW(o.kwQueryService(nullptr, &gService, e), 1),
    ROW(o.kwIsKindOf(&kOtherType, 1, nullptr, e), 2),
    ROW(o.kwIsKindOf(nullptr, 1, &gAnswer, e), 2),
    ROW(o.AskRunTimeType(&kOtherType, 1, nullptr, e), 8),
    ROW(o.kwGetCLSID(nullptr, e), 9),
    ROW(CLevel1::kwCreateObject(nullptr, e), 0),
};
#undef ROW

TEST(ServiceObjectBase, RefusesNullArgumentsWithExactMethodNumbers) {
  kwRunFailureTable(
      kNullArguments, CLSID_CkwServiceObject, [] { return std::make_unique<CLevel3>(); },
      [](CLevel3&) {});
}

TEST(ServiceObjectCreate, AllocationFailureReportsCodeOne) {
  CkwServiceObject* object = reinterpret_cast<CkwServiceObject*>(0x1);
  CkwErrorInfo error;
  kwTest::FailAllocation(1);
  EXPECT_FALSE(CLevel2::kwCreateObject(&object, &error));
  EXPECT_EQ(object, nullptr);
  EXPECT_TRUE(
      kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, CLSID_CkwServiceObject}));
  EXPECT_NE(Create<CLevel2>(), nullptr);  // the failure is spent
  // An abstract class cannot be allocated at all.
  EXPECT_FALSE(CAbstract::kwCreateObject(&object, &error));
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(error.m_nErrorCode, kwERROR_OUT_OF_MEMORY);
}

}  // namespace
