#include <kwcore/CkwCheckLinkInfo.h>
#include <kwcore/CkwUpdateLinkInfo.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/kwExpectFailure.h"
#include "support/kwFailingAllocation.h"

namespace {

GUID G(const char* text) {
  GUID id{};
  EXPECT_TRUE(kwGUIDFromString(text, &id));
  return id;
}
const GUID kStrList = G("{ACD6D56A-9C56-4156-B76A-0ADF452A9B09}");
const GUID kA = G("{A0000001-1111-2222-0102-030405060708}");
const GUID kB = G("{A0000001-1111-2222-0102-030405060709}");  // last byte differs
using CI = CkwCheckLinkInfo;
using CL = CkwCheckLinkFileList;
using UI = CkwUpdateLinkInfo;
using UL = CkwUpdateLinkFileList;
const char *gName, *gOther;
CI::kwFileType gType;
CI* gCheck;
UI* gUpdate;

// Item i is named "n<i>"; check-link items carry -i as their type, update-link items a second name.
struct CheckLink {
  using Info = CI;
  using List = CL;
  static constexpr int kAdd = 3;
  static inline const GUID kInfo = G("{E4AD958A-9A9B-47C9-9C6D-B3B7C90BAD37}");
  static inline const GUID kList = G("{E74D26FB-0860-4CCD-A354-7A05E94C4A85}");
  static constexpr auto Append = &CL::kwAddCheckLinkInfo;
  static constexpr auto Find = &CL::kwFindCheckLinkInfoByDVDItemID;
  static bool Add(CI& r, int i, CkwErrorInfo* e) {
    return r.kwAddFileName(("n" + std::to_string(i)).c_str(), CI::kwFileType(-i), e);
  }
  static std::string At(const CI& r, int i) {
    return r.kwGetFileNameByItemIndex(i, &gName, &gType, nullptr) ? gName + std::to_string(gType)
                                                                  : "-";
  }
};
struct UpdateLink {
  using Info = UI;
  using List = UL;
  static constexpr int kAdd = 0;
  static inline const GUID kInfo = G("{26E764E8-835B-4AB2-B119-CE8B3B1E17C3}");
  static inline const GUID kList = G("{1205DD9A-A974-4E18-9EA3-E725FA8129B0}");
  static constexpr auto Append = &UL::kwAddUpdateLinkInfo;
  static constexpr auto Find = &UL::kwFindUpdateLinkInfoByDVDItemID;
  static bool Add(UI& r, int i, CkwErrorInfo* e) {
    return r.kwAddFilePair(("n" + std::to_string(i)).c_str(), std::to_string(i).c_str(), e);
  }
  static std::string At(const UI& r, int i) {
    return r.kwGetFilePairByItemIndex(i, &gName, &gOther, nullptr) ? gName + std::string(gOther)
                                                                   : "-";
  }
};

template <class F>
std::unique_ptr<typename F::Info> Make(const GUID& id, int items) {
  auto r = std::make_unique<typename F::Info>();
  EXPECT_TRUE(r->kwSetDVDItemID(&id, nullptr));
  for (int i = 0; i < items; ++i) EXPECT_TRUE(F::Add(*r, i, nullptr));
  return r;
}
template <class F>
std::unique_ptr<typename F::List> MakeList() {  // records kA (one item) and kB (two), owned
  auto list = std::make_unique<typename F::List>();
  EXPECT_TRUE(((*list).*F::Append)(Make<F>(kA, 1).release(), nullptr));
  EXPECT_TRUE(((*list).*F::Append)(Make<F>(kB, 2).release(), nullptr));
  return list;
}

template <class F>
class LinkRecords : public ::testing::Test {};
using Families = ::testing::Types<CheckLink, UpdateLink>;
TYPED_TEST_SUITE(LinkRecords, Families);

TYPED_TEST(LinkRecords, ItemsListsAndOutOfMemory) {
  using F = TypeParam;
  typename F::Info r;
  for (int n = 1; kwRead(r, &F::Info::kwGetItemCount) == 0; ++n) {  // each allocation fails once
    CkwErrorInfo error;
    kwTest::FailAllocation(n);
    if (!F::Add(r, 0, &error)) {
      EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrList}) ||
                  kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, F::kAdd, F::kInfo}));
    }
    kwTest::FailAllocation(0);
  }
  const std::string first = F::At(r, 0);
  for (int i = 1; i < 1000; ++i) ASSERT_TRUE(F::Add(r, i, nullptr));
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(F::Add(r, 1000, &error));  // successful calls end in the string list
  EXPECT_TRUE(error.m_nSeverity == kwSEVERITY_NONE && *error.m_pSource == kStrList);
  EXPECT_EQ(kwRead(r, &F::Info::kwGetItemCount), 1001);
  EXPECT_EQ(F::At(r, 0) + F::At(r, 1000), first + F::At(*Make<F>(kA, 1001), 1000));
  auto list = MakeList<F>();
  typename F::Info* found = &r;
  EXPECT_FALSE(((*list).*F::Find)(&GUID_NULL, &found, &error));
  EXPECT_TRUE(found == nullptr &&
              kwIsFailure(error, {kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1, F::kList}));
  ASSERT_TRUE(((*list).*F::Append)(Make<F>(kB, 0).release(), nullptr));
  ASSERT_TRUE(((*list).*F::Find)(&kB, &found, &error));  // the first of equal IDs
  EXPECT_EQ(F::At(*found, 1) + std::to_string(error.m_nSeverity), F::At(*Make<F>(kB, 2), 1) + "0");
}

#define ROW(T, call, code, method) kwFAILURE_ROW(T, #call, call, code, kwSEVERITY_ERROR, method)
const int NUL = kwERROR_NULL_POINTER, RANGE = kwERROR_OUT_OF_RANGE;
// Indexes are tested before out-pointers, list out-pointers before list indexes.
const kwFailureRow<CI> kCheckInfo[] = {
    ROW(CI, o.kwGetDVDItemID(nullptr, e), NUL, 0),
    ROW(CI, o.kwSetDVDItemID(nullptr, e), NUL, 1),
    ROW(CI, o.kwClone(nullptr, e), NUL, 2),
    ROW(CI, o.kwAddFileName(nullptr, gType, e), NUL, 3),
    ROW(CI, o.kwGetFileNameByItemIndex(-1, &gName, &gType, e), RANGE, 4),
    ROW(CI, o.kwGetFileNameByItemIndex(1, nullptr, nullptr, e), RANGE, 4),
    ROW(CI, o.kwGetFileNameByItemIndex(0, nullptr, &gType, e), NUL, 4),
    ROW(CI, o.kwGetFileNameByItemIndex(0, &gName, nullptr, e), NUL, 4),
    ROW(CI, o.kwGetItemCount(nullptr, e), NUL, 5)};
const kwFailureRow<CL> kCheckList[] = {
    ROW(CL, o.kwAddCheckLinkInfo(nullptr, e), NUL, 0),
    ROW(CL, o.kwFindCheckLinkInfoByDVDItemID(nullptr, &gCheck, e), NUL, 1),
    ROW(CL, o.kwFindCheckLinkInfoByDVDItemID(&kA, nullptr, e), NUL, 1),
    kwFAILURE_ROW(CL, "absent", o.kwFindCheckLinkInfoByDVDItemID(&GUID_NULL, &gCheck, e) || gCheck,
                  kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1),
    ROW(CL, o.kwMergeFileList(nullptr, e), NUL, 2),
    ROW(CL, o.kwGetCount(nullptr, e), NUL, 3),
    ROW(CL, o.kwGetCheckLinkInfo(2, nullptr, e), NUL, 4),
    ROW(CL, o.kwGetCheckLinkInfo(-1, &gCheck, e), RANGE, 4),
    ROW(CL, o.kwGetCheckLinkInfo(2, &gCheck, e), RANGE, 4)};
const kwFailureRow<UI> kUpdateInfo[] = {
    ROW(UI, o.kwAddFilePair(nullptr, "b", e), NUL, 0),
    ROW(UI, o.kwAddFilePair("a", nullptr, e), NUL, 0),
    ROW(UI, o.kwGetDVDItemID(nullptr, e), NUL, 1),
    ROW(UI, o.kwSetDVDItemID(nullptr, e), NUL, 2),
    ROW(UI, o.kwGetFilePairByItemIndex(-1, &gName, &gOther, e), RANGE, 3),
    ROW(UI, o.kwGetFilePairByItemIndex(1, nullptr, nullptr, e), RANGE, 3),
    ROW(UI, o.kwGetFilePairByItemIndex(0, nullptr, &gOther, e), NUL, 3),
    ROW(UI, o.kwGetFilePairByItemIndex(0, &gName, nullptr, e), NUL, 3),
    ROW(UI, o.kwGetItemCount(nullptr, e), NUL, 4)};
const kwFailureRow<UL> kUpdateList[] = {
    ROW(UL, o.kwAddUpdateLinkInfo(nullptr, e), NUL, 0),
    ROW(UL, o.kwFindUpdateLinkInfoByDVDItemID(nullptr, &gUpdate, e), NUL, 1),
    ROW(UL, o.kwFindUpdateLinkInfoByDVDItemID(&kA, nullptr, e), NUL, 1)};

TEST(LinkRecords, FailureTables) {
  auto one = [](const auto& r) {
    EXPECT_EQ(kwRead(r, &std::decay_t<decltype(r)>::kwGetItemCount), 1);
  };
  kwRunFailureTable(
      kCheckInfo, CheckLink::kInfo, [] { return Make<CheckLink>(kA, 1); }, one);
  kwRunFailureTable(
      kUpdateInfo, UpdateLink::kInfo, [] { return Make<UpdateLink>(kA, 1); }, one);
  kwRunFailureTable(kCheckList, CheckLink::kList, MakeList<CheckLink>,
                    [](CL& l) { EXPECT_EQ(kwRead(l, &CL::kwGetCount), 2); });
  kwRunFailureTable(kUpdateList, UpdateLink::kList, MakeList<UpdateLink>, [](UL&) {});
}

// Out of memory a merge stops with the record of the clone or append that failed; the
// clone's allocation failures are the allocation sweep's.
TEST(LinkRecords, MergeCopiesDeeply) {
  auto list = MakeList<CheckLink>();
  CkwErrorInfo error;
  ASSERT_TRUE(list->kwMergeFileList(list.get(), &error));  // into itself: every record once more
  EXPECT_EQ(*error.m_pSource, CheckLink::kList);           // the last inner call was the append
  ASSERT_EQ(kwRead(*list, &CL::kwGetCount), 4);
  CI *a = nullptr, *b = nullptr;
  ASSERT_TRUE(list->kwGetCheckLinkInfo(1, &a, nullptr) && list->kwGetCheckLinkInfo(3, &b, nullptr));
  EXPECT_EQ(kwRead(*b, &CI::kwGetDVDItemID), kB);
  EXPECT_EQ(CheckLink::At(*b, 1) + CheckLink::At(*b, 2), "n1-1-");
  EXPECT_NE((a->kwGetFileNameByItemIndex(0, &gName, &gType, nullptr), gName),
            (b->kwGetFileNameByItemIndex(0, &gOther, &gType, nullptr), gOther));
}

}  // namespace
